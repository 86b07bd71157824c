#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "types/IpAddress.h"

// The route tracer's ICMP socket: echo requests with a TTL (hop limit) of their own each, and what answers
// them, reduced to who answered which request how. The unprivileged datagram ("ping") socket hands Time
// Exceeded and Unreachable over on its error queue with the router as offender; a raw socket sees them as
// packets quoting our request. Kept apart from the echo channel: many requests are in flight at once here.
class TraceSocket {
public:
    enum class Kind : std::uint8_t { None, Datagram, Raw };
    enum class Preference : std::uint8_t { Auto, DatagramOnly, RawOnly };

    struct Answer {
        enum class Type : std::uint8_t { Reply, TimeExceeded, Unreachable };
        Type type = Type::Reply;
        std::uint16_t sequence = 0;
        IpAddress from;
        std::int64_t receivedMono = 0;          // ns, CLOCK_MONOTONIC right after the receive
        std::int64_t receivedReal = 0;          // ns, CLOCK_REALTIME right after that
        std::optional<std::int64_t> kernelReal; // ns, the kernel's arrival stamp (wall clock)
    };

    TraceSocket() = default;
    ~TraceSocket();
    TraceSocket(const TraceSocket&) = delete;
    TraceSocket& operator=(const TraceSocket&) = delete;

    // False with `error()` saying why (both kinds tried under Auto).
    [[nodiscard]] bool open(IpAddress::Family family, Preference preference = Preference::Auto);
    void close();
    [[nodiscard]] int fd() const { return fd_; }
    [[nodiscard]] Kind kind() const { return kind_; }
    [[nodiscard]] const std::string& error() const { return error_; }

    // One echo request to `destination` that lives for `ttl` hops. False when the kernel refused it.
    [[nodiscard]] bool send(const IpAddress& destination, std::uint16_t sequence, std::uint8_t ttl);

    // Everything waiting on the socket (replies, then queued errors) that answers a request of ours to
    // `destination`, one call of `take` each. False on a fault of the socket itself.
    [[nodiscard]] bool receive(const IpAddress& destination, const std::function<void(const Answer&)>& take);

private:
    [[nodiscard]] int openKind(Kind kind, IpAddress::Family family);
    [[nodiscard]] bool receivePackets(const IpAddress& destination, const std::function<void(const Answer&)>& take);
    void receiveErrors(const std::function<void(const Answer&)>& take);

    int fd_ = -1;
    Kind kind_ = Kind::None;
    IpAddress::Family family_ = IpAddress::Family::None;
    std::uint16_t id_ = 0;
    std::string error_;
    std::vector<std::uint8_t> request_;
    std::vector<std::uint8_t> received_;
};
