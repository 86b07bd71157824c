#include "service/ServiceRoot.h"

#include <algorithm>
#include <new>

#include "engine/PosixHostResolver.h"
#include "monitor/HostRunner.h"

ServiceRoot::ServiceRoot(const ServiceConfig& first, const std::string& historyPath, MetricsRegistry& registry,
                         MainLoop& loop, LogfmtLogger& log)
    : registry_(registry), log_(log) {
    registry_.setDropReleased(true);
    std::vector<ProbeObserver*> observers;
    if (!historyPath.empty()) {
        HistoryOptions options;
        options.path = historyPath;
        options.days = first.history.days;
        options.onProblem = [&log](const std::string& message) { log.warn("history", {{"problem", message}}); };
        ledger_ = std::make_shared<HistoryLedger>(std::move(options));
        recorder_ = std::make_unique<HistoryRecorder>(ledger_);
        observers.push_back(recorder_.get());
    }
    metrics_ = std::make_unique<MetricsObserver>(registry_, [this](RunId run) { return watch_->labelsOf(run); });
    observers.push_back(metrics_.get());
    routes_ = std::make_unique<RouteWatch>([this](const RouteWatch::Finished& finished) { traced(finished); });
    // `watch_` is set before any run starts, so before any probe comes.
    routes_->setRoundsOf([this](RunId run) { return watch_->routeRounds(run); });
    observers.push_back(routes_.get());
    paths_ = std::make_unique<PathWatch>();
    if (recorder_)
        paths_->addObserver(*recorder_);
    // The metrics observer knows no target's labels from a trace, which names a host and an address only.
    paths_->addObserver(*this);
    observers.push_back(paths_.get());

    TargetWatch::Services services;
    const auto resolver = std::make_shared<NetworkResolver>(std::make_shared<PosixHostResolver>());
    services.resolver = resolver;
    services.networks = resolver.get();
    services.registry = &registry_;
    services.post = [&loop](std::function<void()> task) { loop.post(std::move(task)); };
    services.makeRunner = [observers](WindowPort& face) { return makeHubRunner(face, nullptr, observers); };
    services.setTimer = [&loop](std::chrono::milliseconds period, std::function<void()> tick) {
        loop.setTimer(period, std::move(tick));
    };
    watch_ = std::make_unique<TargetWatch>(std::move(services), log_);
}

ServiceRoot::~ServiceRoot() {
    routes_->stop();
    paths_->stop();
    watch_.reset();
}

void ServiceRoot::apply(const ServiceConfig& config) {
    // Told before the runs start, so that a new target's first probe already finds its path watched.
    std::map<std::string, PathWatch::Settings> watched;
    for (const TargetConfig& target : config.targets)
        if (target.pathWatch.on)
            watched[target.host] = PathWatch::Settings{target.pathWatch.intervalMs, target.pathWatch.rounds};
    paths_->watchOnly(watched);
    watch_->apply(config);
}

void ServiceRoot::traced(const RouteWatch::Finished& finished) {
    if (!finished.error.empty()) {
        log_.warn("no route trace", {{"host", finished.host}, {"address", finished.address}, {"err", finished.error}});
        return;
    }
    RouteSnapshot snapshot;
    snapshot.host = finished.host;
    snapshot.address = finished.address;
    snapshot.takenMs = finished.startedMs;
    snapshot.reason = RouteReason::Outage;
    snapshot.rounds = finished.result.rounds;
    snapshot.reached = finished.result.reached;
    std::optional<std::uint32_t> hop;
    if (finished.result.lossBeginsAt) {
        snapshot.lossBeginsAt = *finished.result.lossBeginsAt;
        hop = *finished.result.lossBeginsAt;
    }
    snapshot.hops = finished.result.hops;
    registry_.setRouteLossBegins(finished.host, finished.address, hop, watch_->labelsOf(finished.run));
    log_.info("route traced", {{"host", finished.host},
                               {"address", finished.address},
                               {"loss_begins_hop", hop ? std::to_string(*hop) : std::string("none")}});
    if (ledger_)
        ledger_->recordRoute(std::move(snapshot));
}

void ServiceRoot::pathTraced(const PathTrace& trace) noexcept {
    try {
        std::optional<std::uint32_t> hops;
        if (trace.reached && !trace.hops.empty())
            hops = trace.hops.back().number;
        for (const std::string& labels : watch_->pathWatchedLabels(trace.host))
            registry_.setRouteHops(trace.host, trace.address, hops, labels);
    } catch (const std::bad_alloc&) {
    }
}

void ServiceRoot::routeChanged(const RouteChange& change) noexcept {
    try {
        for (const std::string& labels : watch_->pathWatchedLabels(change.host))
            registry_.countRouteChange(change.host, change.address, labels);
        const auto addressAt = [&change](const std::vector<IpAddress>& path) {
            // A hop that did not answer has no address to name.
            const bool known =
                change.hop >= 1 && change.hop <= path.size() && path[change.hop - 1u].family != IpAddress::Family::None;
            return known ? path[change.hop - 1u].text() : std::string("none");
        };
        log_.info("route changed", {{"host", change.host},
                                    {"address", change.address},
                                    {"hop", std::to_string(change.hop)},
                                    {"before", addressAt(change.before)},
                                    {"after", addressAt(change.after)}});
    } catch (const std::bad_alloc&) {
    }
}
