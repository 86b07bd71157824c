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
};
