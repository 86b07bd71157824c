#pragma once

#include <cstdint>
#include <optional>

#include "engine/EchoReply.h"
#include "engine/IpAddress.h"

// One ICMP echo handle: open, send one request and wait for its reply, close.
class EchoChannel {
public:
    virtual ~EchoChannel() = default;

    // A handle for destinations of `family`; false when none can be had, and the reason goes to standard
    // error.
    [[nodiscard]] virtual bool open(IpAddress::Family family) = 0;
    [[nodiscard]] bool open() { return open(IpAddress::Family::V4); }

    // Sends one echo request to `destination` and waits at most `timeoutMs` for the matching reply. Returns
    // the number of replies written to `area` (0 or 1). On 0, lastError() tells why (an IP status code such
    // as 11010, or 11050 General Failure). The reply record's address field holds an IPv4 replier only;
    // replySource() names any.
    [[nodiscard]] virtual std::uint32_t sendEcho(const IpAddress& destination, const std::uint8_t* data,
                                                 std::uint16_t size, const IpOptions& options, ReplyArea& area,
                                                 std::uint32_t timeoutMs) = 0;

    [[nodiscard]] virtual std::int32_t lastError() const = 0;

    // The host that sent the reply of the last sendEcho that returned 1 (the destination, or the router or
    // host that reported an error).
    [[nodiscard]] virtual IpAddress replySource() const = 0;

    // The round trip of the last good reply in microseconds, where the channel measures that finely.
    [[nodiscard]] virtual std::optional<std::uint32_t> lastRoundTripMicros() const { return std::nullopt; }

    // How the data of the last good reply differed from the request's; nothing when it was the same (or the
    // channel does not look).
    [[nodiscard]] virtual std::optional<WrongData> lastWrongData() const { return std::nullopt; }

    virtual void close() = 0;
};
