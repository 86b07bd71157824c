#pragma once

#include <cstdint>
#include <string>

#include "engine/EchoReply.h"
#include "engine/HostStatus.h"
#include "engine/RunSettings.h"

enum class AlertEdge : std::uint8_t { StartResponding, StopResponding };

// Sound and alert application on a Good/Bad edge. Called on the worker thread inside the probe cycle,
// after the status has changed; `settings` are the run's, `statusLine` is the reply line of that cycle.
class AlertSink {
public:
    virtual ~AlertSink() = default;
    virtual void raiseAlert(const AlertSettings& settings, AlertEdge edge, HostStatus current,
                            const std::string& statusLine, const ReplyArea& area) = 0;

    // The run's first Good/Bad verdict is Bad: the host was down before monitoring began. That is no edge, so
    // the sound and the alert application stay quiet, but the user still wants to hear of it.
    virtual void reportDownAtStart(const AlertSettings& settings, HostStatus current,
                                   const std::string& statusLine) = 0;
};
