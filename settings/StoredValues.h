#pragma once

#include <string>

// The per-user store of named text values and the program's version text.

// Key of the program's settings. Maps to the QSettings file "Quorvan Corporation/Ostrevo.conf" under the
// user's configuration directory.
inline constexpr const char* SettingsKey = "Software\\Quorvan Corporation\\Ostrevo";

// The value's text, or the empty text when the store, the value or the file cannot be read. Never creates
// anything. A value of any length reads back whole.
[[nodiscard]] std::string readStoredValue(const std::string& keyPath, const std::string& valueName);

// Stores the text under the value name, creating the file and its folders when missing. Bytes that are
// valid UTF-8 are kept as text; any other byte string is kept as raw bytes so that it reads back unchanged.
// A store that cannot be written is silently left as it was.
void writeStoredValue(const std::string& keyPath, const std::string& valueName, const std::string& text);

// The version embedded in the named executable: this program's own version for its own file, "1.0.0.0"
// for any other file.
[[nodiscard]] std::string fileVersionString(const std::string& fileName);
