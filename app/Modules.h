#pragma once

#include <string>

// The program's optional parts (the metrics server, alert sounds) are modules loaded on first use from a folder
// of their own, found from the running program's path: a build tree and an installed tree each load theirs.
namespace Modules {

// The module file of `name`: "<program folder>/<relative module folder>/<name>.so".
[[nodiscard]] std::string path(const std::string& name);

// Loads the module at `file` for the rest of the process and returns its entry point `symbol`; null, with `error`
// saying why, when either cannot be found.
[[nodiscard]] void* entryPoint(const std::string& file, const char* symbol, std::string& error);

} // namespace Modules
