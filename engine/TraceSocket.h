#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/IcmpSocket.h"
#include "types/IpAddress.h"

// The route tracer's ICMP socket: echo requests with a TTL (hop limit) of their own each, and what answers
// them, reduced to who answered which request how. The unprivileged datagram ("ping") socket hands Time
// Exceeded and Unreachable over on its error queue with the router as offender; a raw socket sees them as
// packets quoting our request. Opened, bound to its source and read through IcmpSocket, as the echo channel's
// and the hub's are; only the bookkeeping differs, since many requests are in flight at once here.
class TraceSocket {
public:
    using Kind = IcmpSocket::Kind;
    using Preference = IcmpSocket::Preference;

    struct Answer {
        enum class Type : std::uint8_t { Reply, TimeExceeded, Unreachable };
        Type type = Type::Reply;
        std::uint16_t sequence = 0;
        IpAddress from;
        // ns, CLOCK_MONOTONIC right after the receive: a trace's times are taken as mtr takes them, so that its
        // hops read as mtr's do (the kernel's arrival stamp would leave out a wake-up that mtr counts).
        std::int64_t receivedMono = 0;
        std::int64_t receivedReal = 0; // ns, CLOCK_REALTIME right after that
    };

    TraceSocket() = default;
    ~TraceSocket();
    TraceSocket(const TraceSocket&) = delete;
    TraceSocket& operator=(const TraceSocket&) = delete;

    // From `source` (an interface name or a local address, as ping's -I; empty: the kernel's choice). False
    // when no socket could be had; IcmpSocket has then said why on standard error, as for a plain run, and
    // `error()` says it in short.
    [[nodiscard]] bool open(IpAddress::Family family, Preference preference = Preference::Auto,
                            const std::string& source = {});
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
