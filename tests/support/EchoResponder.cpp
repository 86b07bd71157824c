#include "support/EchoResponder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <vector>

#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/IcmpPacket.h"
#include "support/NetNamespace.h"

namespace {

constexpr const char* kIgnoreAll = "/proc/sys/net/ipv4/icmp_echo_ignore_all";
constexpr const char* kIgnoreAllV6 = "/proc/sys/net/ipv6/icmp/echo_ignore_all";

std::int64_t monotonicNanos() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

std::string readFirstWord(const char* path) {
    std::ifstream file(path);
    std::string word;
    file >> word;
    return word;
}

bool writeText(const char* path, const std::string& text) {
    std::ofstream file(path);
    file << text << '\n';
    return static_cast<bool>(file.flush());
}

struct PendingReply {
    sockaddr_storage to;
    socklen_t toLength;
    std::vector<std::uint8_t> packet;
};

void setChecksum(std::vector<std::uint8_t>& packet) {
    packet[2] = packet[3] = 0;
    const std::uint16_t sum = IcmpPacket::checksum(packet);
    packet[2] = static_cast<std::uint8_t>(sum >> 8);
    packet[3] = static_cast<std::uint8_t>(sum);
}

// The reply spoiled as asked; the kernel fills in an ICMPv6 checksum itself.
std::vector<std::uint8_t> spoilt(std::vector<std::uint8_t> packet, EchoResponder::Fault fault, bool v6) {
    switch (fault) {
    case EchoResponder::Fault::WrongId:
        packet[4] ^= 0x5a;
        break;
    case EchoResponder::Fault::WrongSequence:
        packet[7] = static_cast<std::uint8_t>(packet[7] + 1);
        break;
    case EchoResponder::Fault::Truncated:
        packet.resize(6); // the header cut inside the sequence number
        break;
    case EchoResponder::Fault::None:
        break;
    }
    if (!v6)
        setChecksum(packet);
    return packet;
}

} // namespace

EchoResponder::EchoResponder(const std::string& netns, Options options, IpAddress::Family family)
    : options_(options), family_(family), delayMs_(options.delay.count()) {
    stopEvent_ = eventfd(0, EFD_CLOEXEC);
    std::promise<std::string> ready;
    std::future<std::string> result = ready.get_future();
    thread_ = std::thread([this, netns, &ready] {
        int socket = -1;
        std::string error = setUp(netns, socket);
        const bool started = error.empty();
        ready.set_value(std::move(error));
        if (!started)
            return;
        serve(socket);
        ::close(socket);
        writeText(family_ == IpAddress::Family::V6 ? kIgnoreAllV6 : kIgnoreAll, previousIgnoreAll_);
    });
    error_ = result.get();
}

EchoResponder::~EchoResponder() {
    const std::uint64_t one = 1;
    if (stopEvent_ >= 0)
        (void)!write(stopEvent_, &one, sizeof one);
    if (thread_.joinable())
        thread_.join();
    if (stopEvent_ >= 0)
        ::close(stopEvent_);
}

