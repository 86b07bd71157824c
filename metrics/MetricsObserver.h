#pragma once

#include "types/ProbeObserver.h"

#include <string>

class MetricsRegistry;

// Feeds the registry from the probe worker: counts every probe and keeps the host status in step with
// the analysis. The registry's lock is held for a few increments only, so a scrape never holds up a probe.
class MetricsObserver final : public ProbeObserver {
public:
    explicit MetricsObserver(MetricsRegistry& registry) : registry_(registry) {}

    void probed(const ProbeEvent& event) noexcept override;
    // Nothing judges the host between runs: its status goes back to N/A (exported as unknown).
    void runEnded(RunId run, std::int64_t atMs) noexcept override;

private:
    MetricsRegistry& registry_;
    // The pair of the latest probe; worker thread only.
    std::string host_;
    std::string address_;
    bool probedThisRun_ = false;
};
