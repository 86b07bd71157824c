#include "support/HubHarness.h"

HubHarness::HubHarness() {
    settings.interval = 0;
    target = EchoOutcome::loopback();
}

HubHarness::~HubHarness() {
    quit();
}

HostStatus HubHarness::status() const {
    const std::vector<ProbeEvent> probes = window.probes();
    return probes.empty() ? HostStatus::NA : probes.back().hostStatus;
}

ProbeHub& HubHarness::started() {
    if (!hub) {
        hub = std::make_unique<ProbeHub>(window, &alerts, network.opener());
        hub->addObserver(observer);
        hub->start();
    }
    return *hub;
}

RunSettings HubHarness::run() const {
    RunSettings run = RunSettings::from(settings, target);
    run.timeoutMs = timeoutMs;
    return run;
}

void HubHarness::start() {
    started().startRun(kRun, run());
}

bool HubHarness::runScript(const std::vector<EchoOutcome>& outcomes) {
    network.clearFallback();
    network.push(outcomes);
    start();
    return network.waitUntilStarved(kPatience);
}

bool HubHarness::probe(const std::vector<EchoOutcome>& outcomes) {
    network.push(outcomes);
    return network.waitUntilStarved(kPatience);
}

bool HubHarness::runAndStop(const std::vector<EchoOutcome>& outcomes, bool alreadyRunning) {
    ProbeHub& h = started();
    const std::size_t before = window.stops().size();
    network.clearFallback();
    network.whenDrained([&h] { h.stopRun(kRun, ProbeHub::StopMode::AfterRequestUnderWay); });
    network.push(outcomes);
    if (!alreadyRunning)
        start();
    const bool answered = window.waitForStops(before + 1, kPatience);
    window.showStatusIcon(HostStatus::NA);
    return answered;
}

void HubHarness::quit() {
    if (!hub)
        return;
    network.setFallback(EchoOutcome::failure()); // a request waiting on the script goes out unanswered
    hub.reset();
}
