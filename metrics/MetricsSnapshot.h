#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// Value of the ostrevo_host_status gauge. It uses the numbers users see elsewhere (%code%, OSTREVO_CODE, the
// history file's status_changes), so that an alert rule and a log agree on what 3 means.
enum class StatusGauge : std::uint8_t { NA = 0, Bad = 1, Average = 2, Good = 3 };

// Maps the program's HostStatus code (0 N/A, 1 Bad, 2 Average, 3 Good) to the gauge; unknown codes give N/A.
[[nodiscard]] constexpr StatusGauge statusGaugeFromHostStatus(std::uint8_t hostStatus) {
    switch (hostStatus) {
    case 1:
        return StatusGauge::Bad;
    case 2:
        return StatusGauge::Average;
    case 3:
        return StatusGauge::Good;
    default:
        return StatusGauge::NA;
    }
}

// Upper bounds of the round-trip histogram in microseconds; one more bucket above them counts the rest.
inline constexpr std::array<std::uint32_t, 12> kRttBucketBoundsMicros = {
    500, 1'000, 2'500, 5'000, 10'000, 25'000, 50'000, 100'000, 250'000, 500'000, 1'000'000, 2'000'000};
inline constexpr std::size_t kRttBucketCount = kRttBucketBoundsMicros.size() + 1;

// Figures of one (host, address) pair. Buckets hold the replies that fell into each interval, not running sums,
// so the registry touches one of them per reply; the exposition adds them up. Times stay whole microseconds,
// so sums print exactly.
struct SeriesSnapshot {
    std::string host;
    std::string address;
    std::uint64_t requests = 0;
    std::uint64_t lost = 0;
    std::array<std::uint64_t, kRttBucketCount> rttBuckets{};
    std::uint64_t rttSumMicros = 0;
    std::optional<std::uint64_t> lastRttMicros; // none until the first reply
    StatusGauge status = StatusGauge::NA;

    bool operator==(const SeriesSnapshot&) const = default;
};

struct MetricsSnapshot {
    std::string version;
    std::vector<SeriesSnapshot> series;

    bool operator==(const MetricsSnapshot&) const = default;
};

std::ostream& operator<<(std::ostream& os, const SeriesSnapshot& s);
std::ostream& operator<<(std::ostream& os, const MetricsSnapshot& s);
