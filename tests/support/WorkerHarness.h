#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "engine/ProbeWorker.h"
#include "settings/Settings.h"
#include "support/RecordingAlertSink.h"
#include "support/RecordingProbeObserver.h"
#include "support/RecordingWindowPort.h"
#include "support/ScriptedEchoChannel.h"

// A probe worker wired to a scripted channel and recorders, probing back to back (Interval 0) at 127.0.0.1,
// as run control leaves things when it posts a start. Each start carries a snapshot of `settings` and `target`
// as they are when it is posted.
struct WorkerHarness {
    static constexpr std::chrono::milliseconds kPatience{10000}; // only ever waited out when something hangs

    Settings settings;
    IpAddress target;
    ScriptedEchoChannel channel;
    RecordingWindowPort window;
    RecordingAlertSink alerts;
    RecordingProbeObserver observer;
    std::unique_ptr<ProbeWorker> worker;

    WorkerHarness();
    ~WorkerHarness();
    WorkerHarness(const WorkerHarness&) = delete;
    WorkerHarness& operator=(const WorkerHarness&) = delete;

    // The host status the last reported probe left, N/A before any.
    [[nodiscard]] HostStatus status() const;

    // Creates and starts the worker on first use.
    ProbeWorker& started();
    // The start command run control would post now.
    [[nodiscard]] StartCommand startCommand() const;

    // Starts a run with these outcomes and returns once all of them have been probed and handled; the
    // worker then waits inside its next probe for more.
    [[nodiscard]] bool runScript(const std::vector<EchoOutcome>& outcomes);
    // Lets the waiting run probe these outcomes, and returns once they are handled.
    [[nodiscard]] bool probe(const std::vector<EchoOutcome>& outcomes);

    // Starts a run (or feeds the waiting one) with these outcomes and ends it right after the last one,
    // with no cycle beyond the script; then does what the window does with the answer (status N/A).
    [[nodiscard]] bool runAndStop(const std::vector<EchoOutcome>& outcomes, bool alreadyRunning = false);

    // Quits the worker; a probe still waiting on the script gets a timeout so the worker can leave.
    [[nodiscard]] bool quit();
};
