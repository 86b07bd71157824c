#include "support/EchoResponder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <vector>

#include <linux/icmp.h>
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
    sockaddr_in to;
    std::vector<std::uint8_t> packet;
};

} // namespace

EchoResponder::EchoResponder(const std::string& netns, Options options)
    : options_(options), delayMs_(options.delay.count()) {
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
        writeText(kIgnoreAll, previousIgnoreAll_);
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
    socket = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (socket < 0)
        return std::string("raw ICMP socket: ") + std::strerror(errno);
    icmp_filter filter{~(1U << ICMP_ECHO)};
    setsockopt(socket, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    previousIgnoreAll_ = readFirstWord(kIgnoreAll);
    if (previousIgnoreAll_.empty() || !writeText(kIgnoreAll, "1")) {
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
        for (;;) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t length = recvfrom(socket, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                            reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (length < 0)
                break;
            const std::int64_t due = monotonicNanos() + delayMs_ * 1'000'000;
            const std::size_t ipLength = static_cast<std::size_t>(buffer[0] & 0x0f) * 4;
            if (static_cast<std::size_t>(length) < ipLength + IcmpPacket::kHeaderSize ||
                buffer[ipLength] != IcmpPacket::kEchoRequest)
                continue;
            lastRequestTtl_ = buffer[8];
            const std::uint8_t* request = buffer.data() + ipLength;
            const std::size_t requestData = static_cast<std::size_t>(length) - ipLength - IcmpPacket::kHeaderSize;
            const std::size_t replyData = options_.replyDataSize.value_or(requestData);
            PendingReply reply{from, std::vector<std::uint8_t>(IcmpPacket::kHeaderSize + replyData)};
            std::copy_n(request, IcmpPacket::kHeaderSize, reply.packet.begin());
            reply.packet[0] = IcmpPacket::kEchoReply;
            reply.packet[2] = reply.packet[3] = 0;
            for (std::size_t i = 0; i < replyData; ++i)
                reply.packet[IcmpPacket::kHeaderSize + i] =
                    i < requestData ? request[IcmpPacket::kHeaderSize + i] : static_cast<std::uint8_t>(i);
            const std::uint16_t sum = IcmpPacket::checksum(reply.packet);
            reply.packet[2] = static_cast<std::uint8_t>(sum >> 8);
            reply.packet[3] = static_cast<std::uint8_t>(sum);
            pending.emplace(due, std::move(reply));
        }
        while (!pending.empty() && pending.begin()->first <= monotonicNanos()) {
            const PendingReply& reply = pending.begin()->second;
            // Counted first: on loopback the reply may reach the prober before sendto returns.
            ++answered_;
            if (sendto(socket, reply.packet.data(), reply.packet.size(), 0,
                       reinterpret_cast<const sockaddr*>(&reply.to), sizeof reply.to) < 0)
                --answered_;
            pending.erase(pending.begin());
        }
    }
}
