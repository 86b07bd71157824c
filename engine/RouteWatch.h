#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/RouteResult.h"
#include "engine/RouteTracer.h"
#include "types/IpAddress.h"
#include "types/ProbeObserver.h"

// Watches every run and, when a host enters Bad (from Good, Average or N/A), traces the route to the address
// it probes, so the outage comes with where along the path the loss begins. Traces run on a small pool of
// threads of their own (at most kMostTraces at once, made as they are needed): the probing goes on as before,
// and nothing of a trace reaches the run's figures, analysis, log or alerts. When many hosts go Bad at once
// (300 behind one router), the rest wait their turn in the order they went Bad, and one that has recovered or
// stopped by then is passed over. One trace per run at a time, waiting or under way: an edge meanwhile is
// not traced again.
class RouteWatch : public ProbeObserver {
public:
    static constexpr std::size_t kMostTraces = 8;

    // One trace, run on one of the watch's threads; stop() may come from any thread and ends it soon after.
    class Trace {
    public:
        virtual ~Trace() = default;
        // `error` says why when the trace could not run (no socket); the result then holds nothing.
        [[nodiscard]] virtual RouteResult run(const IpAddress& destination, std::uint32_t rounds,
                                              std::string& error) = 0;
        virtual void stop() = 0;
    };
    using TraceFactory = std::function<std::unique_ptr<Trace>()>;
    // Real traces: a RouteTracer with the socket kind the host allows, paced as `pace` says (its rounds are each
    // run's own).
    [[nodiscard]] static TraceFactory tracerFactory(RouteTracer::Options pace = {});

    struct Finished {
        RunId run = 0;
        std::string host;           // as configured
        std::string address;        // the address traced, as text
        std::int64_t startedMs = 0; // wall clock when the trace began (its turn came)
        RouteResult result;
        std::string error;     // the trace could not run; `result` is then empty
        bool stillBad = false; // the run still judged the host Bad when the trace ended
    };
    // Called on the trace's thread once it has ended by itself (not after stop()).
    using Done = std::function<void(const Finished&)>;

    // Without a factory the traces are real ones (RouteTracer, the socket kind the host allows); without a
    // clock, the system's.
    explicit RouteWatch(Done done, TraceFactory factory = {}, std::function<std::int64_t()> clock = {});
    ~RouteWatch() override;
    RouteWatch(const RouteWatch&) = delete;
    RouteWatch& operator=(const RouteWatch&) = delete;

    // Rounds of each trace from the next edge on; 0 traces nothing.
    void setRounds(std::uint32_t rounds) { rounds_.store(rounds); }
    [[nodiscard]] std::uint32_t rounds() const { return rounds_.load(); }
    // Each run's own rounds in place of setRounds' (the service's targets set theirs); before the first probe.
    // Asked at an entry into Bad, from the probing thread.
    void setRoundsOf(std::function<std::uint32_t(RunId run)> roundsOf) { roundsOf_ = std::move(roundsOf); }

    void probed(const ProbeEvent& event) noexcept override;
    void runEnded(RunId run, std::int64_t atMs) noexcept override;

    // Ends every trace under way, drops those waiting and waits for the threads; no trace starts after it.
    void stop();
    // Whether a trace of the host waits or is under way.
    [[nodiscard]] bool tracing(const std::string& host) const;
    // Traces begun so far (waiting ones not counted, nor those passed over).
    [[nodiscard]] std::uint64_t started() const;

    // A numeric IPv4 or IPv6 address, as a run reports the one it probes.
    [[nodiscard]] static std::optional<IpAddress> parseAddress(const std::string& text);

private:
    struct Job {
        Finished finished; // what is known before the trace runs
        IpAddress destination;
        std::uint32_t rounds = 0;
        std::unique_ptr<Trace> trace; // while under way
    };

    void dispatch();
    void serve();

    Done done_;
    TraceFactory factory_;
    std::function<std::int64_t()> clock_;
    std::atomic<std::uint32_t> rounds_{10};
    std::function<std::uint32_t(RunId)> roundsOf_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::uint64_t started_ = 0;
    std::size_t busy_ = 0;               // traces that have had their turn and not ended
    std::map<RunId, Job> jobs_;          // waiting or under way, one per run
    std::deque<RunId> waiting_;          // in the order the hosts went Bad
    std::deque<RunId> ready_;            // had their turn, for the next free thread
    std::map<RunId, HostStatus> latest_; // each run's latest status
    std::vector<std::thread> threads_;
};
