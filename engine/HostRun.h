#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/AlertSink.h"
#include "engine/EchoReply.h"
#include "engine/ProbeStatistics.h"
#include "engine/ResultRing.h"
#include "engine/RunSettings.h"
#include "engine/StatusAnalysis.h"
#include "engine/WindowPort.h"
#include "types/ProbeObserver.h"

// What one run keeps and decides between its probes, whoever sends them (a worker of its own or the hub):
// its settings, figures, ring of recent outcomes and analysis, and the reports each probe leads to (face, log
// record, alerts, observers). The owner decides when to send and what came back; this class makes the rest of
// a probe identical everywhere. The settings are referenced by the analysis, so the object stays in place.
class HostRun {
public:
    HostRun(RunId id, WindowPort& face, AlertSink* alerts, const std::vector<ProbeObserver*>& observers);
    HostRun(const HostRun&) = delete;
    HostRun& operator=(const HostRun&) = delete;

    [[nodiscard]] RunId id() const { return id_; }
    [[nodiscard]] const RunSettings& settings() const { return run_; }

    // A fresh run with these settings: figures and ring cleared, the analysis told. Not yet probing: the
    // owner calls started() once it can send, or failedToStart() when it cannot.
    void prepare(RunSettings run);
    void started();
    // No echo handle: the analysis forgets the run and the face hears that it never began.
    void failedToStart();
    [[nodiscard]] bool probing() const { return probing_; }

    // One probe's outcome: `sentAtUnixMs` is the wall clock when its request went out, `request` its number in
    // the run (requests that overlap may come back out of order).
    void record(std::int64_t sentAtUnixMs, const EchoResult& result, std::uint64_t request = 0);

    void resetFigures() { stats_.reset(); }
    void loggingOff() { run_.logLevel = LogLevel::Off; }

    // The run is over. Observers hear of it when it was probing; `stopped` adds the face's answer and ends
    // the analysis, as a stop does (an exit or a replacing start does neither).
    void finish(bool stopped);

    [[nodiscard]] static std::int64_t unixMillisNow();

private:
    void fillOutcome(const EchoResult& result);

    const RunId id_;
    WindowPort& face_;
    AlertSink* alerts_;
    const std::vector<ProbeObserver*>& observers_;
    RunSettings run_;
    StatusAnalysis analysis_;
    ProbeStatistics stats_;
    ResultRing ring_;
    ProbeEvent event_;       // reused by every probe: its texts keep their capacity
    std::string targetText_; // the probed address as text, made once per run
    bool probing_ = false;
};
