#pragma once

#include "types/PathObserver.h"
#include "types/ProbeObserver.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>

class MetricsRegistry;

// Feeds the registry from the probing thread: counts every probe and keeps each host's status in step with
// its analysis. Several runs may report at once, each about its own host; what a run probes is remembered
// per run, so the end of one leaves the others' series alone. The pair a run probes is held in the registry
// while the run probes it, so it is never dropped for room. The registry's lock is held for a few
// increments only, so a scrape never holds up a probe.
// As a path observer it gives each path-watched pair its hop count and counts its route changes.
class MetricsObserver final : public ProbeObserver, public PathObserver {
public:
    // The labels of a run's series besides host and address, as the registry takes them; asked on the probing
    // thread at a run's first probe and when it moves. The service labels its targets so.
    using Labeller = std::function<std::string(RunId run)>;

    explicit MetricsObserver(MetricsRegistry& registry, Labeller labeller = {})
        : registry_(registry), labeller_(std::move(labeller)) {}

    void probed(const ProbeEvent& event) noexcept override;
    // Nothing judges the run's host until it runs again: its status goes back to N/A (exported as unknown).
    void runEnded(RunId run, std::int64_t atMs) noexcept override;

    void pathTraced(const PathTrace& trace) noexcept override;
    void routeChanged(const RouteChange& change) noexcept override;

private:
    struct Target {
        std::string host;
        std::string address;
        std::string labels;
        bool operator==(const Target&) const = default;
    };

    MetricsRegistry& registry_;
    const Labeller labeller_;
    // Runs report from the engine's thread; the lock only matters should runs ever report from threads of
    // their own.
    std::mutex mutex_;
    std::map<RunId, Target> runs_; // the pair each run probed last
};
