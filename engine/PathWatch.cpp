#include "engine/PathWatch.h"

#include <pthread.h>

#include <cstdio>
#include <system_error>

namespace {

std::int64_t systemNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

PathWatch::PathWatch(RouteWatch::TraceFactory factory, std::function<std::int64_t()> clock)
    : factory_(std::move(factory)), clock_(std::move(clock)) {
    if (!factory_)
        factory_ = RouteWatch::tracerFactory();
    if (!clock_)
        clock_ = systemNowMs;
}

PathWatch::~PathWatch() {
    stop();
}

void PathWatch::addObserver(PathObserver& observer) {
    std::lock_guard lock(mutex_);
    observers_.push_back(&observer);
}

void PathWatch::watch(const std::string& host, Settings settings) {
    settings.intervalMs = std::max<std::uint32_t>(settings.intervalMs, 1);
    settings.rounds = std::max<std::uint32_t>(settings.rounds, 1);
    std::lock_guard lock(mutex_);
    wanted_[host] = settings;
    if (const auto path = paths_.find(host); path != paths_.end()) {
        // A shorter interval takes effect now, not after the longer one has passed.
        const Clock::time_point sooner = path->second.due -
                                         std::chrono::milliseconds(path->second.settings.intervalMs) +
                                         std::chrono::milliseconds(settings.intervalMs);
        path->second.due = std::min(path->second.due, sooner);
        path->second.settings = settings;
        wake_.notify_all();
    }
}

void PathWatch::unwatch(const std::string& host) {
    std::lock_guard lock(mutex_);
    wanted_.erase(host);
    forget(host);
}

void PathWatch::watchOnly(const std::map<std::string, Settings>& hosts) {
    std::vector<std::string> left;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [host, settings] : wanted_)
            if (!hosts.contains(host))
                left.push_back(host);
    }
    for (const std::string& host : left)
        unwatch(host);
    for (const auto& [host, settings] : hosts)
        watch(host, settings);
}

// Under mutex_. A trace under way is stopped; its thread finds the path gone and reports nothing.
void PathWatch::forget(const std::string& host) {
    const auto path = paths_.find(host);
    if (path == paths_.end())
        return;
    if (path->second.trace)
        path->second.trace->stop();
    paths_.erase(path);
}

void PathWatch::probed(const ProbeEvent& event) noexcept {
    std::lock_guard lock(mutex_);
    if (wanted_.empty() || stopping_)
        return; // the common case, a program that keeps no path: one look under the lock
    const auto wanted = wanted_.find(event.host);
    if (wanted == wanted_.end())
        return;
    const auto known = paths_.find(event.host);
    if (known != paths_.end() && known->second.address == event.address)
        return;
    const std::optional<IpAddress> destination = RouteWatch::parseAddress(event.address);
    if (!destination)
        return;
    runs_[event.run] = event.host;
    // A new address is a new path: what was learnt of the old one would make a false change.
    forget(event.host);
    Path& path = paths_[event.host];
    path.generation = ++generations_;
    path.address = event.address;
    path.destination = *destination;
    path.settings = wanted->second;
    path.due = Clock::now();
    addThreads();
    wake_.notify_all();
}

void PathWatch::runEnded(RunId run, std::int64_t) noexcept {
    std::lock_guard lock(mutex_);
    const auto found = runs_.find(run);
    if (found == runs_.end())
        return;
    forget(found->second);
    runs_.erase(found);
}

// Under mutex_: one thread per path up to kMostTraces, made by the caller's thread (the probing one).
void PathWatch::addThreads() {
    while (threads_.size() < std::min(paths_.size(), kMostTraces)) {
        try {
            threads_.emplace_back([this] { serve(); });
        } catch (const std::system_error& e) {
            // The threads there are take the paths in turn; with none, the next new path tries again.
            std::fprintf(stderr, "ostrevo: cannot start a path trace: %s\n", e.what());
            return;
        }
    }
}

std::map<std::string, PathWatch::Path>::iterator PathWatch::nextDue() {
    auto first = paths_.end();
    for (auto it = paths_.begin(); it != paths_.end(); ++it)
        if (!it->second.trace && (first == paths_.end() || it->second.due < first->second.due))
            first = it;
    return first;
}

void PathWatch::serve() {
    pthread_setname_np(pthread_self(), "ostrevo-path");
    std::unique_lock lock(mutex_);
    for (;;) {
        if (stopping_)
            return;
        const auto next = nextDue();
        if (next == paths_.end()) {
            wake_.wait(lock);
            continue;
        }
        const Clock::time_point started = Clock::now();
        if (next->second.due > started) {
            wake_.wait_until(lock, next->second.due);
            continue;
        }
        const std::string host = next->first;
        Path& path = next->second;
        if (!(path.trace = factory_())) {
            path.due = started + std::chrono::milliseconds(path.settings.intervalMs);
            continue;
        }
        const std::uint64_t generation = path.generation;
        const IpAddress destination = path.destination;
        const std::uint32_t rounds = path.settings.rounds;
        const std::shared_ptr<RouteWatch::Trace> trace = path.trace;
        PathTrace done;
        done.host = host;
        done.address = path.address;
        done.atMs = clock_();
        lock.unlock();
        std::string error;
        const RouteResult result = trace->run(destination, rounds, error);
        lock.lock();
        const auto still = paths_.find(host);
        if (still == paths_.end() || still->second.generation != generation) {
            continue; // forgotten meanwhile: forget() stopped the trace, and nobody wants what it found
        }
        still->second.trace.reset();
        // A trace that took longer than the interval is followed by the next one at once, never by a burst.
        still->second.due =
            std::max(started + std::chrono::milliseconds(still->second.settings.intervalMs), Clock::now());
        if (stopping_ || !error.empty())
            continue;
        done.hops = result.hops;
        done.reached = result.reached;
        std::optional<RouteChange> change = still->second.detector.feed(done.hops, done.atMs);
        if (change) {
            change->host = host;
            change->address = done.address;
        }
        ++traced_;
        const std::vector<PathObserver*> observers = observers_;
        lock.unlock();
        // Told outside the lock: whoever hears it may ask the watch something.
        for (PathObserver* observer : observers) {
            observer->pathTraced(done);
            if (change)
                observer->routeChanged(*change);
        }
        lock.lock();
        wake_.notify_all();
    }
}

void PathWatch::stop() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (auto& [host, path] : paths_)
            if (path.trace)
                path.trace->stop();
        threads.swap(threads_);
    }
    wake_.notify_all();
    for (std::thread& thread : threads)
        thread.join();
}

std::uint64_t PathWatch::traced() const {
    std::lock_guard lock(mutex_);
    return traced_;
}

bool PathWatch::watching(const std::string& host) const {
    std::lock_guard lock(mutex_);
    return paths_.contains(host);
}
