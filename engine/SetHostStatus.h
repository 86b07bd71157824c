#pragma once

#include <string>

#include "engine/AppState.h"
#include "engine/HostStatus.h"
#include "engine/WindowPort.h"

// The one way the host status changes: the worker calls it on every move of the analysis, the window thread
// once at the end of a run with N/A. It does not compare with the previous status. With `logChange` (a
// move during a run at log level 1) the reply line now shown goes to the log with the new status.
void setHostStatus(AppState& state, WindowPort& window, HostStatus status, const std::string& statusLine,
                   bool logChange);
