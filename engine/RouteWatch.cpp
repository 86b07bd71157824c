#include "engine/RouteWatch.h"

#include <chrono>
#include <cstdio>
#include <system_error>
#include <vector>

#include "engine/RouteTracer.h"

namespace {

class TracerTrace : public RouteWatch::Trace {
public:
    RouteResult run(const IpAddress& destination, std::uint32_t rounds, std::string& error) override {
        if (!tracer_.open(destination.family)) {
            error = tracer_.error();
            return RouteResult{destination, 0, {}, false, std::nullopt};
        }
        RouteTracer::Options options;
        options.rounds = rounds;
        RouteResult result = tracer_.trace(destination, options);
        error = tracer_.error();
        return result;
    }
    void stop() override { tracer_.stop(); }

private:
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
        factory_ = [] { return std::make_unique<TracerTrace>(); };
    if (!clock_)
        clock_ = systemNowMs;
}

RouteWatch::~RouteWatch() {
    stop();
}

std::optional<IpAddress> RouteWatch::parseAddress(const std::string& text) {
    return IpAddress::parse(text);
}

void RouteWatch::probed(const ProbeEvent& event) noexcept {
    if (event.hostStatus != HostStatus::Good && event.hostStatus != HostStatus::Bad)
        return;
    std::lock_guard lock(mutex_);
    const auto [last, added] = lastVerdict_.try_emplace(event.run, event.hostStatus);
    // As the alerts see it: from Good to Bad, through Average or not; a run that begins Bad is no edge.
    const bool edge = !added && last->second == HostStatus::Good && event.hostStatus == HostStatus::Bad;
    last->second = event.hostStatus;
    const std::uint32_t rounds = rounds_.load();
    if (!edge || rounds == 0 || stopping_)
        return;
    const std::optional<IpAddress> destination = parseAddress(event.address);
    if (!destination)
        return;
    begin(event, *destination, rounds);
}

void RouteWatch::begin(const ProbeEvent& event, const IpAddress& destination, std::uint32_t rounds) {
    auto found = jobs_.find(event.host);
    if (found != jobs_.end()) {
        if (!found->second->finished.load())
            return; // one trace per host: the one under way speaks for this edge too
        // Its thread has nothing left but to return.
        found->second->thread.join();
        jobs_.erase(found);
    }
    auto job = std::make_unique<Job>();
    job->trace = factory_();
    if (!job->trace)
        return;
    Job* raw = job.get();
    Finished finished;
    finished.run = event.run;
    finished.host = event.host;
    finished.address = event.address;
    finished.startedMs = clock_();
    try {
        job->thread = std::thread([this, raw, destination, rounds, finished = std::move(finished)]() mutable {
            finished.result = raw->trace->run(destination, rounds, finished.error);
            bool report = false;
            {
                std::lock_guard lock(mutex_);
                report = !stopping_;
                const auto verdict = lastVerdict_.find(finished.run);
                finished.stillBad = verdict != lastVerdict_.end() && verdict->second == HostStatus::Bad;
            }
            // Told outside the lock: whoever hears it may ask the watch something.
            if (report && done_)
                done_(finished);
            raw->finished.store(true);
        });
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "ostrevo: cannot start a route trace: %s\n", e.what());
        return;
    }
    ++started_;
    jobs_.emplace(event.host, std::move(job));
}

void RouteWatch::runEnded(RunId run, std::int64_t) noexcept {
    std::lock_guard lock(mutex_);
    lastVerdict_.erase(run);
}

void RouteWatch::stop() {
    std::map<std::string, std::unique_ptr<Job>> jobs;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        jobs.swap(jobs_);
        for (auto& [host, job] : jobs)
            job->trace->stop();
    }
    for (auto& [host, job] : jobs)
        if (job->thread.joinable())
            job->thread.join();
}

bool RouteWatch::tracing(const std::string& host) const {
    std::lock_guard lock(mutex_);
    const auto found = jobs_.find(host);
    return found != jobs_.end() && !found->second->finished.load();
}

std::uint64_t RouteWatch::started() const {
    std::lock_guard lock(mutex_);
    return started_;
}
