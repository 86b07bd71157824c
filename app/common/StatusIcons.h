#pragma once

#include <QIcon>

#include "types/HostStatus.h"

// The traffic-light icons, looked up by their resource names ("MAINICON", "MAINICONR", "MAINICONY",
// "MAINICONG"; the small ones with "SMALL" appended).
namespace StatusIcons {
[[nodiscard]] QString largeName(HostStatus status);
[[nodiscard]] QString smallName(HostStatus status);
[[nodiscard]] QIcon large(HostStatus status); // 32 x 32 (and 2x), the application/window icon
[[nodiscard]] QIcon small(HostStatus status); // 16 x 16 (and 2x), the tray icon
} // namespace StatusIcons
