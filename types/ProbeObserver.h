#pragma once

#include <cstdint>

#include "types/ProbeEvent.h"

// Told of every probe of a run and of its end, on the probing thread, right after the probe's outcome is known
// and analysed. It must return at once (hand the event to its own thread or queue): the probing's timing
// depends on it.
class ProbeObserver {
public:
    virtual ~ProbeObserver() = default;
    virtual void probed(const ProbeEvent& event) noexcept = 0;
    // The run has ended (stopped, replaced by a new start, or the worker quit) at `atMs` on the wall clock:
    // nothing judges the host until the next run's probes.
    virtual void runEnded(RunId run, std::int64_t atMs) noexcept {
        (void)run;
        (void)atMs;
    }
};
