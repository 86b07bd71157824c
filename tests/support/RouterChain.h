#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/NetNamespace.h"

// A routed path of any length for the route tracer's tests: client - router 1 - ... - router N - server, private
// namespaces joined by veth pairs inside 198.18.0.0/15 and 2001:2::/48, with routes along the chain and nothing
// else. Link i joins node i-1 and node i (the client is node 0, the server node N+1); the node on its client
// side holds 198.18.i.1 / 2001:2:0:i::1, the one on its server side 198.18.i.2 / 2001:2:0:i::2. So router k
// answers an expired TTL from 198.18.k.2, and the server is 198.18.(N+1).2. The routers forward both families
// without ICMP rate limits. Everything goes when the object dies.
class RouterChain {
public:
    enum class Family { V4, V6 };

    RouterChain(const std::string& tag, int routers);
    ~RouterChain();
    RouterChain(const RouterChain&) = delete;
    RouterChain& operator=(const RouterChain&) = delete;

    [[nodiscard]] bool ok() const { return error_.empty(); }
    [[nodiscard]] const std::string& error() const { return error_; }
    [[nodiscard]] int routers() const { return static_cast<int>(nodes_.size()) - 2; }

    [[nodiscard]] const NetNamespace& client() const { return *nodes_.front(); }
    // Router k, 1 for the one next to the client.
    [[nodiscard]] const NetNamespace& router(int k) const { return *nodes_.at(static_cast<std::size_t>(k)); }
    [[nodiscard]] const NetNamespace& server() const { return *nodes_.back(); }

    // The address hop `k` answers from: router k's on the link toward the client, the server's for k = N+1.
    [[nodiscard]] static std::string hopAddress(int k, Family family = Family::V4);
    [[nodiscard]] std::string serverAddress(Family family = Family::V4) const;

    // Reroutes router k's IPv4 traffic toward the server through a new router D between it and router k+1 (its
    // own links 198.18.(50+k).0/24 and 198.18.(60+k).0/24): the path gains a hop after router k, which answers
    // from detourAddress(k). The way back stays as it was. False with error() set when it cannot be made.
    [[nodiscard]] bool detour(int k);
    [[nodiscard]] static std::string detourAddress(int k);

private:
    [[nodiscard]] bool step(const NetNamespace& ns, const std::string& command);

    std::vector<std::unique_ptr<NetNamespace>> nodes_;
    std::vector<std::unique_ptr<NetNamespace>> detours_;
    std::string error_;
};
