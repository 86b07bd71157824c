#pragma once

#include <string>

#include "engine/AlertSink.h"
#include "engine/AppState.h"
#include "engine/EchoReply.h"
#include "engine/HostStatus.h"
#include "engine/ResultRing.h"
#include "engine/RunSettings.h"
#include "engine/WindowPort.h"

// Decides after every probe whether the host is Good, Average or Bad from the recent outcomes, moves the
// status there and raises the start/stop-responding alerts on reversed Good/Bad moves, and reports a run whose
// first Good/Bad move is to Bad. Worker thread only.
class StatusAnalysis {
public:
    StatusAnalysis(AppState& state, WindowPort& window, AlertSink* alerts);

    // A new run with these rules, kept by reference until the next one: its first move to Good or Bad
    // raises no alert, whatever the last run ended with; a first move to Bad is reported as down at start.
    void beginRun(const RunSettings& run);

    // Called once the cycle has recorded its outcome. In the mode by tries it rewinds ring.index.
    void analyse(ResultRing& ring, const ReplyArea& area, const std::string& statusLine);

    [[nodiscard]] bool wasUp() const { return wasUp_; }
    [[nodiscard]] bool wasDown() const { return wasDown_; }

private:
    struct Context {
        const ReplyArea& area;
        const std::string& statusLine;
    };

    void byTries(ResultRing& ring, const Context& ctx);
    void byLossPercent(const ResultRing& ring, const Context& ctx);
    void byAverageTime(const ResultRing& ring, const Context& ctx);

    void enterGood(const Context& ctx);
    void enterAverage(const Context& ctx);
    void enterBad(const Context& ctx);
    void changeStatus(HostStatus status, const Context& ctx);
    void raise(AlertEdge edge, const Context& ctx);

    AppState& state_;
    WindowPort& window_;
    AlertSink* alerts_;
    const RunSettings* run_ = nullptr;
    bool wasUp_ = false;   // the last Good/Bad move of the run went to Good
    bool wasDown_ = false; // ... went to Bad
};
