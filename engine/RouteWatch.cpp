#include "engine/RouteWatch.h"

#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <system_error>
#include <vector>

#include "engine/RouteTracer.h"

namespace {

class TracerTrace : public RouteWatch::Trace {
public:
    explicit TracerTrace(const RouteTracer::Options& pace) : pace_(pace) {}
    RouteResult run(const IpAddress& destination, std::uint32_t rounds, std::string& error) override {
        if (!tracer_.open(destination.family)) {
            error = tracer_.error();
            return RouteResult{destination, 0, {}, false, std::nullopt};
        }
        RouteTracer::Options options = pace_;
        options.rounds = rounds;
        RouteResult result = tracer_.trace(destination, options);
        error = tracer_.error();
        return result;
    }
    void stop() override { tracer_.stop(); }

private:
    RouteTracer::Options pace_;
    RouteTracer tracer_;
};

std::int64_t systemNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

RouteWatch::RouteWatch(Done done, TraceFactory factory, std::function<std::int64_t()> clock)
    : done_(std::move(done)), factory_(std::move(factory)), clock_(std::move(clock)) {
    if (!factory_)
        factory_ = tracerFactory();
    if (!clock_)
        clock_ = systemNowMs;
}

RouteWatch::~RouteWatch() {
    stop();
}

RouteWatch::TraceFactory RouteWatch::tracerFactory(RouteTracer::Options pace) {
    return [pace] { return std::make_unique<TracerTrace>(pace); };
}

std::optional<IpAddress> RouteWatch::parseAddress(const std::string& text) {
    return IpAddress::parse(text);
}

void RouteWatch::probed(const ProbeEvent& event) noexcept {
    std::lock_guard lock(mutex_);
    const auto [latest, added] = latest_.try_emplace(event.run, event.hostStatus);
    // Every entry into Bad: from Good, from Average on a lossy link, from N/A for a host down at its start.
    const bool entered = event.hostStatus == HostStatus::Bad && (added || latest->second != HostStatus::Bad);
    latest->second = event.hostStatus;
    if (!entered || stopping_ || jobs_.contains(event.run))
        return; // one trace per run: the one waiting or under way speaks for this edge too
    const std::uint32_t rounds = roundsOf_ ? roundsOf_(event.run) : rounds_.load();
    if (rounds == 0)
        return;
    const std::optional<IpAddress> destination = parseAddress(event.address);
    if (!destination)
        return;
    Job job;
    job.finished.run = event.run;
    job.finished.host = event.host;
    job.finished.address = event.address;
    job.destination = *destination;
    job.rounds = rounds;
    jobs_.emplace(event.run, std::move(job));
    waiting_.push_back(event.run);
    dispatch();
}

// Gives the waiting traces their turn while fewer than kMostTraces have one, under the lock, so that a trace
// with a free place begins at once and only one that truly waited can be passed over.
void RouteWatch::dispatch() {
    while (busy_ < kMostTraces && !waiting_.empty()) {
        const RunId run = waiting_.front();
        waiting_.pop_front();
        const auto job = jobs_.find(run);
        if (job == jobs_.end())
            continue;
        // Recovered, or stopped (its run ended), before its turn: nothing to trace any more.
        const auto latest = latest_.find(run);
        if (latest == latest_.end() || latest->second != HostStatus::Bad || !(job->second.trace = factory_())) {
            jobs_.erase(job);
            continue;
        }
        job->second.finished.startedMs = clock_();
        ++busy_;
        ++started_;
        ready_.push_back(run);
    }
    // A thread for each trace with a turn, up to kMostTraces; made from the caller's thread, so that a trace
    // runs in the network namespace of the runs it serves.
    while (threads_.size() < busy_) {
        try {
            threads_.emplace_back([this] { serve(); });
        } catch (const std::system_error& e) {
            // The threads there are take the traces in turn; with none, the next edge tries again.
            std::fprintf(stderr, "ostrevo: cannot start a route trace: %s\n", e.what());
            break;
        }
    }
    wake_.notify_all();
}

void RouteWatch::serve() {
    pthread_setname_np(pthread_self(), "ostrevo-route");
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !ready_.empty(); });
        if (stopping_)
            return;
        const RunId run = ready_.front();
        ready_.pop_front();
        Job& job = jobs_.at(run);
        Trace& trace = *job.trace;
        Finished finished = job.finished;
        const IpAddress destination = job.destination;
        const std::uint32_t rounds = job.rounds;
        lock.unlock();
        finished.result = trace.run(destination, rounds, finished.error);
        lock.lock();
        const bool report = !stopping_;
        const auto verdict = latest_.find(run);
        finished.stillBad = verdict != latest_.end() && verdict->second == HostStatus::Bad;
        // stop() reaches the trace only through the map, under the lock: it may go once it is out of there.
        std::unique_ptr<Trace> ended = std::move(jobs_.at(run).trace);
        jobs_.erase(run);
        --busy_;
        if (!stopping_)
            dispatch();
        lock.unlock();
        ended.reset();
        // Told outside the lock: whoever hears it may ask the watch something.
        if (report && done_)
            done_(finished);
        lock.lock();
    }
}

void RouteWatch::runEnded(RunId run, std::int64_t) noexcept {
    std::lock_guard lock(mutex_);
    latest_.erase(run);
}

void RouteWatch::stop() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        waiting_.clear();
        ready_.clear();
        for (auto& [run, job] : jobs_)
            if (job.trace)
                job.trace->stop();
        threads.swap(threads_);
    }
    wake_.notify_all();
    for (std::thread& thread : threads)
        thread.join();
    std::lock_guard lock(mutex_);
    jobs_.clear();
}

bool RouteWatch::tracing(const std::string& host) const {
    std::lock_guard lock(mutex_);
    for (const auto& [run, job] : jobs_)
        if (job.finished.host == host)
            return true;
    return false;
}

std::uint64_t RouteWatch::started() const {
    std::lock_guard lock(mutex_);
    return started_;
}
