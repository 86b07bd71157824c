#include "engine/SetHostStatus.h"

void setHostStatus(AppState& state, WindowPort& window, HostStatus status, const std::string& statusLine,
                   bool logChange) {
    state.currentStatus.store(status);
    window.showStatusIcon(status);
    if (logChange)
        window.postLog(status, statusLine);
}
