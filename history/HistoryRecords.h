#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "history/RttStats.h"

// A period in which the host's analysed status was Bad. With lost replies it runs from the first failed probe
// of the streak that made the status Bad to the first reply that led out of it; with slow replies, from verdict
// to verdict.
struct Outage {
    std::string host;
    std::string address;
    std::int64_t startMs = 0;                 // the first failed probe, or the Bad verdict when none failed
    std::optional<std::int64_t> endMs;        // the first reply after it, or the end of the run; none while ongoing
    std::uint32_t firstStatus = 0;            // status of the first failed probe leading to it (0: slow, not lost)
    std::optional<std::int64_t> firstErrorMs; // when that failed probe was sent
    std::int64_t verdictMs = 0;               // the probe that made the status Bad
    // The latest route trace taken for it, where one was: its id, where loss began (none: no loss on the path)
    // and the first address that hop answered from; and the last hop before it that answered, with its first
    // address, for when that one never did.
    std::optional<std::int64_t> routeId{};
    std::optional<int> lossBeginsAt{};
    std::string lossAddress{};
    std::optional<int> lastAnsweringHop{};
    std::string lastAnsweringAddress{};

    friend bool operator==(const Outage&, const Outage&) = default;
};
std::ostream& operator<<(std::ostream& os, const Outage& o);

// The host status from `atMs` on (0 when no run is active).
struct StatusChange {
    std::int64_t atMs = 0;
    std::uint8_t status = 0;

    friend bool operator==(const StatusChange&, const StatusChange&) = default;
};
std::ostream& operator<<(std::ostream& os, const StatusChange& c);

// Figures of [startMs, endMs) for one step of a graph.
struct SeriesPoint {
    std::int64_t startMs = 0;
    std::int64_t endMs = 0;
    RttStats stats;
};
