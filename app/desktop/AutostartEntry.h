#pragma once

#include <QString>

// The per-user XDG autostart entry that starts the program with the desktop session, in the tray:
// $XDG_CONFIG_HOME/autostart/ostrevo.desktop (~/.config/autostart/ when the variable is unset or relative).
namespace AutostartEntry {

// Empty when HOME is unset, empty or relative and XDG_CONFIG_HOME gives no folder either: there is then no
// entry, and none is written.
[[nodiscard]] QString path();
[[nodiscard]] bool exists();

// The Exec line for `program`, the running binary's path: plain "ostrevo" when that is the ostrevo found
// on PATH (an installed program keeps working across upgrades), else the path itself, quoted as the desktop
// entry format asks, so that a program started from its build folder comes back from there.
[[nodiscard]] QString execLine(const QString& program);

// Each gives an empty text on success, else a sentence for the user naming the file and the reason.
[[nodiscard]] QString install(const QString& program);
// Removing an entry that is not there succeeds.
[[nodiscard]] QString remove();

} // namespace AutostartEntry
