#include "support/WorkerHarness.h"

WorkerHarness::WorkerHarness() {
    settings.interval = 0;
    target = EchoOutcome::loopback();
}

WorkerHarness::~WorkerHarness() {
    if (worker)
        (void)quit();
}

HostStatus WorkerHarness::status() const {
    const std::vector<ProbeEvent> probes = window.probes();
    return probes.empty() ? HostStatus::NA : probes.back().hostStatus;
}

ProbeWorker& WorkerHarness::started() {
    if (!worker) {
        worker = std::make_unique<ProbeWorker>(channel, window, &alerts);
        worker->addObserver(observer);
        worker->start();
    }
    return *worker;
}

StartCommand WorkerHarness::startCommand() const {
    return StartCommand{RunSettings::from(settings, target)};
}

bool WorkerHarness::runScript(const std::vector<EchoOutcome>& outcomes) {
    channel.clearFallback();
    for (const EchoOutcome& o : outcomes)
        channel.push(o);
    started().post(startCommand());
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
    channel.whenDrained([&w] { w.post(StopCommand{}); });
    for (const EchoOutcome& o : outcomes)
        channel.push(o);
    if (!alreadyRunning)
        w.post(startCommand());
    const bool answered = window.waitForStops(before + 1, kPatience);
    window.showStatusIcon(HostStatus::NA);
    return answered;
}

bool WorkerHarness::quit() {
    if (!worker)
        return true;
    worker->post(QuitCommand{});
    channel.setFallback(EchoOutcome::failure()); // a probe waiting on the script completes
    const bool ended = worker->joinFor(kPatience);
    if (ended)
        worker.reset();
    return ended;
}
