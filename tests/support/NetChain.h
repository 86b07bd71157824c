#pragma once

#include <memory>
#include <string>

#include "support/NetNamespace.h"

// A routed path for tests that need one: client - router - server, three private namespaces joined by veth
// pairs inside 198.18.0.0/15 and its IPv6 counterpart 2001:2::/48, with routes along the chain and nothing
// else. The router forwards both families and answers without the ICMP rate limits. Everything goes when the
// object dies.
//
//     client 198.18.1.1 --- 198.18.1.254 router 198.18.2.254 --- 198.18.2.1 server
//            2001:2:0:1::1   2001:2:0:1::fe     2001:2:0:2::fe   2001:2:0:2::1
class NetChain {
public:
    static constexpr const char* kClient = "198.18.1.1";
    static constexpr const char* kRouterNear = "198.18.1.254";
    static constexpr const char* kRouterFar = "198.18.2.254";
    static constexpr const char* kServer = "198.18.2.1";
    static constexpr const char* kClientV6 = "2001:2:0:1::1";
    static constexpr const char* kRouterNearV6 = "2001:2:0:1::fe";
    static constexpr const char* kRouterFarV6 = "2001:2:0:2::fe";
    static constexpr const char* kServerV6 = "2001:2:0:2::1";

    explicit NetChain(const std::string& tag = "chain");

    [[nodiscard]] bool ok() const { return error_.empty(); }
    [[nodiscard]] const std::string& error() const { return error_; }

    [[nodiscard]] const NetNamespace& client() const { return *client_; }
    [[nodiscard]] const NetNamespace& router() const { return *router_; }
    [[nodiscard]] const NetNamespace& server() const { return *server_; }

    // The MTU of the router-server link, on both of its ends (IPv6 needs at least 1280 to stay on it).
    [[nodiscard]] bool setFarLinkMtu(int mtu) const;

private:
    [[nodiscard]] bool step(const NetNamespace& ns, const std::string& command);

    // Declared in this order so they go in reverse: the veth pairs die with the namespaces.
    std::unique_ptr<NetNamespace> client_;
    std::unique_ptr<NetNamespace> router_;
    std::unique_ptr<NetNamespace> server_;
    std::string error_;
};
