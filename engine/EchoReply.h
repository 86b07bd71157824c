#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>

#include "types/IpAddress.h"
#include "types/IpStatus.h"
#include "types/ProbeEvent.h"

// The largest echo payload over IPv4: 65535 minus the IP and ICMP headers. A start lowers a larger Buffer
// to it; IPv6 keeps the same limit, so a setting behaves alike for both families.
inline constexpr std::int32_t kMaxEchoPayload = 65507;

// One echo request. The payload is only read during the send.
struct EchoRequest {
    IpAddress destination;
    std::span<const std::uint8_t> payload;
    std::uint8_t ttl = 255; // time to live (IPv4) or hop limit (IPv6); 0 leaves the socket's own
    std::uint32_t timeoutMs = 2000;
};

// What came of one echo request. `answered` says that something came back: the reply (status 0) or an ICMP
// error from the destination or a router (status its IP status code); `source` names who sent it. Otherwise
// status tells why nothing did (11010 timed out, 11050 general failure, a local send failure ...).
struct EchoResult {
    std::int32_t status = IpStatus::GeneralFailure;
    bool answered = false;
    IpAddress source;
    std::uint32_t rttMs = 0;            // whole milliseconds, rounded down like ping's figures
    std::optional<std::uint32_t> rttUs; // a good reply's round trip, where the channel measures that finely
    std::uint16_t dataSize = 0;         // bytes of echoed data of a good reply
    std::uint8_t ttl = 0;               // time to live (hop limit) of what came back
    std::optional<WrongData> wrongData; // a good reply whose data differs from the request's

    [[nodiscard]] bool good() const { return answered && status == IpStatus::Success; }
    bool operator==(const EchoResult&) const = default;
};

inline void PrintTo(const EchoResult& r, std::ostream* os) {
    *os << "{status " << r.status;
    if (r.answered) {
        *os << " from ";
        PrintTo(r.source, os);
    } else {
        *os << " (no answer)";
    }
    *os << ", rtt " << r.rttMs << " ms";
    if (r.rttUs)
        *os << " (" << *r.rttUs << " us)";
    *os << ", " << r.dataSize << " bytes, ttl " << unsigned{r.ttl};
    if (r.wrongData)
        *os << ", wrong data at " << r.wrongData->offset;
    *os << '}';
}
