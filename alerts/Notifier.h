#pragma once

#include <string>

#include "types/HostStatus.h"

// Tells the desktop that the host stopped or started responding, or was down when the run began. Called on
// the worker thread: notify() must return at once, whatever the desktop does with it.
class Notifier {
public:
    virtual ~Notifier() = default;
    // `host` as the user typed it, `status` the new one, `text` the reply line or error of that probe.
    virtual void notify(const std::string& host, HostStatus status, const std::string& text) = 0;
};
