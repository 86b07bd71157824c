#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/RouteChangeDetector.h"
#include "engine/RouteWatch.h"
#include "types/IpAddress.h"
#include "types/PathObserver.h"
#include "types/ProbeObserver.h"

// Keeps the path to the hosts that ask for it: every interval, a few rounds of a route trace of the address the
// host's run probes, whatever the host's status (a Bad host's trace follows the outage). It learns the address
// from the probes, as an observer of every run, and stops with the run. Traces run on threads of their own (at
// most kMostTraces at once, made as paths need them, from the probing thread so that they share its network
// namespace): the probes never wait for a trace. Each trace goes to the path observers, with a route change
// when one is confirmed (see RouteChangeDetector).
class PathWatch : public ProbeObserver {
public:
    static constexpr std::size_t kMostTraces = 8;

    struct Settings {
        std::uint32_t intervalMs = 60'000; // from the start of one trace to the start of the next
        std::uint32_t rounds = 3;

        bool operator==(const Settings&) const = default;
    };

    // Without a factory the traces are real ones (RouteTracer); without a clock, the system's wall clock.
    explicit PathWatch(RouteWatch::TraceFactory factory = {}, std::function<std::int64_t()> clock = {});
    ~PathWatch() override;
    PathWatch(const PathWatch&) = delete;
    PathWatch& operator=(const PathWatch&) = delete;

    // Before the first probe; the observer outlives the watch's traces (stop() first).
    void addObserver(PathObserver& observer);

    // The host (as configured) is path-watched from its run's next probe on, with these settings; again with
    // new settings, the next trace follows them.
    void watch(const std::string& host, Settings settings);
    // The host is traced no more; a trace under way ends and is not reported.
    void unwatch(const std::string& host);
    // The hosts watched from now on are exactly these: the others are left.
    void watchOnly(const std::map<std::string, Settings>& hosts);

    void probed(const ProbeEvent& event) noexcept override;
    void runEnded(RunId run, std::int64_t atMs) noexcept override;

    // Ends the traces under way and waits for the threads; no trace starts after it.
    void stop();
    // Traces ended and reported so far.
    [[nodiscard]] std::uint64_t traced() const;
    // Whether the host's path is being kept now (watched, and a run probes it).
    [[nodiscard]] bool watching(const std::string& host) const;

private:
    using Clock = std::chrono::steady_clock;
    struct Path {
        std::uint64_t generation = 0; // a new one each time the host's run or address changes
        std::string address;
        IpAddress destination;
        Settings settings;
        Clock::time_point due{};
        std::shared_ptr<RouteWatch::Trace> trace; // while under way; its thread holds it too
        RouteChangeDetector detector;
    };

    void forget(const std::string& host);
    void serve();
    // The path due first that no thread traces; end() when none.
    [[nodiscard]] std::map<std::string, Path>::iterator nextDue();
    void addThreads();

    RouteWatch::TraceFactory factory_;
    std::function<std::int64_t()> clock_;
    std::vector<PathObserver*> observers_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::uint64_t generations_ = 0;
    std::uint64_t traced_ = 0;
    std::map<std::string, Settings> wanted_; // hosts that ask for path watching
    std::map<RunId, std::string> runs_;      // the host each run probes
    std::map<std::string, Path> paths_;      // watched hosts that a run probes
    std::vector<std::thread> threads_;
};
