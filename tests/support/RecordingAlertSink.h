#pragma once

#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "engine/AlertSink.h"

struct RaisedAlert {
    AlertEdge edge = AlertEdge::StartResponding;
    HostStatus current = HostStatus::NA;
    std::string statusLine;        // the probe's reply line
    std::uint32_t replyStatus = 0; // IP status code of the probe that led to the edge

    bool operator==(const RaisedAlert&) const = default;
};

void PrintTo(const RaisedAlert& a, std::ostream* os);

// Records every alert the analysis raises. Thread-safe.
class RecordingAlertSink : public AlertSink {
public:
    void raiseAlert(const AlertSettings& settings, AlertEdge edge, HostStatus current,
                    const ProbeEvent& event) override;
    void reportDownAtStart(const AlertSettings& settings, HostStatus current, const ProbeEvent& event) override;
    [[nodiscard]] std::vector<RaisedAlert> alerts() const;
    // The status lines of the runs reported down at start, kept apart from the edges.
    [[nodiscard]] std::vector<std::string> downAtStart() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<RaisedAlert> alerts_;
    std::vector<std::string> downAtStart_;
};
