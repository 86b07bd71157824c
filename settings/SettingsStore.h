#pragma once

#include <functional>

#include "settings/Settings.h"
#include "settings/StoredTexts.h"

// Loads every field from the per-user store with the store's normalisation rules, reading the file once. A
// missing, unreadable or garbled value gives the field's default. `afterLogFileName` runs right after
// LogFileName has been read and before SndStart, so that the log can be opened with the stored LogLevel,
// LogAppend and LogFileName. `read`, when given, receives the stored texts as they were.
void loadSettings(Settings& s, const std::function<void()>& afterLogFileName = {}, StoredTexts* read = nullptr);

// Writes every field back and replaces the file once, whole. An empty Host or RecentList leaves the stored
// one in place; an empty path or parameter text is stored empty. A save that fails says so on stderr, keeps
// the previous file and gives false.
bool saveSettings(const Settings& s);

// Writes only the fields whose text differs from what `known` says the file held (a value that start-up
// normalised, or one the file lacked, counts as changed), merged into the file as it is at this moment, in
// one replacement under the store's lock; keys written are then known as written. The empty Host and
// RecentList rule holds as above. Nothing changed: the file is not touched.
bool saveChangedSettings(const Settings& s, StoredTexts& known);
