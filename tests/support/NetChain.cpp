#include "support/NetChain.h"

NetChain::NetChain(const std::string& tag)
    : client_(std::make_unique<NetNamespace>(tag + "-c")), router_(std::make_unique<NetNamespace>(tag + "-r")),
      server_(std::make_unique<NetNamespace>(tag + "-s")) {
    for (const NetNamespace* ns : {client_.get(), router_.get(), server_.get()})
        if (!ns->ok()) {
            error_ = ns->error();
            return;
        }
    // Without duplicate address detection every address, the link-local ones included, serves at once: a tentative
    // one would hold neighbour discovery, and with it the first IPv6 packets, for about a second.
    for (const NetNamespace* ns : {client_.get(), router_.get(), server_.get()})
        if (!ns->sysctl("net.ipv6.conf.all.accept_dad", "0") || !ns->sysctl("net.ipv6.conf.default.accept_dad", "0")) {
            error_ = "cannot turn duplicate address detection off in " + ns->name();
            return;
        }
    // The pairs are made inside the router and handed to their namespaces at once, so the root namespace
    // never holds a name that a parallel test could want as well.
    const std::string& c = client_->name();
    const std::string& s = server_->name();
    const bool built = step(*router_, "ip link add r0 type veth peer name c0 netns " + c) &&
                       step(*router_, "ip link add r1 type veth peer name s0 netns " + s) &&
                       step(*router_, std::string("ip addr add ") + kRouterNear + "/24 dev r0 && ip link set r0 up") &&
                       step(*router_, std::string("ip addr add ") + kRouterFar + "/24 dev r1 && ip link set r1 up") &&
                       step(*client_, std::string("ip addr add ") + kClient + "/24 dev c0 && ip link set c0 up") &&
                       step(*server_, std::string("ip addr add ") + kServer + "/24 dev s0 && ip link set s0 up") &&
                       step(*client_, std::string("ip route add 198.18.2.0/24 via ") + kRouterNear) &&
                       step(*server_, std::string("ip route add 198.18.1.0/24 via ") + kRouterFar) &&
                       step(*router_, std::string("ip addr add ") + kRouterNearV6 + "/64 dev r0 nodad") &&
                       step(*router_, std::string("ip addr add ") + kRouterFarV6 + "/64 dev r1 nodad") &&
                       step(*client_, std::string("ip addr add ") + kClientV6 + "/64 dev c0 nodad") &&
                       step(*server_, std::string("ip addr add ") + kServerV6 + "/64 dev s0 nodad") &&
                       step(*client_, std::string("ip -6 route add 2001:2:0:2::/64 via ") + kRouterNearV6) &&
                       step(*server_, std::string("ip -6 route add 2001:2:0:1::/64 via ") + kRouterFarV6);
    if (!built)
        return;
    if (!router_->sysctl("net.ipv4.ip_forward", "1") || !router_->sysctl("net.ipv4.icmp_ratelimit", "0") ||
        !router_->sysctl("net.ipv6.conf.all.forwarding", "1") || !router_->sysctl("net.ipv6.icmp.ratelimit", "0"))
        error_ = "cannot make " + router_->name() + " a router";
}

bool NetChain::step(const NetNamespace& ns, const std::string& command) {
    std::string output;
    if (ns.run(command, &output) == 0)
        return true;
    error_ = "in " + ns.name() + ": " + command + ": " + output;
    return false;
}

bool NetChain::setFarLinkMtu(int mtu) const {
    const std::string value = std::to_string(mtu);
    return router_->run("ip link set r1 mtu " + value) == 0 && server_->run("ip link set s0 mtu " + value) == 0;
}
