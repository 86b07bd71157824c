#include "support/WorkerHarness.h"

#include "engine/SetHostStatus.h"

WorkerHarness::WorkerHarness() {
    settings.interval = 0;
    state.targetAddress = EchoOutcome::loopback();
    state.running = true;
}

WorkerHarness::~WorkerHarness() {
    if (worker)
        (void)quit();
}

ProbeWorker& WorkerHarness::started() {
    if (!worker) {
        worker = std::make_unique<ProbeWorker>(settings, state, channel, window, &alerts);
        worker->start();
    }
    return *worker;
}

bool WorkerHarness::runScript(const std::vector<EchoOutcome>& outcomes) {
    channel.clearFallback();
    state.running = true;
    for (const EchoOutcome& o : outcomes)
        channel.push(o);
    started().post(WorkerMessage::PingStart);
    return channel.waitUntilStarved(kPatience);
}

bool WorkerHarness::probe(const std::vector<EchoOutcome>& outcomes) {
    for (const EchoOutcome& o : outcomes)
        channel.push(o);
    return channel.waitUntilStarved(kPatience);
}

bool WorkerHarness::runAndStop(const std::vector<EchoOutcome>& outcomes, bool alreadyRunning) {
    ProbeWorker& w = started();
    const std::size_t before = window.stops().size();
    channel.clearFallback();
    channel.whenDrained([&w] { w.post(WorkerMessage::PingStop); });
    state.running = true;
    for (const EchoOutcome& o : outcomes)
        channel.push(o);
    if (!alreadyRunning)
        w.post(WorkerMessage::PingStart);
    const bool answered = window.waitForStops(before + 1, kPatience);
    state.running = false;
    setHostStatus(state, settings, window, HostStatus::NA, "");
    return answered;
}

bool WorkerHarness::quit() {
    if (!worker)
        return true;
    worker->post(WorkerMessage::Quit);
    channel.setFallback(EchoOutcome::failure()); // a probe waiting on the script completes
    const bool ended = worker->joinFor(kPatience);
    if (ended)
        worker.reset();
    return ended;
}
