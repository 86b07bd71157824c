#pragma once

#include "types/ProbeEvent.h"

// The face a run reports to: the program's window, or the console of ostrevo-probe. The run hands over values;
// the face makes the texts. Every call except runEnded() returns at once; the face handles the reports in the
// order they were made.
class WindowPort {
public:
    virtual ~WindowPort() = default;

    // One probe, analysed: its outcome, the run's figures and the host status (changed or not).
    virtual void probed(const ProbeEvent& event) = 0;

    // A log record of that probe is due, under its host status.
    virtual void postLog(const ProbeEvent& event) = 0;

    // The answer to a stop, or to a start that failed. Returns once the face has handled it (so the run
    // begins no other before), or at once when the program is shutting down.
    virtual void runEnded(RunId run, RunEnd end) = 0;
};
