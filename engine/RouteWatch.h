#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "types/IpAddress.h"
#include "engine/RouteResult.h"
#include "types/ProbeObserver.h"

// Watches the runs and, when a host goes from Good to Bad, traces the route to the address it probes, so the
// outage comes with where along the path the loss begins. Each trace has a thread of its own: the probing
// goes on as before, and nothing of the trace reaches the run's figures, analysis, log or alerts. One trace per
// host at a time; an edge while one is under way is not traced again.
class RouteWatch : public ProbeObserver {
public:
    // One trace, run on the watch's thread for it; stop() may come from any thread and ends it soon after.
    class Trace {
    public:
        virtual ~Trace() = default;
        // `error` says why when the trace could not run (no socket); the result then holds nothing.
        [[nodiscard]] virtual RouteResult run(const IpAddress& destination, std::uint32_t rounds,
                                              std::string& error) = 0;
        virtual void stop() = 0;
    };
    using TraceFactory = std::function<std::unique_ptr<Trace>()>;

    struct Finished {
        RunId run = 0;
        std::string host;           // as configured
        std::string address;        // the address traced, as text
        std::int64_t startedMs = 0; // wall clock when the trace began
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

    void probed(const ProbeEvent& event) noexcept override;
    void runEnded(RunId run, std::int64_t atMs) noexcept override;

    // Ends every trace under way and waits for their threads; no trace starts after it.
    void stop();
    [[nodiscard]] bool tracing(const std::string& host) const;
    // Traces begun so far.
    [[nodiscard]] std::uint64_t started() const;

    // A numeric IPv4 or IPv6 address, as a run reports the one it probes.
    [[nodiscard]] static std::optional<IpAddress> parseAddress(const std::string& text);

private:
    struct Job {
        std::thread thread;
        std::unique_ptr<Trace> trace;
        std::atomic<bool> finished{false};
    };

    void begin(const ProbeEvent& event, const IpAddress& destination, std::uint32_t rounds);

    Done done_;
    TraceFactory factory_;
    std::function<std::int64_t()> clock_;
    std::atomic<std::uint32_t> rounds_{10};

    mutable std::mutex mutex_;
    bool stopping_ = false;
    std::uint64_t started_ = 0;
    std::map<std::string, std::unique_ptr<Job>> jobs_; // by host
    std::map<RunId, HostStatus> lastVerdict_;          // the run's last Good or Bad status
};
