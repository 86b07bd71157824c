#pragma once

#include "types/HostStatus.h"

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// Upper bounds of the round-trip histogram in microseconds; one more bucket above them counts the rest.
// They start at 50 us so that a wired LAN (0.1 to 1 ms) spreads over several buckets instead of filling the
// first, step 1-2.5-5 per decade as Prometheus' own defaults do, and end at the program's 2 s reply timeout:
// a reply beyond it, which only a longer timeout would wait for, counts in +Inf alone.
inline constexpr std::array<std::uint32_t, 15> kRttBucketBoundsMicros = {
    50, 100, 250, 500, 1'000, 2'500, 5'000, 10'000, 25'000, 50'000, 100'000, 250'000, 500'000, 1'000'000, 2'000'000};
inline constexpr std::size_t kRttBucketCount = kRttBucketBoundsMicros.size() + 1;

// Figures of one (host, address) pair. Buckets hold the replies that fell into each interval, not running sums,
// so the registry touches one of them per reply; the exposition adds them up. Times stay whole microseconds,
// so sums print exactly.
struct SeriesSnapshot {
    std::string host;
    std::string address;
    std::string labels; // the others, as the exposition writes them after address: `,target="gw",site="lab"`
    std::uint64_t requests = 0;
    std::uint64_t lost = 0;
    std::array<std::uint64_t, kRttBucketCount> rttBuckets{};
    std::uint64_t rttSumMicros = 0;
    std::optional<std::uint64_t> lastRttMicros; // none until the first reply
    std::optional<std::uint8_t> lastTtl;        // of the latest good reply, when the kernel told it
    HostStatus status = HostStatus::NA;
    // Where loss began on the latest route trace of the host: the hop number, 0 when that trace found no loss
    // on the path; none while no trace has been taken.
    std::optional<std::uint32_t> routeLossBeginsHop{};
    // Path watching: route changes found since the process started (none while the path is not watched), and
    // the hops of the latest trace that reached the host (none before one did).
    std::optional<std::uint64_t> routeChanges{};
    std::optional<std::uint32_t> routeHops{};

    bool operator==(const SeriesSnapshot&) const = default;
};

struct MetricsSnapshot {
    std::string version;
    std::uint64_t processStartMicros = 0; // Unix time
    std::vector<SeriesSnapshot> series;

    bool operator==(const MetricsSnapshot&) const = default;
};

std::ostream& operator<<(std::ostream& os, const SeriesSnapshot& s);
std::ostream& operator<<(std::ostream& os, const MetricsSnapshot& s);
