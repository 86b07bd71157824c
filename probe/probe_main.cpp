// ostrevo-probe: the monitoring engine on a terminal, used like ping. Prints every reply line with the
// running statistics until the count is done or a signal ends the run, then the final statistics.

#include <arpa/inet.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/Modules.h"
#include "engine/PosixHostResolver.h"
#include "engine/ProbeHub.h"
#include "metrics/ListenAddress.h"
#include "metrics/MetricsEndpoint.h"
#include "metrics/MetricsObserver.h"
#include "metrics/MetricsRegistry.h"
#include "probe/ProbeCommandLine.h"
#include "probe/ProbeConsole.h"
#include "probe/RouteConsole.h"

#ifndef OSTREVO_VERSION
#define OSTREVO_VERSION "1.0.0.0"
#endif

namespace {

enum ExitStatus : int { kReplied = 0, kNoReply = 1, kSetupError = 2 };

constexpr int kWakeSignal = SIGUSR1; // the hub's way of waking the main thread out of sigwait
constexpr RunId kRun = 1;

// A numeric address as is, otherwise the name's first address of the family asked for (with none asked for,
// IPv4 where the name has it).
std::optional<IpAddress> resolve(PosixHostResolver& names, const std::string& host, IpAddress::Family family) {
    in_addr address{};
    if (family != IpAddress::Family::V6 && inet_pton(AF_INET, host.c_str(), &address) == 1)
        return IpAddress::v4(address.s_addr);
    if (family != IpAddress::Family::V4)
        if (const auto literal = names.parseIpv6Address(host))
            return literal;
    const auto entry = names.lookupHostByName(host);
    if (!entry)
        return std::nullopt;
    for (const IpAddress& candidate : entry->addresses)
        if (family == IpAddress::Family::None || candidate.family == family)
            return candidate;
    return std::nullopt;
}

// The signals that end a run. SIGHUP (the terminal went away) counts too, unless the probe was started
// with it ignored, as nohup does: a blocked signal is queued even when ignored, so it must stay out.
sigset_t endingSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    struct sigaction hangUp {};
    if (sigaction(SIGHUP, nullptr, &hangUp) == 0 && hangUp.sa_handler != SIG_IGN)
        sigaddset(&signals, SIGHUP);
    sigaddset(&signals, kWakeSignal);
    return signals;
}

