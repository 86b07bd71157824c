#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/HostListStore.h"
#include "settings/KeyValueStore.h"

// The "Hosts" array as a store holds it, before the rules of its fields are applied: what the merge of two
// instances' lists works on, so that an entry nobody changed is carried over to the letter.

// The keys of one entry below "Hosts/<n>/" ("Host", "Buffer", "Running" ...), with their texts.
using StoredEntry = std::map<std::string, std::string, std::less<>>;

struct StoredEntries {
    std::optional<std::string> sizeText; // "Hosts/size" as stored; none when missing
    bool sizeIsNumber = false;
    std::vector<StoredEntry> listed;          // the entries of the list, in order
    std::size_t listedSlots = 0;              // the highest index that belongs to the list
    std::map<std::size_t, StoredEntry> slots; // every entry key the store holds, by index, listed or not
};

// A number "Hosts/size" is the list's length (at most kMaxStoredHosts), entries it lacks reading as empty
// ones; any other size, or none, lists every entry the store holds, in the order of their indices.
[[nodiscard]] StoredEntries readEntries(const KeyValueReader& store);

[[nodiscard]] StoredHost parseEntry(const StoredEntry& entry);
// Every per-host key and Running, an empty one too.
[[nodiscard]] StoredEntry renderEntry(const StoredHost& host);
// The host of an entry as the program watches it; empty for none.
[[nodiscard]] std::string entryHost(const StoredEntry& entry);

// Which entries are watched: every entry with a host, but one whose host is the main host's or an earlier
// entry's. `repeated`, when given, is called for each repeat, with its index from 0 and the index of the one
// it repeats (none for the main host).
[[nodiscard]] std::vector<bool>
watchedEntries(const std::vector<StoredEntry>& entries, std::string_view mainHost,
               const std::function<void(std::size_t, std::optional<std::size_t>)>& repeated = {});
