#pragma once

#include <memory>
#include <string>
#include <type_traits>
#include <utility>

// The program's optional parts (the metrics server, alert sounds) are modules loaded on first use from a folder
// of their own, found from the running program's path: a build tree and an installed tree each load theirs.
namespace Modules {

// The module file of `name`: "<program folder>/<relative module folder>/<name>.so".
[[nodiscard]] std::string path(const std::string& name);

// Loads the module at `file` for the rest of the process and returns its entry point `symbol`; null, with `error`
// saying why, when either cannot be found.
[[nodiscard]] void* entryPoint(const std::string& file, const char* symbol, std::string& error);

// Loads the module at `file` and makes its object with the factory `symbol` (of type `Factory`) from `args`;
// null, with `error` saying why, when the module cannot be loaded or the factory has no memory for the object.
template <typename Factory, typename... Args>
[[nodiscard]] auto make(const std::string& file, const char* symbol, std::string& error, Args&&... args) {
    using Object = std::remove_pointer_t<std::invoke_result_t<Factory&, Args...>>;
    auto* create = reinterpret_cast<Factory*>(entryPoint(file, symbol, error));
    std::unique_ptr<Object> object(create != nullptr ? create(std::forward<Args>(args)...) : nullptr);
    if (create != nullptr && !object)
        error = "out of memory";
    return object;
}

} // namespace Modules
