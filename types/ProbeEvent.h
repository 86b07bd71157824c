#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "types/HostStatus.h"

// Which run a report belongs to. Runs are numbered from 1 in the order they start; 0 is no run.
using RunId = std::uint32_t;

// How a run ended: stopped on request, or it could not begin because no echo handle opened.
enum class RunEnd : std::uint8_t { Stopped, ChannelFailed };

// A run's figures since its start or the last reset. The millisecond figures and the counters keep the
// window's arithmetic (32-bit counters and sum that wrap, whole milliseconds); the microsecond ones are exact.
struct RunStatistics {
    std::uint32_t requests = 0;
    std::uint32_t lost = 0;
    std::uint32_t minMs = 0xFFFFFFFFu; // no reply yet: the largest value
    std::uint32_t maxMs = 0;
    std::uint32_t avgMs = 0;
    std::uint32_t minUs = 0;
    std::uint32_t maxUs = 0;
    std::uint32_t avgUs = 0;

    [[nodiscard]] std::uint32_t replies() const { return requests - lost; }
    bool operator==(const RunStatistics&) const = default;
};

// How the data a good reply echoed differs from what its request carried. Such a reply still counts as one;
// only the console says so, as ping does.
struct WrongData {
    std::uint32_t offset = 0; // the first byte that differs, or where the shorter of the two ends
    std::uint8_t sent = 0;    // that byte as sent and as echoed; both 0 when only the sizes differ
    std::uint8_t echoed = 0;
    std::int32_t sizeDifference = 0; // echoed bytes minus sent ones
    bool bytesDiffer = false;        // a byte within both differs (else only the sizes do)

    bool operator==(const WrongData&) const = default;
};

// One finished probe of a run, told after its analysis to the run's face (window or console) and observers.
struct ProbeEvent {
    RunId run = 0;
    std::int64_t unixMs = 0;                // wall clock when the request went out
    std::uint64_t request = 0;              // the run's number of that request, from 1 in send order; 0: untold
    std::string host;                       // as configured
    std::string address;                    // the probed address as text
    std::string replier;                    // who answered: the host, or a router reporting an error; empty for none
    std::uint32_t status = 0;               // IP status code: 0 a good reply, else why not (11010 timed out ...)
    std::uint32_t bytes = 0;                // echoed data of a good reply
    std::uint32_t rttMs = 0;                // whole milliseconds, as the window shows them
    std::optional<std::uint32_t> rttUs;     // round trip of a good reply
    std::optional<std::uint8_t> ttl;        // time to live of a good reply
    std::optional<WrongData> wrongData;     // a good reply whose data differs from what was sent
    RunStatistics stats;                    // the run's figures with this probe counted
    HostStatus hostStatus = HostStatus::NA; // once this probe is analysed
    bool statusChanged = false;             // this probe moved the host status

    [[nodiscard]] bool answered() const { return !replier.empty(); }
    [[nodiscard]] bool good() const { return answered() && status == 0; }
    bool operator==(const ProbeEvent&) const = default;
};

inline void PrintTo(const ProbeEvent& e, std::ostream* os) {
    *os << "{run " << e.run << " at " << e.unixMs << " ms, host \"" << e.host << "\", address " << e.address
        << ", status " << e.status;
    if (!e.replier.empty())
        *os << " from " << e.replier;
    if (e.rttUs)
        *os << ", rtt " << *e.rttUs << " us";
    if (e.ttl)
        *os << ", ttl " << unsigned{*e.ttl};
    if (e.wrongData)
        *os << ", wrong data";
    *os << ", host status " << e.hostStatus << (e.statusChanged ? " (changed)" : "") << '}';
}
