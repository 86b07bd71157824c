#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "settings/KeyValueStore.h"
#include "settings/Settings.h"
#include "settings/StoredTexts.h"

// The watched hosts beside the main one, in the same file as the main host's keys: the array "Hosts"
// ("Hosts/size", "Hosts/1/Host", "Hosts/1/Buffer" ...) with the per-host fields' keys and value spellings,
// and a "Running" key in each entry, so that a watch list survives a restart. The main host has no such key:
// it starts only when the command line asks. A file without any of them reads as an empty list.
struct StoredHost {
    Settings settings; // the per-host fields; the program-wide ones keep their defaults
    bool running = false;

    bool operator==(const StoredHost&) const = default;
};

struct StoredHostList {
    std::vector<StoredHost> hosts; // the other hosts, in the order they are listed

    bool operator==(const StoredHostList&) const = default;
};

// A hand-edited size beyond this is taken for this many: the array is read in one go at start-up.
inline constexpr std::size_t kMaxStoredHosts = 10000;

// Reads the hosts to watch. An entry whose host is the main host's or an earlier entry's is left out, and a
// line on stderr names it; one without a host is read as it is (there is nothing to watch in it). A size that
// is not a number lists the entries the file holds, and says so. `read`, when given, receives the stored
// texts of the array's keys, which the next save needs to tell what this instance changed.
void readHostList(const KeyValueReader& store, StoredHostList& list, StoredTexts* read = nullptr);

// Merges `list` into what `store` holds now by each host's identity (see mergeEntries) and commits the keys
// that differ, in one replacement: entries past the end of a shorter list are removed, a top-level "Running"
// left by older versions too. A file that never had other hosts gets no "Hosts" until there are some, so
// files that never used several hosts stay as they were. Nothing changed: the store is not touched.
// `known` holds what this instance's list came from (what readHostList gave it, then what its saves made of
// it) and is brought up to date; false when the commit failed, `known` then staying as it was.
bool writeHostList(KeyValueStore& store, const StoredHostList& list, StoredTexts& known);

// The per-host fields of `from` into `to`; the program-wide ones of `to` stay.
void copyHostFields(const Settings& from, Settings& to);

// "Hosts/<index>/<key>", index from 1 as QSettings numbers array entries.
[[nodiscard]] std::string hostKey(std::size_t index, std::string_view key);
