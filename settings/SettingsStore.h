#pragma once

#include <functional>

#include "settings/Settings.h"

// Loads every field from the per-user store with the store's normalisation rules, reading the file once. A
// missing, unreadable or garbled value gives the field's default. `afterLogFileName` runs right after
// LogFileName has been read and before SndStart, so that the log can be opened with the stored LogLevel,
// LogAppend and LogFileName.
void loadSettings(Settings& s, const std::function<void()>& afterLogFileName = {});

// Writes every field back and replaces the file once, whole. An empty Host or RecentList leaves the stored
// one in place; an empty path or parameter text is stored empty. A save that fails says so on stderr, keeps
// the previous file and gives false.
bool saveSettings(const Settings& s);