// Waits for one of `signals`, or until `deadline` when there is one. The signal, or 0 when the deadline came first.
int waitForSignal(const sigset_t& signals, std::optional<std::chrono::steady_clock::time_point> deadline) {
    if (!deadline) {
        int received = 0;
        sigwait(&signals, &received);
        return received;
    }
    for (;;) {
        const auto left = *deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            return 0;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec wait{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        const int received = sigtimedwait(&signals, nullptr, &wait);
        if (received > 0)
            return received;
        if (errno == EAGAIN)
            return 0;
    }
}

} // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN); // a reader that went away fails the write; the console then ends the run
    const ProbeOptions options = ProbeCommandLine::parse(std::vector<std::string>(argv + 1, argv + argc));
    switch (options.action) {
    case ProbeOptions::Action::Help:
        std::fputs(ProbeCommandLine::usage().c_str(), stdout);
        return 0;
    case ProbeOptions::Action::Version:
        std::puts("ostrevo-probe " OSTREVO_VERSION);
        return 0;
    case ProbeOptions::Action::Fail:
        std::fprintf(stderr, "ostrevo-probe: %s\n%sTry 'ostrevo-probe --help' for more information.\n",
                     options.error.c_str(), ProbeCommandLine::synopsis().c_str());
        return kSetupError;
    case ProbeOptions::Action::Probe:
        break;
    }

    std::optional<ListenAddress> metricsAt;
    if (!options.metricsListen.empty()) {
        ListenAddressParse parsed = parseListenAddress(options.metricsListen);
        if (!parsed.listen) {
            std::fprintf(stderr, "ostrevo-probe: invalid metrics address %s\n", parsed.error.c_str());
            return kSetupError;
        }
        metricsAt = std::move(parsed.listen);
    }

    PosixHostResolver names;
    const auto target = resolve(names, options.host, options.family);
    if (!target) {
        const char* wanted = options.family == IpAddress::Family::V4   ? "an IPv4 address"
                             : options.family == IpAddress::Family::V6 ? "an IPv6 address"
                                                                       : "an address";
        std::fprintf(stderr, "ostrevo-probe: cannot find %s for \"%s\"\n", wanted, options.host.c_str());
        return kSetupError;
    }
    if (options.route)
        return RouteConsole::run(options, *target, names.formatAddress(*target));

    // Every thread started from here on inherits the mask, so the signals reach only sigwait below.
    const sigset_t signals = endingSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // Built only for --metrics: a plain ping loads no HTTP library and starts no thread for it. The server's
    // threads start after the mask is set, so they leave the ending signals to sigwait below.
    std::unique_ptr<MetricsRegistry> metrics;
    std::unique_ptr<MetricsObserver> metricsObserver;
    std::unique_ptr<MetricsEndpoint> metricsServer;
    if (metricsAt) {
        metrics = std::make_unique<MetricsRegistry>();
        metricsObserver = std::make_unique<MetricsObserver>(*metrics);
        std::string error;
        metricsServer = Modules::make<MetricsEndpointFactory>(Modules::path(kMetricsModule), kMetricsEndpointFactory,
                                                              error, std::as_const(*metrics));
        if (!metricsServer) {
            std::fprintf(stderr, "ostrevo-probe: metrics: %s\n", error.c_str());
            return kSetupError;
        }
        if (!metricsServer->start(*metricsAt)) {
            std::fprintf(stderr, "ostrevo-probe: metrics: %s\n", metricsServer->errorText().c_str());
            return kSetupError;
        }
    }

    Settings settings;
    settings.host = options.host; // the host label of the metrics
    settings.interval = options.intervalMs;
    settings.buffer = options.payloadBytes;
    RunSettings run = RunSettings::from(settings, *target);
    run.ttl = options.ttl;
    run.timeoutMs = options.timeoutMs;
    run.source = options.source;
    // As ping: -i is the time between sends, and -c the requests sent.
    run.pacing = RunSettings::Pacing::FromSend;
    run.count = options.count;

    std::printf("Probing %s [%s] with %d bytes of data:\n", options.host.c_str(), names.formatAddress(*target).c_str(),
                settings.buffer);
    std::fflush(stdout);

    const pthread_t mainThread = pthread_self();
    ProbeConsole console(stdout, {options.quiet, options.count, options.timestamps, options.reportMissing},
                         [mainThread] { pthread_kill(mainThread, kWakeSignal); });
    // The one host of the same engine the desktop program runs.
    auto hub = std::make_unique<ProbeHub>(console, nullptr);
    if (metricsObserver)
        hub->addObserver(*metricsObserver);
    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (options.deadlineMs != 0)
        deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.deadlineMs);
    hub->start();
    hub->startRun(kRun, run);

    const int received = waitForSignal(signals, deadline);

    if (console.failed()) {
        hub.reset();
        std::fprintf(stderr, "Can't open Ping Chanel.\n");
        return kSetupError;
    }
    if (received == 0) {
        // The deadline does not wait for the request under way, which may wait seconds for its reply: that one
        // is left out of the figures, and the process ends without the hub, as ping ends at its deadline.
        const ProbeConsole::Totals totals = console.close();
        std::printf("\n%s", ProbeConsole::summary(options.host, totals).c_str());
        std::fflush(stdout);
        std::_Exit(totals.replies() != 0 ? kReplied : kNoReply);
    }
    // The probe under way completes and counts; the pause after it does not hold the stop back.
    hub->stopRun(kRun, ProbeHub::StopMode::AfterRequestUnderWay);
    console.waitForAnswer();
    hub.reset();

    const ProbeConsole::Totals totals = console.totals();
    std::printf("\n%s", ProbeConsole::summary(options.host, totals).c_str());
    std::fflush(stdout);
    return totals.replies() != 0 ? kReplied : kNoReply;
}
