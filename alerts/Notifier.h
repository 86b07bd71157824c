#pragma once

#include <string>

#include "types/HostStatus.h"
#include "types/ProbeEvent.h"

// Tells the desktop that the host stopped or started responding, or was down when the run began. Called on
// the worker thread: notify() must return at once, whatever the desktop does with it.
class Notifier {
public:
    virtual ~Notifier() = default;
    // `run` the run that judged, `host` as the user typed it, `status` the new one, `text` the reply line or
    // error of that probe. A run's end may withdraw what its notifications showed.
    virtual void notify(RunId run, const std::string& host, HostStatus status, const std::string& text) = 0;
};
