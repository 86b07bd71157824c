#include "metrics/MetricsObserver.h"

#include "metrics/MetricsRegistry.h"

#include <chrono>
#include <new>

void MetricsObserver::probed(const ProbeEvent& event) noexcept {
    try {
        std::optional<std::chrono::microseconds> rtt;
        if (event.rttUs)
            rtt = std::chrono::microseconds(*event.rttUs);
        const std::lock_guard lock(mutex_);
        auto [known, added] = runs_.try_emplace(event.run);
        Target& target = known->second;
        if (added || target.host != event.host || target.address != event.address) {
            Target next{event.host, event.address, labeller_ ? labeller_(event.run) : std::string()};
            registry_.hold(next.host, next.address, next.labels);
            // The run now probes another host or address (started again with other settings, or the name
            // resolves elsewhere): unless another run probes it, the old pair is judged by nobody.
            if (!added)
                registry_.release(target.host, target.address, target.labels);
            target = std::move(next);
        }
        registry_.recordProbe(target.host, target.address, rtt, event.status, event.ttl, target.labels);
        registry_.setHostStatus(target.host, target.address, event.hostStatus, target.labels);
    } catch (const std::bad_alloc&) {
        // A figure missed for want of memory must not end the program that is watching the host.
    }
}

void MetricsObserver::runEnded(RunId run, std::int64_t) noexcept {
    try {
        const std::lock_guard lock(mutex_);
        const auto found = runs_.find(run);
        if (found == runs_.end())
            return; // no probe of its own: nothing of another run's is touched
        const Target target = std::move(found->second);
        runs_.erase(found);
        registry_.release(target.host, target.address, target.labels);
    } catch (const std::bad_alloc&) {
    }
}

void MetricsObserver::pathTraced(const PathTrace& trace) noexcept {
    try {
        std::optional<std::uint32_t> hops;
        if (trace.reached && !trace.hops.empty())
            hops = trace.hops.back().number;
        registry_.setRouteHops(trace.host, trace.address, hops);
    } catch (const std::bad_alloc&) {
    }
}

void MetricsObserver::routeChanged(const RouteChange& change) noexcept {
    try {
        registry_.countRouteChange(change.host, change.address);
    } catch (const std::bad_alloc&) {
    }
}
