#include "settings/HostListStore.h"

#include <cstdio>
#include <utility>

#include "settings/HostListEntries.h"
#include "settings/HostListMerge.h"
#include "settings/SettingsFields.h"
#include "settings/SettingsRules.h"

namespace {

constexpr std::string_view kHostsPrefix = "Hosts/";
const std::string kSizeKey = "Hosts/size";
const std::string kMainRunningKey = "Running";
const std::string kMainHostKey = "Host";

// What this instance last knew of the file, read as a store.
class KnownTexts : public KeyValueReader {
public:
    explicit KnownTexts(const StoredTexts& texts) : texts_(texts) {}
    std::optional<std::string> find(const std::string& key) const override {
        const auto found = texts_.find(key);
        return found == texts_.end() ? std::nullopt : found->second;
    }
    std::vector<std::pair<std::string, std::string>> textsUnder(std::string_view prefix) const override {
        std::vector<std::pair<std::string, std::string>> texts;
        for (auto at = texts_.lower_bound(prefix); at != texts_.end() && at->first.starts_with(prefix); ++at)
            if (at->second)
                texts.emplace_back(at->first, *at->second);
        return texts;
    }

private:
    const StoredTexts& texts_;
};

std::string mainHostOf(const KeyValueReader& store) {
    Settings s;
    settingsField(SettingId::Host).read(s, store.find(kMainHostKey).value_or(std::string()));
    return s.host;
}

void forgetArray(StoredTexts& known) {
    for (auto at = known.lower_bound(kHostsPrefix); at != known.end() && at->first.starts_with(kHostsPrefix);)
        at = known.erase(at);
}

} // namespace

void copyHostFields(const Settings& from, Settings& to) {
    // Through the stored text, so that the pairs are put in order as a load would; every value the settings
    // can hold survives it.
    for (const SettingsField& field : settingsFields())
        if (field.scope == SettingsScope::Host)
            field.read(to, field.write(from));
}

std::string hostKey(std::size_t index, std::string_view key) {
    return std::string(kHostsPrefix) + std::to_string(index) + '/' + std::string(key);
}

void readHostList(const KeyValueReader& store, StoredHostList& list, StoredTexts* read) {
    const StoredEntries entries = readEntries(store);
    if (entries.sizeText && !entries.sizeIsNumber && !entries.listed.empty())
        std::fprintf(stderr, "ostrevo: the host list's size \"%s\" is not a number; the %zu entries found are read\n",
                     entries.sizeText->c_str(), entries.listed.size());
    else if (!entries.sizeText && !entries.listed.empty())
        std::fprintf(stderr, "ostrevo: the host list has no size; the %zu entries found are read\n",
                     entries.listed.size());
    const std::vector<bool> watched =
        watchedEntries(entries.listed, mainHostOf(store), [&entries](std::size_t i, std::optional<std::size_t> first) {
            const std::string host = entryHost(entries.listed[i]);
            if (first)
                std::fprintf(stderr, "ostrevo: host list entry %zu (%s) repeats entry %zu and is not watched\n", i + 1,
                             host.c_str(), *first + 1);
            else
                std::fprintf(stderr, "ostrevo: host list entry %zu (%s) is the main host and is not watched\n", i + 1,
                             host.c_str());
        });
    list.hosts.clear();
    list.hosts.reserve(entries.listed.size());
    for (std::size_t i = 0; i < entries.listed.size(); ++i)
        if (watched[i] || entryHost(entries.listed[i]).empty())
            list.hosts.push_back(parseEntry(entries.listed[i]));
    if (read) {
        forgetArray(*read);
        (*read)[kSizeKey] = entries.sizeText;
        for (const auto& [index, entry] : entries.slots)
            for (const auto& [key, text] : entry)
                (*read)[hostKey(index, key)] = text;
    }
}

bool writeHostList(KeyValueStore& store, const StoredHostList& list, StoredTexts& known) {
    const StoredEntries base = readEntries(KnownTexts(known));
    const StoredEntries now = readEntries(store);
    std::vector<StoredEntry> mine;
    mine.reserve(list.hosts.size());
    for (const StoredHost& host : list.hosts)
        mine.push_back(renderEntry(host));
    const MergedEntries result = mergeEntries(mine, base.listed, now.listed, mainHostOf(store));
    const std::vector<StoredEntry>& merged = result.entries;

    std::vector<std::pair<std::string, std::string>> writes;
    std::vector<std::string> removals;
    std::optional<std::string> size = now.sizeText;
    if (size || !merged.empty()) {
        size = SettingsRules::writeNumber(static_cast<std::uint32_t>(merged.size()));
        if (now.sizeText != size)
            writes.emplace_back(kSizeKey, *size);
    }
    for (std::size_t i = 0; i < merged.size(); ++i) {
        const auto stored = now.slots.find(i + 1);
        for (const auto& [key, text] : merged[i]) {
            if (stored != now.slots.end()) {
                const auto was = stored->second.find(key);
                if (was != stored->second.end() && was->second == text)
                    continue;
            }
            writes.emplace_back(hostKey(i + 1, key), text);
        }
        if (stored != now.slots.end())
            for (const auto& [key, text] : stored->second)
                if (merged[i].count(key) == 0)
                    removals.push_back(hostKey(i + 1, key));
    }
    // Entries that were part of the list and are no longer; keys past a numeric size were never listed.
    for (auto at = now.slots.upper_bound(merged.size()); at != now.slots.end() && at->first <= now.listedSlots; ++at)
        for (const auto& [key, text] : at->second)
            removals.push_back(hostKey(at->first, key));
    if (store.find(kMainRunningKey))
        removals.push_back(kMainRunningKey);

    if (!writes.empty() || !removals.empty()) {
        for (const auto& [key, text] : writes)
            store.write(key, text);
        for (const std::string& key : removals)
            store.remove(key);
        if (!store.commit())
            return false;
    }
    forgetArray(known);
    known.erase(kMainRunningKey);
    // What this instance's list came from, for its next save: the entries it knows, in the file's order.
    std::size_t index = 0;
    for (std::size_t i = 0; i < merged.size(); ++i) {
        if (!result.known[i])
            continue;
        ++index;
        for (const auto& [key, text] : merged[i])
            known[hostKey(index, key)] = text;
    }
    if (size)
        known[kSizeKey] = SettingsRules::writeNumber(static_cast<std::uint32_t>(index));
    return true;
}
