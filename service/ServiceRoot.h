#pragma once

#include <memory>
#include <string>

#include "engine/PathWatch.h"
#include "engine/RouteWatch.h"
#include "history/HistoryLedger.h"
#include "history/HistoryRecorder.h"
#include "metrics/MetricsObserver.h"
#include "metrics/MetricsRegistry.h"
#include "service/LogfmtLogger.h"
#include "service/MainLoop.h"
#include "service/TargetWatch.h"

// What ostrevod runs, put together once from the first good config: the hub with its observers (the ledger's
// recorder, the metrics, the route watch with each target's rounds, the path
// watch of the targets that ask for it), each registered once for every target, and
// the targets on top.
class ServiceRoot : private PathObserver {
public:
    // `historyPath` empty: no history kept.
    ServiceRoot(const ServiceConfig& first, const std::string& historyPath, MetricsRegistry& registry, MainLoop& loop,
                LogfmtLogger& log);
    ~ServiceRoot() override; // the traces end, then the probing, then the ledger writes what it holds
    ServiceRoot(const ServiceRoot&) = delete;
    ServiceRoot& operator=(const ServiceRoot&) = delete;

    // Main loop.
    void apply(const ServiceConfig& config);
    // Any thread.
    [[nodiscard]] std::string exposition() const { return watch_->exposition(); }

private:
    void traced(const RouteWatch::Finished& finished);
    // The path watch's traces, on its threads: the series of every target that watches the path, and the log.
    void pathTraced(const PathTrace& trace) noexcept override;
    void routeChanged(const RouteChange& change) noexcept override;

    MetricsRegistry& registry_;
    LogfmtLogger& log_;
    std::shared_ptr<HistoryLedger> ledger_;
    std::unique_ptr<HistoryRecorder> recorder_;
    std::unique_ptr<MetricsObserver> metrics_;
    std::unique_ptr<RouteWatch> routes_;
    std::unique_ptr<PathWatch> paths_;
    std::unique_ptr<TargetWatch> watch_;
};
