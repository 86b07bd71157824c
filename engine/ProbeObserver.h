#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

// One finished probe, for whoever keeps a record of them (history, metrics).
struct ProbeEvent {
    std::int64_t unixMs = 0;            // wall clock when the request went out
    std::string host;                   // as configured
    std::string address;                // the probed address, dotted
    std::optional<std::uint32_t> rttUs; // round trip of a good reply
    std::uint32_t status = 0;           // IP status code: 0 a good reply, else why not (11010 timed out ...)
    std::optional<std::uint8_t> ttl;    // time to live of a good reply
    std::uint8_t hostStatus = 0;        // the host status once this probe is analysed (HostStatus numbers)

    bool operator==(const ProbeEvent&) const = default;
};

void PrintTo(const ProbeEvent& event, std::ostream* os);

// Told of every probe, on the worker thread, right after the probe's outcome is known and analysed. It must
// return at once (hand the event to its own thread or queue): the worker's timing depends on it.
class ProbeObserver {
public:
    virtual ~ProbeObserver() = default;
    virtual void probed(const ProbeEvent& event) noexcept = 0;
    // The run whose probes it was told of has ended (stopped, replaced by a new start, or the worker quit):
    // nothing judges the host until the next run's probes.
    virtual void runFinished() noexcept {}
};
