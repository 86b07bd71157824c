#pragma once

#include <string>

#include "metrics/ListenAddress.h"

class MetricsRegistry;

// The scrape server as the program sees it when it loads the server from its module: the module holds the HTTP
// library and everything that comes with it, which a program that serves no metrics never loads.
class MetricsEndpoint {
public:
    virtual ~MetricsEndpoint() = default;
    // Binds and starts serving. False, with errorText() saying why, when the address cannot be bound.
    [[nodiscard]] virtual bool start(const ListenAddress& where) = 0;
    [[nodiscard]] virtual const std::string& errorText() const = 0;
};

// The module's one entry point: a server of the registry (which must outlive it), or null when out of memory.
extern "C" {
using MetricsEndpointFactory = MetricsEndpoint*(const MetricsRegistry& registry);
}
inline constexpr const char* kMetricsEndpointFactory = "ostrevo_metrics_endpoint";
inline constexpr const char* kMetricsModule = "metrics";
