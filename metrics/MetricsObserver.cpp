#include "metrics/MetricsObserver.h"

#include "metrics/MetricsRegistry.h"

#include <chrono>
#include <new>

void MetricsObserver::probed(const ProbeEvent& event) noexcept {
    try {
        std::optional<std::chrono::microseconds> rtt;
        if (event.rttUs)
            rtt = std::chrono::microseconds(*event.rttUs);
        registry_.recordProbe(event.host, event.address, rtt, event.status, event.ttl);
        registry_.setHostStatus(event.host, event.address, event.hostStatus);
        if (host_ != event.host || address_ != event.address) {
            host_ = event.host;
            address_ = event.address;
        }
        probedThisRun_ = true;
    } catch (const std::bad_alloc&) {
        // A figure missed for want of memory must not end the program that is watching the host.
    }
}

void MetricsObserver::runEnded(RunId, std::int64_t) noexcept {
    if (!probedThisRun_)
        return;
    probedThisRun_ = false;
    try {
        registry_.setHostStatus(host_, address_, HostStatus::NA);
    } catch (const std::bad_alloc&) {
    }
}
