#pragma once

#include <cstdint>

#include "engine/RunSettings.h"
#include "types/HostStatus.h"
#include "types/ProbeEvent.h"

enum class AlertEdge : std::uint8_t { StartResponding, StopResponding };

// Sound and alert application on a Good/Bad edge. Called on the probing thread after the status has changed;
// `settings` are the run's, `event` the probe that led to `current`.
class AlertSink {
public:
    virtual ~AlertSink() = default;
    virtual void raiseAlert(const AlertSettings& settings, AlertEdge edge, HostStatus current,
                            const ProbeEvent& event) = 0;

    // The run's first Good/Bad verdict is Bad: the host was down before monitoring began. That is no edge, so
    // the sound and the alert application stay quiet, but the user still wants to hear of it.
    virtual void reportDownAtStart(const AlertSettings& settings, HostStatus current, const ProbeEvent& event) = 0;
};
