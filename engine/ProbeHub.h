#pragma once

#include <memory>

#include "engine/AlertSink.h"
#include "engine/HubSocket.h"
#include "engine/IcmpSocket.h"
#include "engine/RunSettings.h"
#include "engine/WindowPort.h"
#include "types/ProbeObserver.h"

// Many watched hosts probed from one thread. Each host keeps the rules of a single run (one request at a time,
// or one every interval as ping sends them when its settings pace it from each send; its own interval and wait,
// its own figures, analysis, log records and alerts), but the hosts share the
// machinery: one socket per address family and kind, one receive path that hands each reply or ICMP error to
// the host whose request it answers, and one timer queue. The thread count does not grow with the hosts.
//
// A host is known by its RunId, which the caller chooses and which marks every report about it.
class ProbeHub {
public:
    // `face` hears of every host's probes, log records and run ends (its calls must return at once: the hub
    // never waits for a face); `alerts` raises every host's alerts; both outlive the hub.
    ProbeHub(WindowPort& face, AlertSink* alerts);
    // `sockets` pins the socket kind (Auto: datagram where admitted, else raw, as the echo channel chooses).
    ProbeHub(WindowPort& face, AlertSink* alerts, IcmpSocket::Preference sockets);
    // The hub's sockets come from `sockets` (tests script the network this way).
    ProbeHub(WindowPort& face, AlertSink* alerts, HubSocket::Opener sockets);
    ~ProbeHub(); // ends every run, without reports, and joins the thread
    ProbeHub(const ProbeHub&) = delete;
    ProbeHub& operator=(const ProbeHub&) = delete;

    // Before start() only.
    void addObserver(ProbeObserver& observer);
    void start();

    // From any thread, in order. A start of a host that is running begins a fresh run with these settings.
    void startRun(RunId run, RunSettings settings);
    enum class StopMode : std::uint8_t {
        AtOnce,               // the request under way is dropped
        AfterRequestUnderWay, // it comes back (or times out) and counts first, as a console run ends
    };
    // Answered with face.runEnded(run, RunEnd::Stopped); a host that is not running is answered too.
    void stopRun(RunId run, StopMode mode = StopMode::AtOnce);
    // Both wait for the request under way, which still counts under the figures and log it was sent with.
    void resetRun(RunId run);   // clears the host's figures
    void loggingOff(RunId run); // the host's log failed: no more postLog for it

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