std::string EchoResponder::setUp(const std::string& netns, int& socket) {
    if (stopEvent_ < 0)
        return std::string("eventfd: ") + std::strerror(errno);
    if (!netns.empty() && !NetNamespace::enter(netns))
        return "cannot enter network namespace " + netns + ": " + std::strerror(errno);
    if (options_.realtime) {
        sched_param param{};
        param.sched_priority = 10;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    }
    const bool v6 = family_ == IpAddress::Family::V6;
    socket = v6 ? ::socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6)
                : ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (socket < 0)
        return std::string("raw ICMP socket: ") + std::strerror(errno);
    if (v6) {
        icmp6_filter filter{};
        ICMP6_FILTER_SETBLOCKALL(&filter);
        ICMP6_FILTER_SETPASS(ICMP6_ECHO_REQUEST, &filter);
        setsockopt(socket, SOL_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
        const int on = 1;
        setsockopt(socket, SOL_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof on);
    } else {
        icmp_filter filter{~(1U << ICMP_ECHO)};
        setsockopt(socket, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    }
    const char* ignoreAll = v6 ? kIgnoreAllV6 : kIgnoreAll;
    previousIgnoreAll_ = readFirstWord(ignoreAll);
    if (previousIgnoreAll_.empty() || !writeText(ignoreAll, "1")) {
        ::close(socket);
        return "cannot switch the kernel's echo replies off";
    }
    return {};
}

void EchoResponder::serve(int socket) {
    std::multimap<std::int64_t, PendingReply> pending;
    std::vector<std::uint8_t> buffer(65536);
    for (;;) {
        pollfd polled[2] = {{socket, POLLIN, 0}, {stopEvent_, POLLIN, 0}};
        timespec wait{};
        timespec* timeout = nullptr;
        if (!pending.empty()) {
            const std::int64_t left = std::max<std::int64_t>(0, pending.begin()->first - monotonicNanos());
            wait = {static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
            timeout = &wait;
        }
        if (ppoll(polled, 2, timeout, nullptr) < 0 && errno != EINTR)
            return;
        if ((polled[1].revents & POLLIN) != 0)
            return;
        const bool v6 = family_ == IpAddress::Family::V6;
        for (;;) {
            sockaddr_storage from{};
            alignas(cmsghdr) std::uint8_t control[256];
            iovec data{buffer.data(), buffer.size()};
            msghdr message{};
            message.msg_name = &from;
            message.msg_namelen = sizeof from;
            message.msg_iov = &data;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t length = recvmsg(socket, &message, MSG_DONTWAIT);
            if (length < 0)
                break;
            const std::int64_t now = monotonicNanos();
            const std::int64_t due = now + delayMs_ * 1'000'000;
            // A raw ICMPv6 socket gives no IP header: the hop limit comes beside the message.
            const std::size_t ipLength = v6 ? 0 : static_cast<std::size_t>(buffer[0] & 0x0f) * 4;
            if (static_cast<std::size_t>(length) < ipLength + IcmpPacket::kHeaderSize ||
                buffer[ipLength] != (v6 ? IcmpPacket::kV6EchoRequest : IcmpPacket::kEchoRequest))
                continue;
            if (v6) {
                for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c))
                    if (c->cmsg_level == SOL_IPV6 && c->cmsg_type == IPV6_HOPLIMIT) {
                        int hops = 0;
                        std::memcpy(&hops, CMSG_DATA(c), sizeof hops);
                        lastRequestTtl_ = hops;
                    }
            } else {
                lastRequestTtl_ = buffer[8];
            }
            const std::uint8_t* request = buffer.data() + ipLength;
            const std::size_t requestData = static_cast<std::size_t>(length) - ipLength - IcmpPacket::kHeaderSize;
            const std::size_t replyData = options_.replyDataSize.value_or(requestData);
            PendingReply reply{from, message.msg_namelen,
                               std::vector<std::uint8_t>(IcmpPacket::kHeaderSize + replyData)};
            std::copy_n(request, IcmpPacket::kHeaderSize, reply.packet.begin());
            reply.packet[0] = v6 ? IcmpPacket::kV6EchoReply : IcmpPacket::kEchoReply;
            reply.packet[2] = reply.packet[3] = 0;
            for (std::size_t i = 0; i < replyData; ++i)
                reply.packet[IcmpPacket::kHeaderSize + i] =
                    i < requestData ? request[IcmpPacket::kHeaderSize + i] : static_cast<std::uint8_t>(i);
            if (const long changed = changedByte_; changed >= 0 && static_cast<std::size_t>(changed) < replyData)
                reply.packet[IcmpPacket::kHeaderSize + static_cast<std::size_t>(changed)] ^= 0x61;
            if (!v6)
                setChecksum(reply.packet);
            if (const Fault fault = fault_; fault != Fault::None)
                pending.emplace(now, PendingReply{from, message.msg_namelen, spoilt(reply.packet, fault, v6)});
            pending.emplace(due, std::move(reply));
        }
        while (!pending.empty() && pending.begin()->first <= monotonicNanos()) {
            const PendingReply& reply = pending.begin()->second;
            // Counted first: on loopback the reply may reach the prober before sendto returns.
            ++answered_;
            if (sendto(socket, reply.packet.data(), reply.packet.size(), 0,
                       reinterpret_cast<const sockaddr*>(&reply.to), reply.toLength) < 0)
                --answered_;
            pending.erase(pending.begin());
        }
    }
}
