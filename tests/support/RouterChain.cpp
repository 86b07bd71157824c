#include "support/RouterChain.h"

namespace {

std::string linkAddress(int link, int side, RouterChain::Family family) {
    return family == RouterChain::Family::V4 ? "198.18." + std::to_string(link) + "." + std::to_string(side)
                                             : "2001:2:0:" + std::to_string(link) + "::" + std::to_string(side);
}

std::string linkNet(int link, RouterChain::Family family) {
    return family == RouterChain::Family::V4 ? "198.18." + std::to_string(link) + ".0/24"
                                             : "2001:2:0:" + std::to_string(link) + "::/64";
}

} // namespace

RouterChain::RouterChain(const std::string& tag, int routers) {
    const int count = routers + 2;
    for (int i = 0; i < count; ++i) {
        nodes_.push_back(std::make_unique<NetNamespace>(tag + "-" + std::to_string(i)));
        if (!nodes_.back()->ok()) {
            error_ = nodes_.back()->error();
            return;
        }
    }
    for (const auto& ns : nodes_)
        // Without duplicate address detection every address serves at once: a tentative one would hold the first
        // IPv6 packets for about a second.
        if (!ns->sysctl("net.ipv6.conf.all.accept_dad", "0") || !ns->sysctl("net.ipv6.conf.default.accept_dad", "0")) {
            error_ = "cannot turn duplicate address detection off in " + ns->name();
            return;
        }
    // Each pair is made in the node on its client side and its other end handed over at once, so the root
    // namespace never holds a name that a parallel test could want as well.
    for (int link = 1; link < count; ++link) {
        const NetNamespace& west = *nodes_[static_cast<std::size_t>(link - 1)];
        const NetNamespace& east = *nodes_[static_cast<std::size_t>(link)];
        std::string westSide, eastSide;
        for (Family family : {Family::V4, Family::V6}) {
            const char* ip = family == Family::V4 ? "ip addr add " : "ip -6 addr add ";
            const char* bits = family == Family::V4 ? "/24" : "/64 nodad";
            westSide += std::string(" && ") + ip + linkAddress(link, 1, family) + bits + " dev east";
            eastSide += std::string(" && ") + ip + linkAddress(link, 2, family) + bits + " dev west";
        }
        if (!step(west, "ip link add east type veth peer name west netns " + east.name()) ||
            !step(west, "ip link set east up" + westSide) || !step(east, "ip link set west up" + eastSide))
            return;
    }
    // Every node reaches every link: those on its client side through its west neighbour, the others east.
    for (int node = 0; node < count; ++node) {
        std::string routes = "true";
        for (Family family : {Family::V4, Family::V6}) {
            const std::string add = family == Family::V4 ? " && ip route add " : " && ip -6 route add ";
            for (int link = 1; link < node; ++link)
                routes += add + linkNet(link, family) + " via " + linkAddress(node, 1, family);
            for (int link = node + 2; link < count; ++link)
                routes += add + linkNet(link, family) + " via " + linkAddress(node + 1, 2, family);
        }
        if (!step(*nodes_[static_cast<std::size_t>(node)], routes))
            return;
    }
    for (int k = 1; k <= routers; ++k) {
        const NetNamespace& router = *nodes_[static_cast<std::size_t>(k)];
        if (!router.sysctl("net.ipv4.ip_forward", "1") || !router.sysctl("net.ipv4.icmp_ratelimit", "0") ||
            !router.sysctl("net.ipv6.conf.all.forwarding", "1") || !router.sysctl("net.ipv6.icmp.ratelimit", "0")) {
            error_ = "cannot make " + router.name() + " a router";
            return;
        }
    }
}

// The namespaces go from the server back to the client; each takes its veth ends with it.
RouterChain::~RouterChain() {
    detours_.clear();
    while (!nodes_.empty())
        nodes_.pop_back();
}

std::string RouterChain::hopAddress(int k, Family family) {
    return linkAddress(k, 2, family);
}

std::string RouterChain::serverAddress(Family family) const {
    return hopAddress(routers() + 1, family);
}

bool RouterChain::step(const NetNamespace& ns, const std::string& command) {
    std::string output;
    if (ns.run(command, &output) == 0)
        return true;
    error_ = "in " + ns.name() + ": " + command + ": " + output;
    return false;
}

std::string RouterChain::detourAddress(int k) {
    return "198.18." + std::to_string(50 + k) + ".2";
}

bool RouterChain::detour(int k) {
    if (k < 1 || k > routers() - 1) {
        error_ = "a detour needs a router after router " + std::to_string(k);
        return false;
    }
    const NetNamespace& before = router(k);
    const NetNamespace& after = router(k + 1);
    detours_.push_back(std::make_unique<NetNamespace>("detour-" + std::to_string(k)));
    const NetNamespace& d = *detours_.back();
    if (!d.ok()) {
        error_ = d.error();
        return false;
    }
    const std::string in = "198.18." + std::to_string(50 + k) + ".";
    const std::string out = "198.18." + std::to_string(60 + k) + ".";
    if (!d.sysctl("net.ipv4.ip_forward", "1") || !d.sysctl("net.ipv4.icmp_ratelimit", "0") ||
        !after.sysctl("net.ipv4.conf.all.rp_filter", "0") || !after.sysctl("net.ipv4.conf.default.rp_filter", "0")) {
        error_ = "cannot make " + d.name() + " a router";
        return false;
    }
    // Made inside the detour and handed over at once, as the chain's own pairs are.
    if (!step(d, "ip link add west type veth peer name detour netns " + before.name()) ||
        !step(d, "ip link add east type veth peer name detour netns " + after.name()) ||
        !step(d, "ip link set west up && ip link set east up && ip addr add " + in + "2/24 dev west && ip addr add " +
                     out + "1/24 dev east") ||
        !step(before, "ip link set detour up && ip addr add " + in + "1/24 dev detour") ||
        !step(after, "ip link set detour up && ip addr add " + out + "2/24 dev detour"))
        return false;
    std::string routes = "true";
    for (int link = 1; link <= k; ++link)
        routes += " && ip route add " + linkNet(link, Family::V4) + " via " + in + "1";
    for (int link = k + 1; link <= routers() + 1; ++link)
        routes += " && ip route add " + linkNet(link, Family::V4) + " via " + out + "2";
    if (!step(d, routes))
        return false;
    // Router k sends everything beyond its own links through the detour from now on.
    std::string reroute = "true";
    for (int link = k + 2; link <= routers() + 1; ++link)
        reroute += " && ip route replace " + linkNet(link, Family::V4) + " via " + in + "2";
    return step(before, reroute);
}
