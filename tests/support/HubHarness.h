#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "engine/ProbeHub.h"
#include "settings/Settings.h"
#include "support/RecordingAlertSink.h"
#include "support/RecordingProbeObserver.h"
#include "support/RecordingWindowPort.h"
#include "support/ScriptedHubSocket.h"

// One host (run 1) on a hub over a scripted network, with recorders for its face, alerts and observers, probing
// back to back (Interval 0) at 127.0.0.1 as the program leaves things when it starts a run. Each start carries
// a snapshot of `settings`, `target` and `timeoutMs` as they are when it is posted.
struct HubHarness {
    static constexpr std::chrono::milliseconds kPatience{10000}; // only ever waited out when something hangs
    static constexpr RunId kRun = 1;

    Settings settings;
    IpAddress target;
    std::uint32_t timeoutMs = 150; // above every scripted round trip, so that only "no answer" times out
    ScriptedNetwork network;
    RecordingWindowPort window;
    RecordingAlertSink alerts;
    RecordingProbeObserver observer;
    std::unique_ptr<ProbeHub> hub;

    HubHarness();
    ~HubHarness();
    HubHarness(const HubHarness&) = delete;
    HubHarness& operator=(const HubHarness&) = delete;

    // The host status the last reported probe left, N/A before any.
    [[nodiscard]] HostStatus status() const;

    // Creates and starts the hub on first use.
    ProbeHub& started();
    // What a start of the host would carry now.
    [[nodiscard]] RunSettings run() const;
    void start();

    // Starts a run with these outcomes and returns once all of them have been probed and handled; the next
    // request then waits on the script.
    [[nodiscard]] bool runScript(const std::vector<EchoOutcome>& outcomes);
    // Lets the waiting request take these outcomes, and returns once they are handled.
    [[nodiscard]] bool probe(const std::vector<EchoOutcome>& outcomes);
    // Starts a run (or feeds the waiting one) with these outcomes and stops it once the last has come back, with
    // no probe beyond the script; then does what the window does with the answer (status N/A).
    [[nodiscard]] bool runAndStop(const std::vector<EchoOutcome>& outcomes, bool alreadyRunning = false);
    // Ends the hub; a request waiting on the script goes unanswered so that it can.
    void quit();
};
