#pragma once

#include <string_view>
#include <vector>

#include "settings/HostListEntries.h"

// Two instances may keep one file, each saving its own list: an entry is matched by its host (see
// HostIdentity; the second of two entries for one host matches the other list's second), never by its place.
// `mine` is the list this instance wants, `base` the entries that list came from (what this instance last
// read, or wrote and knows), `theirs` what the file holds now. What one side changed since `base` is kept,
// key by key, so neither side loses the other's addition, edit or removal; where one side edited an entry
// that the other removed, the edit wins (starting or stopping a host is no edit here). Entries that are not
// watched (repeats and entries without a host, see watchedEntries) stay as they are until this instance
// changes the list itself. The order is `mine`'s, with entries only the file has placed after the entry
// they follow in it (at the end when this instance lists none of those).
struct MergedEntries {
    std::vector<StoredEntry> entries;
    // Per entry: this instance knows it (it lists it, or holds it unwatched). The others are new to it, and
    // its next save takes them for additions made elsewhere, never for entries it removed.
    std::vector<bool> known;
};
[[nodiscard]] MergedEntries mergeEntries(const std::vector<StoredEntry>& mine, const std::vector<StoredEntry>& base,
                                         const std::vector<StoredEntry>& theirs, std::string_view mainHost);
