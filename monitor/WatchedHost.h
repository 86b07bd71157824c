#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "monitor/RecentPoints.h"
#include "settings/Settings.h"
#include "types/IpAddress.h"
#include "types/ProbeEvent.h"

// One watched host as every view sees it: the supervisor keeps it, views read it by reference. The main host is
// the first of the list.
struct WatchedHost {
    using Point = RecentPoints::Point;

    RunId id = 0;      // stable while the program runs; marks the host's probe reports
    bool main = false; // the first host of the list, the one the main window shows
    Settings settings; // its per-host fields; the program-wide ones are not its own
    bool running = false;
    bool resolving = false;   // a start waits for the name service
    IpAddress target;         // the probed address, once a run has resolved it
    std::string address;      // the same as text
    std::string officialName; // the name service's name for it, when it was looked up
    HostStatus status = HostStatus::NA;
    std::int64_t statusSinceMs = 0;         // wall clock of the last status change (or the run's start); 0 none
    std::optional<std::uint32_t> lastRttUs; // the last probe's round trip; nothing when it got no reply
    RunStatistics stats;                    // the run's figures so far
    std::optional<ProbeEvent> last;         // the run's latest probe
    RecentPoints recent;                    // the last minutes of probes, for the sparkline

    // Running, or about to once its name is found.
    [[nodiscard]] bool busy() const { return running || resolving; }
};
