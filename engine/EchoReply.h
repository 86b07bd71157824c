#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "types/ProbeEvent.h"

// options of a request and of a reply: time to live, type of service, flags, options size, options data.
// The options data is never used; it is kept as a 32-bit offset so the record keeps its 28 bytes.
struct IpOptions {
    std::uint8_t ttl = 0;
    std::uint8_t tos = 0;
    std::uint8_t flags = 0;
    std::uint8_t optionsSize = 0;
    std::uint32_t optionsData = 0;
};

// The reply record at the start of the reply area. Pointer fields hold offsets into the area
// (0 = none), which keeps the layout identical on 32- and 64-bit builds.
struct EchoReply {
    std::uint32_t address = 0;       // replying host, network byte order; 0 for an IPv6 one
    std::uint32_t status = 0;        // IP status code, 0 = success
    std::uint32_t roundTripTime = 0; // milliseconds
    std::uint16_t dataSize = 0;      // bytes of echoed data (may exceed what the area holds)
    std::uint16_t reserved = 0;
    std::uint32_t data = 0; // offset of the echoed data inside the area
    IpOptions options;
};
static_assert(sizeof(EchoReply) == 28);

constexpr std::size_t kReplyAreaSize = 284;
constexpr std::size_t kReplyDataCapacity = kReplyAreaSize - sizeof(EchoReply); // 256

struct ReplyArea {
    EchoReply reply;
    std::array<std::uint8_t, kReplyDataCapacity> data{};
};
static_assert(sizeof(ReplyArea) == kReplyAreaSize);

inline constexpr IpOptions kRequestOptions{255, 0, 0, 0, 0};

// The largest echo payload over IPv4: 65535 minus the IP and ICMP headers. A start lowers a larger Buffer
// to it; IPv6 keeps the same limit, so a setting behaves alike for both families.
inline constexpr std::int32_t kMaxEchoPayload = 65507;
