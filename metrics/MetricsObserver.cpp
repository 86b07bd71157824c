#include "metrics/MetricsObserver.h"

#include "metrics/MetricsRegistry.h"

#include <algorithm>
#include <chrono>
#include <new>

void MetricsObserver::release(RunId run, const Target& target) {
    const bool shared = std::any_of(runs_.begin(), runs_.end(),
                                    [&](const auto& other) { return other.first != run && other.second == target; });
    if (!shared)
        registry_.setHostStatus(target.host, target.address, HostStatus::NA);
}

void MetricsObserver::probed(const ProbeEvent& event) noexcept {
    try {
        std::optional<std::chrono::microseconds> rtt;
        if (event.rttUs)
            rtt = std::chrono::microseconds(*event.rttUs);
        const std::lock_guard lock(mutex_);
        auto [known, added] = runs_.try_emplace(event.run);
        Target& target = known->second;
        // The run now probes another host (it was started again with other settings): the old one is
        // judged by nobody. Another address of the same host the registry handles itself.
        if (!added && target.host != event.host)
            release(event.run, target);
        registry_.recordProbe(event.host, event.address, rtt, event.status, event.ttl);
        registry_.setHostStatus(event.host, event.address, event.hostStatus);
        if (target.host != event.host || target.address != event.address)
            target = Target{event.host, event.address};
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
        release(run, target);
    } catch (const std::bad_alloc&) {
    }
}
