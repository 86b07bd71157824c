#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <thread>

#include "types/IpAddress.h"

// A peer that answers ICMP or ICMPv6 echo requests from user space, for delays, reply sizes and broken replies
// the kernel never gives. It switches the kernel's own answers off in its namespace
// (net.ipv4.icmp_echo_ignore_all, net.ipv6.icmp.echo_ignore_all) while it runs and answers every request there
// from a raw socket.
class EchoResponder {
public:
    struct Options {
        std::chrono::milliseconds delay{0};
        // Size of the echoed data; none = echo the request's data. Bytes past the request's own data hold
        // their index (modulo 256).
        std::optional<std::size_t> replyDataSize;
        bool realtime = false; // SCHED_FIFO, so the delay holds on a busy machine
    };

    // A reply that must not be taken for the answer, sent at once ahead of the true one (which keeps the delay).
    enum class Fault : std::uint8_t { None, WrongId, WrongSequence, Truncated };

    // Answers inside the namespace named `netns` ("" = the namespace of the calling thread).
    EchoResponder(const std::string& netns, Options options, IpAddress::Family family = IpAddress::Family::V4);
    ~EchoResponder();
    EchoResponder(const EchoResponder&) = delete;
    EchoResponder& operator=(const EchoResponder&) = delete;

    [[nodiscard]] bool ok() const { return error_.empty(); }
    [[nodiscard]] const std::string& error() const { return error_; }

    // Applies to requests that arrive from now on; answers already waiting keep their time.
    void setDelay(std::chrono::milliseconds delay) { delayMs_ = delay.count(); }
    void setFault(Fault fault) { fault_ = fault; }
    // The true reply's data byte at `index` changed (XOR 0x61: a blank comes back as 'A'); -1 for none.
    void setChangedByte(long index) { changedByte_ = index; }
    // Replies sent so far.
    [[nodiscard]] std::size_t answered() const { return answered_; }
    // Time to live of the last request that arrived (0 before the first).
    [[nodiscard]] int lastRequestTtl() const { return lastRequestTtl_; }

private:
    void serve(int socket);
    [[nodiscard]] std::string setUp(const std::string& netns, int& socket);

    Options options_;
    IpAddress::Family family_;
    std::atomic<long long> delayMs_;
    std::atomic<Fault> fault_{Fault::None};
    std::atomic<long> changedByte_{-1};
    std::atomic<std::size_t> answered_{0};
    std::atomic<int> lastRequestTtl_{0};
    int stopEvent_ = -1;
    std::string error_;
    std::string previousIgnoreAll_;
    std::thread thread_;
};
