#include "engine/SetHostStatus.h"

void setHostStatus(AppState& state, const Settings& settings, WindowPort& window, HostStatus status,
                   const std::string& statusLine) {
    state.currentStatus.store(status);
    window.showStatusIcon(status);
    if (state.running.load() && settings.logLevel == LogLevel::StatusChanges)
        window.postLog(status, statusLine);
}
