#include "support/DelayWire.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <deque>

namespace {

struct Frame {
    std::chrono::steady_clock::time_point due;
    int to;
    std::string bytes;
};

int openEnd(const char* name) {
    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ALL);
    at.sll_ifindex = static_cast<int>(if_nametoindex(name));
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

DelayWire::DelayWire(const RouterChain& chain, std::chrono::milliseconds delay, const std::string& tag)
    : ns_(tag), delay_(delay) {
    const NetNamespace& client = chain.client();
    const NetNamespace& first = chain.router(1);
    // The client - router 1 link is replaced by client - wire - router 1, the addresses kept.
    std::string routes = "true";
    for (int link = 2; link <= chain.routers() + 1; ++link)
        routes += " && ip route add 198.18." + std::to_string(link) + ".0/24 via 198.18.1.2";
    ok_ = ns_.ok() && client.run("ip link del east") == 0 &&
          client.run("ip link add east type veth peer name w0 netns " + ns_.name()) == 0 &&
          first.run("ip link add west type veth peer name w1 netns " + ns_.name()) == 0 &&
          client.run("ip addr add 198.18.1.1/24 dev east && ip link set east up && " + routes) == 0 &&
          first.run("ip addr add 198.18.1.2/24 dev west && ip link set west up") == 0 &&
          ns_.sysctl("net.ipv6.conf.all.disable_ipv6", "1") && ns_.run("ip link set w0 up && ip link set w1 up") == 0;
    if (ok_)
        thread_ = std::thread([this] { run(); });
}

DelayWire::~DelayWire() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

void DelayWire::run() {
    NetNamespace::Entered inside(ns_);
    const int ends[2] = {openEnd("w0"), openEnd("w1")};
    std::deque<Frame> held;
    while (!stop_ && ends[0] >= 0 && ends[1] >= 0) {
        const auto now = std::chrono::steady_clock::now();
        while (!held.empty() && held.front().due <= now) {
            (void)!send(held.front().to, held.front().bytes.data(), held.front().bytes.size(), 0);
            held.pop_front();
        }
        int wait = 50;
        if (!held.empty())
            wait = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(held.front().due - now).count());
        pollfd fds[2] = {{ends[0], POLLIN, 0}, {ends[1], POLLIN, 0}};
        if (poll(fds, 2, std::max(wait, 0)) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & POLLIN) == 0)
                continue;
            char buffer[2048];
            sockaddr_ll from{};
            socklen_t length = sizeof from;
            const ssize_t n = recvfrom(ends[i], buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            // What the wire itself sends shows up as outgoing; only arrivals travel.
            if (n > 0 && from.sll_pkttype != PACKET_OUTGOING)
                held.push_back({std::chrono::steady_clock::now() + delay_, ends[1 - i],
                                std::string(buffer, static_cast<std::size_t>(n))});
        }
    }
    for (int fd : ends)
        if (fd >= 0)
            close(fd);
}
