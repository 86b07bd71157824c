#include "settings/HostListMerge.h"

#include <optional>
#include <string>
#include <unordered_map>

#include "settings/HostIdentity.h"

namespace {

constexpr std::string_view kRunningKey = "Running";

// The host's identity and how many entries before this one had it.
std::vector<std::string> matchKeys(const std::vector<StoredEntry>& entries) {
    std::unordered_map<std::string, std::size_t> seen;
    std::vector<std::string> keys;
    keys.reserve(entries.size());
    for (const StoredEntry& entry : entries) {
        std::string identity = HostIdentity::of(entryHost(entry));
        const std::size_t occurrence = seen[identity]++;
        keys.push_back(std::move(identity) + '\n' + std::to_string(occurrence));
    }
    return keys;
}

std::unordered_map<std::string, std::size_t> indexOf(const std::vector<std::string>& keys) {
    std::unordered_map<std::string, std::size_t> index;
    for (std::size_t i = 0; i < keys.size(); ++i)
        index.emplace(keys[i], i);
    return index;
}

// Texts as this program would write them, so that a value written by hand ("Interval=0") is no change.
StoredEntry normalised(const StoredEntry& entry) {
    return renderEntry(parseEntry(entry));
}

// Both normalised: the same settings, running or not.
bool sameSettings(const StoredEntry& a, const StoredEntry& b) {
    auto x = a.begin();
    auto y = b.begin();
    while (x != a.end() || y != b.end()) {
        if (x != a.end() && x->first == kRunningKey) {
            ++x;
            continue;
        }
        if (y != b.end() && y->first == kRunningKey) {
            ++y;
            continue;
        }
        if (x == a.end() || y == b.end() || *x != *y)
            return false;
        ++x;
        ++y;
    }
    return true;
}

} // namespace

MergedEntries mergeEntries(const std::vector<StoredEntry>& mine, const std::vector<StoredEntry>& base,
                           const std::vector<StoredEntry>& theirs, std::string_view mainHost) {
    const std::vector<std::string> mineKeys = matchKeys(mine);
    const std::vector<std::string> baseKeys = matchKeys(base);
    const std::vector<std::string> theirsKeys = matchKeys(theirs);
    const auto mineAt = indexOf(mineKeys);
    const auto baseAt = indexOf(baseKeys);
    const auto theirsAt = indexOf(theirsKeys);
    // Made when first wanted: most entries were written by this program and already read as they are written.
    std::vector<std::optional<StoredEntry>> baseNormalised(base.size());
    const auto baseNormal = [&](std::size_t i) -> const StoredEntry& {
        if (!baseNormalised[i])
            baseNormalised[i] = normalised(base[i]);
        return *baseNormalised[i];
    };
    // `entry` as this program writes it.
    const auto sameAsBase = [&](const StoredEntry& entry, std::size_t i) {
        return sameSettings(entry, base[i]) || sameSettings(entry, baseNormal(i));
    };
    const std::vector<bool> baseWatched = watchedEntries(base, mainHost);

    // Whether this instance changed the list itself, rather than only starting or stopping hosts.
    // Entries without a host are nobody's to watch and do not count.
    std::vector<std::size_t> listed;
    for (std::size_t i = 0; i < mine.size(); ++i)
        if (!entryHost(mine[i]).empty())
            listed.push_back(i);
    bool listChanged = false;
    std::size_t shown = 0;
    for (std::size_t i = 0; i < base.size() && !listChanged; ++i) {
        if (!baseWatched[i])
            continue;
        listChanged =
            shown >= listed.size() || mineKeys[listed[shown]] != baseKeys[i] || !sameAsBase(mine[listed[shown]], i);
        ++shown;
    }
    listChanged = listChanged || shown != listed.size();

    std::vector<std::pair<std::string, StoredEntry>> kept; // in mine's order
    for (std::size_t i = 0; i < mine.size(); ++i) {
        const auto there = theirsAt.find(mineKeys[i]);
        const auto before = baseAt.find(mineKeys[i]);
        if (there != theirsAt.end()) {
            // Their texts, with what this instance changed since it last saw the file.
            StoredEntry merged = theirs[there->second];
            for (const auto& [key, text] : mine[i]) {
                if (before != baseAt.end()) {
                    const StoredEntry& was = base[before->second];
                    if (const auto at = was.find(key); at != was.end() && at->second == text)
                        continue;
                    const StoredEntry& wasNormal = baseNormal(before->second);
                    if (const auto at = wasNormal.find(key); at != wasNormal.end() && at->second == text)
                        continue;
                }
                merged[key] = text;
            }
            kept.emplace_back(mineKeys[i], std::move(merged));
        } else if (before == baseAt.end() || !sameAsBase(mine[i], before->second)) {
            kept.emplace_back(mineKeys[i], mine[i]); // added here, or edited here while removed there
        }
    }

    // The file's entries that this instance does not list, each after the listed entry it followed.
    using Placed = std::pair<StoredEntry, bool>; // the entry, and whether this instance knows it
    std::vector<Placed> atEnd;                   // nothing before them is kept
    std::unordered_map<std::string, std::vector<Placed>> after;
    const std::string* anchor = nullptr;
    for (std::size_t j = 0; j < theirs.size(); ++j) {
        if (mineAt.count(theirsKeys[j]) != 0) {
            anchor = &theirsKeys[j];
            continue;
        }
        const auto before = baseAt.find(theirsKeys[j]);
        bool keep = true; // added there
        const bool held = before != baseAt.end() && !baseWatched[before->second];
        if (before != baseAt.end())
            keep = held ? !listChanged
                        : !sameSettings(theirs[j], base[before->second]) &&
                              !sameSettings(normalised(theirs[j]), baseNormal(before->second));
        if (keep)
            (anchor ? after[*anchor] : atEnd).emplace_back(theirs[j], held);
    }

    MergedEntries merged;
    const auto place = [&merged](std::vector<Placed>& entries) {
        for (auto& [entry, known] : entries) {
            merged.entries.push_back(std::move(entry));
            merged.known.push_back(known);
        }
    };
    for (auto& [key, entry] : kept) {
        merged.entries.push_back(std::move(entry));
        merged.known.push_back(true);
        if (const auto following = after.find(key); following != after.end())
            place(following->second);
    }
    place(atEnd);
    return merged;
}
