#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

// One probe as the ledger keeps it. `hostStatus` is the analysed host status after this probe (the HostStatus
// numbers: 0 none yet, 1 Bad, 2 Average, 3 Good); it is not stored per row but drives the outage list and the
// status changes.
struct ProbeSample {
    std::int64_t atMs = 0;             // Unix time of the request, milliseconds
    std::string host;                  // as configured
    std::string address;               // probed address as text
    std::optional<std::int64_t> rttUs; // none without a reply
    std::uint32_t status = 0;          // IP status code, 0 success
    std::optional<int> ttl;            // none without a reply
    std::uint8_t hostStatus = 0;

    [[nodiscard]] bool replied() const { return rttUs.has_value(); }
    friend bool operator==(const ProbeSample&, const ProbeSample&) = default;
};

std::ostream& operator<<(std::ostream& os, const ProbeSample& s);
void PrintTo(const ProbeSample& s, std::ostream* os);

namespace HostVerdict {
constexpr std::uint8_t None = 0;
constexpr std::uint8_t Bad = 1;
constexpr std::uint8_t Average = 2;
constexpr std::uint8_t Good = 3;
} // namespace HostVerdict
