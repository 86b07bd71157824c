#pragma once

#include <memory>
#include <string>

#include "metrics/MetricsEndpoint.h"

// The scrape server, from the same module the program loads, and only when --metrics asks for it: the HTTP
// library brings TLS and compression libraries that a plain ping has no use for. The module sits at the same
// place relative to the probe's own binary as to the program's, in the build tree and in an installed one.
namespace MetricsModule {

// "<probe's folder>/<module folder>/metrics.so", from the kernel's record of the executable; empty when that
// record cannot be read.
[[nodiscard]] std::string path();

// A server of `registry` (which must outlive it); null, with `error` saying why, when the module at `file`
// cannot be loaded.
[[nodiscard]] std::unique_ptr<MetricsEndpoint> load(const std::string& file, const MetricsRegistry& registry,
                                                    std::string& error);

} // namespace MetricsModule
