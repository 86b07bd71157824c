#pragma once

#include <optional>

#include "engine/AlertSink.h"
#include "engine/ResultRing.h"
#include "engine/RunSettings.h"
#include "types/HostStatus.h"

// Decides after every probe whether the host is Good, Average or Bad from the recent outcomes, and whether the
// move is a start/stop-responding edge (a reversed Good/Bad move) or the run's first Good/Bad move going to Bad
// (the host was down before monitoring began). It keeps the run's status; the caller shows it and raises the
// alerts. Probing thread only.
class StatusAnalysis {
public:
    struct Decision {
        HostStatus status = HostStatus::NA;
        bool changed = false;
        std::optional<AlertEdge> edge;
        bool downAtStart = false; // the first Good/Bad move of the run, and it is to Bad
    };

    // A new run with these rules, kept by reference until the next one: its first move to Good or Bad raises
    // no alert, whatever the last run ended with; a first move to Bad is down at start. The status carries
    // over from a run that was replaced without a stop.
    void beginRun(const RunSettings& run);
    // The run has ended: nothing judges the host until the next one.
    void endRun() { status_ = HostStatus::NA; }

    // Called once the cycle has recorded its outcome. In the mode by tries it rewinds ring.index.
    [[nodiscard]] Decision analyse(ResultRing& ring);

    [[nodiscard]] HostStatus status() const { return status_; }
    [[nodiscard]] bool wasUp() const { return wasUp_; }
    [[nodiscard]] bool wasDown() const { return wasDown_; }

private:
    void byTries(ResultRing& ring, Decision& decision);
    void byLossPercent(const ResultRing& ring, Decision& decision);
    void byAverageTime(const ResultRing& ring, Decision& decision);

    void enterGood(Decision& decision);
    void enterAverage(Decision& decision);
    void enterBad(Decision& decision);
    void changeStatus(HostStatus status, Decision& decision);

    const RunSettings* run_ = nullptr;
    HostStatus status_ = HostStatus::NA;
    bool wasUp_ = false;   // the last Good/Bad move of the run went to Good
    bool wasDown_ = false; // ... went to Bad
};
