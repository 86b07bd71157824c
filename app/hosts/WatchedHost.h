#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "settings/Settings.h"
#include "types/ProbeEvent.h"

// One watched host as the Hosts window, the tray and the alerts see it. The main host is the one the main
// window shows and today's settings keys hold; the others are stored beside them.
struct WatchedHost {
    RunId id = 0;                 // stable while the program runs; marks the host's probe reports
    bool main = false;            // the main host (always the first row)
    Settings settings;            // its per-host fields; the program-wide ones are not its own
    bool running = false;
    std::string address;          // the probed address as text, once a run has resolved it
    HostStatus status = HostStatus::NA;
    std::int64_t statusSinceMs = 0;         // wall clock of the last status change (or the run's start); 0 none
    std::optional<std::uint32_t> lastRttUs; // the last probe's round trip; nothing when it got no reply
    RunStatistics stats;                    // the run's figures so far
    struct Point {
        std::int64_t unixMs = 0;
        std::optional<std::uint32_t> rttUs; // nothing: lost
    };
    std::vector<Point> recent; // the last minutes of probes, oldest first, for the sparkline
};
