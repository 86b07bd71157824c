#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "settings/Settings.h"
#include "settings/SettingsStore.h"

// The watched hosts beside the main one. The main host keeps today's keys; the others live in the same file
// as the array "Hosts" ("Hosts/size", "Hosts/1/Host", "Hosts/1/Buffer" ...) with the per-host fields' keys
// and value spellings, and each has a "Running" key, as the main host has a top-level one, so that a watch
// list survives a restart. A file without any of them reads as an empty list with nothing running.
struct StoredHost {
    Settings settings; // the per-host fields; the program-wide ones keep their defaults
    bool running = false;

    bool operator==(const StoredHost&) const = default;
};

struct StoredHostList {
    bool mainRunning = false;
    std::vector<StoredHost> hosts; // the other hosts, in the order they are listed

    bool operator==(const StoredHostList&) const = default;
};

// A hand-edited size beyond this is taken for this many: the array is read in one go at start-up.
inline constexpr std::size_t kMaxStoredHosts = 10000;

// Reads the list; `read`, when given, receives the stored texts of its keys as they were (the same map the
// settings' load fills, so one save can tell what this instance changed).
void loadHostList(StoredHostList& list, StoredTexts* read = nullptr);

// Writes what differs from `known`, merged into the file as it is now, in one replacement: entries past the
// end of a shorter list are removed. The main host's Running is written only when it differs from what the
// file said (a file without it says "not running"), and a file that never had other hosts gets no "Hosts"
// until there are some, so files that never used several hosts stay as they were. Nothing changed: the file
// is not touched.
bool saveChangedHostList(const StoredHostList& list, StoredTexts& known);

// The per-host fields of `from` into `to`; the program-wide ones of `to` stay.
void copyHostFields(const Settings& from, Settings& to);

// "Hosts/<index>/<key>", index from 1 as QSettings numbers array entries.
[[nodiscard]] std::string hostKey(std::size_t index, std::string_view key);
