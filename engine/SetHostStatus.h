#pragma once

#include <string>

#include "engine/AppState.h"
#include "engine/HostStatus.h"
#include "engine/WindowPort.h"
#include "settings/Settings.h"

// The one way the host status changes: the worker calls it on every move of the analysis, the window thread
// once at the end of a run with N/A (Running already false, so that change is not logged). It does not
// compare with the previous status. `statusLine` is the reply line now shown, copied into the log record
// at log level 1 during a run.
void setHostStatus(AppState& state, const Settings& settings, WindowPort& window, HostStatus status,
                   const std::string& statusLine);
