#pragma once

#include <cstdint>
#include <optional>

#include "engine/EchoReply.h"

// One ICMP echo handle: open, send one request and wait for its reply, close.
class EchoChannel {
public:
    virtual ~EchoChannel() = default;

    // False when no handle can be had; the reason goes to standard error.
    [[nodiscard]] virtual bool open() = 0;

    // Sends one echo request to `destination` (network byte order) and waits at most `timeoutMs` for the
    // matching reply. Returns the number of replies written to `area` (0 or 1). On 0, lastError() tells why
    // (an IP status code such as 11010, or 11050 General Failure).
    [[nodiscard]] virtual std::uint32_t sendEcho(std::uint32_t destination, const std::uint8_t* data,
                                                 std::uint16_t size, const IpOptions& options, ReplyArea& area,
                                                 std::uint32_t timeoutMs) = 0;

    [[nodiscard]] virtual std::int32_t lastError() const = 0;

    // The round trip of the last good reply in microseconds, where the channel measures that finely.
    [[nodiscard]] virtual std::optional<std::uint32_t> lastRoundTripMicros() const { return std::nullopt; }

    virtual void close() = 0;
};
