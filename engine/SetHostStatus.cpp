#include "engine/SetHostStatus.h"

void SetHostStatus(AppState& state, const Settings& settings, WindowPort& window, HostStatus status,
                   const std::string& statusLine) {
    state.CurrentStatus.store(status);
    window.showStatusIcon(status);
    if (state.Running.load() && settings.LogLevel.load() == 1)
        window.postLog(status, statusLine);
}
