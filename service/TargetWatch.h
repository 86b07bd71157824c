#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "metrics/MetricsRegistry.h"
#include "monitor/HostSupervisor.h"
#include "service/LogfmtLogger.h"
#include "service/NetworkResolver.h"
#include "service/ServiceConfig.h"

// The config's targets as the supervisor's hosts, on the service's main loop. Each target keeps one RunId for as
// long as the file names it (by its key: the name, else the host), so a reload that leaves a target as it was
// leaves its run, figures and series alone. Names are found off the probing thread at start and again every
// resolve interval; a name that is not found is counted, logged and tried again, and never stops the service.
class TargetWatch : private HostSupervisor::Listener {
public:
    struct Services {
        std::shared_ptr<HostResolver> resolver;
        HostSupervisor::Post post; // onto the main loop
        // Makes the runner once (the hub with the observers); the watch is its face's owner.
        std::function<std::unique_ptr<HostRunner>(WindowPort& face)> makeRunner;
        // Sets the main loop's one repeating timer; empty: names are found again only by resolveAgain().
        std::function<void(std::chrono::milliseconds period, std::function<void()> tick)> setTimer;
        // Where a target whose name is not found shows as unknown, without an address; may be null.
        MetricsRegistry* registry = nullptr;
        // The resolver above, when it keeps names to the family of their targets' `network`; may be null.
        NetworkResolver* networks = nullptr;
    };

    TargetWatch(Services services, LogfmtLogger& log);
    ~TargetWatch() override;
    TargetWatch(const TargetWatch&) = delete;
    TargetWatch& operator=(const TargetWatch&) = delete;

    // The running set becomes the config's. Main loop.
    void apply(const ServiceConfig& config);
    // Finds the names again now (the resolve timer's tick). Main loop.
    void resolveAgain();

    // Any thread. A run's labels besides host and address, in the exposition's form (`,target="gw",site="lab"`).
    [[nodiscard]] std::string labelsOf(RunId run) const;
    // The rounds of the route trace at the run's target's outages; 0 traces nothing.
    [[nodiscard]] std::uint32_t routeRounds(RunId run) const;
    // The series labels of each target of this host whose path is watched. Any thread.
    [[nodiscard]] std::vector<std::string> pathWatchedLabels(const std::string& host) const;
    // ostrevo_resolve_errors_total and ostrevod_targets{state=...}, in the exposition format.
    [[nodiscard]] std::string exposition() const;

    [[nodiscard]] const HostSupervisor& supervisor() const { return *supervisor_; }

private:
    struct Target {
        TargetConfig config;
        std::string labels;
        std::unique_ptr<HostLookup> check; // a look-up of a running target's name, to see whether it moved
    };

    void probed(const WatchedHost& host, const ProbeEvent& event) override;
    void started(const WatchedHost& host) override;
    void startFailed(const WatchedHost& host, HostSupervisor::StartFailure why, bool asked) override;
    void hostChanged(RunId id) override;

    void tuneRun(RunId id, RunSettings& run) const;
    // A line about one target: its host, its name when it has one, then `more`.
    void say(LogSeverity severity, std::string_view message, const TargetConfig& target,
             std::initializer_list<LogField> more);
    void tick();
    // Starts the targets whose names were not found; with `running`, checks the others' names too.
    void lookAgain(bool running);
    void checkAddress(RunId id);
    void countResolveError(RunId id, const TargetConfig& config);
    // A target without an address has one series of its own, status unknown, until it gets one or goes.
    void showUnresolved(RunId id, bool unresolved);
    void countStates();
    [[nodiscard]] static Settings settingsOf(const TargetConfig& target);
    [[nodiscard]] static std::string labelsText(const TargetConfig& target);

    Services services_;
    LogfmtLogger& log_;
    std::uint32_t resolveIntervalMs_ = 0;
    std::chrono::milliseconds timerPeriod_{0};
    std::chrono::steady_clock::time_point lastResolve_{};
    std::map<std::string, RunId> ids_; // each target's key and its run
    RunId nextId_ = 1;
    std::set<RunId> down_;                                            // targets whose latest verdict is Bad
    std::map<RunId, std::pair<std::string, std::string>> unresolved_; // their series: host and labels

    mutable std::mutex mutex_; // over what the probing and scrape threads read
    std::map<RunId, Target> targets_;
    std::map<std::string, std::uint64_t> resolveErrors_; // by the series' labels, host first
    std::atomic<std::size_t> configured_{0};
    std::atomic<std::size_t> resolved_{0};
    std::atomic<std::size_t> running_{0};

    std::unique_ptr<HostSupervisor> supervisor_; // last: ended first
};
