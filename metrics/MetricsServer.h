#pragma once

#include "metrics/ListenAddress.h"
#include "metrics/WebSecurity.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class MetricsRegistry;

// Limits that keep a slow or hostile client from holding the server or its memory.
struct MetricsServerLimits {
    // Time for a whole exchange, from accepting the connection to the last byte of the answer. A client that
    // trickles its request a byte at a time is cut off here, not kept alive by each byte.
    std::chrono::milliseconds exchangeTimeout{5000};
    std::size_t maxRequestHead = 8192; // request line and header lines together; larger gets 431
    std::size_t maxPayload = 1024;     // a request body; larger gets 413
    // Connections open at once. One more sheds the oldest still sending its request, never the new one: a
    // scrape sends its request at once, so only clients that dawdle are shed.
    std::size_t maxConnections = 64;
};

// Serves GET /metrics with the registry's figures on a thread of its own; any other path gets 404, an unreadable
// request 400. One request per connection. The registry must outlive the server.
class MetricsServer {
public:
    explicit MetricsServer(const MetricsRegistry& registry, MetricsServerLimits limits = {});
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Before start(): serve over TLS and ask for a password as `security` says; start() fails when its certificate
    // or key cannot be loaded. The default is plain HTTP, open to all.
    void setSecurity(WebSecurity security) { security_ = std::move(security); }
    // Before start(): also answer GET /-/healthy and /-/ready with 200, and POST /-/reload by calling `reload` on
    // the server's thread, which gives what went wrong (500 with that text) or nothing (200).
    using ReloadHook = std::function<std::string()>;
    void setLifecycleEndpoints(ReloadHook reload) {
        reload_ = std::move(reload);
        lifecycle_ = true;
    }

    // Before start(): text in the exposition format that each scrape of /metrics gets after the registry's figures
    // (the service's own state); called on the server's thread.
    void setExtraExposition(std::function<std::string()> extra) { extra_ = std::move(extra); }

    // Binds and starts serving. False, with errorText() saying why, when the address cannot be bound.
    [[nodiscard]] bool start(const ListenAddress& where);
    [[nodiscard]] const std::string& errorText() const { return error_; }
    // The bound port (the chosen one after starting on port 0); 0 when not serving.
    [[nodiscard]] std::uint16_t port() const { return port_; }
    // Stops at once: exchanges in progress are cut off. Safe to call when not serving.
    void stop();

private:
    class Impl;
    const MetricsRegistry& registry_;
    const MetricsServerLimits limits_;
    WebSecurity security_;
    bool lifecycle_ = false;
    ReloadHook reload_;
    std::function<std::string()> extra_;
    std::unique_ptr<Impl> impl_;
    std::string error_;
    std::uint16_t port_ = 0;
};
