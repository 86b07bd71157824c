#include "settings/HostListEntries.h"

#include <charconv>
#include <string>
#include <unordered_map>

#include "settings/HostIdentity.h"
#include "settings/SettingsFields.h"
#include "settings/SettingsRules.h"

namespace {

constexpr std::string_view kHostsPrefix = "Hosts/";
constexpr std::string_view kRunningKey = "Running";

std::optional<std::size_t> sizeFromText(std::string_view text) {
    std::size_t size = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), size);
    if (error == std::errc::result_out_of_range && end == text.data() + text.size())
        return kMaxStoredHosts;
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return std::min(size, kMaxStoredHosts);
}

// "Hosts/12/Buffer" gives 12 and "Buffer"; any other key, index 0. An index that is not written as QSettings
// writes it ("Hosts/012/...") is no entry's: a save would write that entry under another key.
std::size_t splitEntryKey(std::string_view key, std::string_view& subKey) {
    if (key.substr(0, kHostsPrefix.size()) != kHostsPrefix)
        return 0;
    key.remove_prefix(kHostsPrefix.size());
    const std::size_t slash = key.find('/');
    if (slash == std::string_view::npos || slash == 0 || slash + 1 == key.size() || key.front() == '0')
        return 0;
    std::size_t index = 0;
    const auto [end, error] = std::from_chars(key.data(), key.data() + slash, index);
    if (error != std::errc() || end != key.data() + slash)
        return 0;
    subKey = key.substr(slash + 1);
    return index;
}

} // namespace

StoredEntries readEntries(const KeyValueReader& store) {
    StoredEntries read;
    for (auto& [key, text] : store.textsUnder(kHostsPrefix)) {
        std::string_view subKey;
        const std::size_t index = splitEntryKey(key, subKey);
        if (index != 0 && index <= kMaxStoredHosts)
            read.slots[index][std::string(subKey)] = std::move(text);
    }
    read.sizeText = store.find(std::string(kHostsPrefix) + "size");
    const std::optional<std::size_t> size = read.sizeText ? sizeFromText(*read.sizeText) : std::nullopt;
    read.sizeIsNumber = size.has_value();
    if (size) {
        read.listedSlots = *size;
        read.listed.resize(*size);
        for (const auto& [index, entry] : read.slots)
            if (index <= *size)
                read.listed[index - 1] = entry;
    } else {
        for (const auto& [index, entry] : read.slots)
            read.listed.push_back(entry);
        read.listedSlots = read.slots.empty() ? 0 : read.slots.rbegin()->first;
    }
    return read;
}

StoredHost parseEntry(const StoredEntry& entry) {
    StoredHost host;
    const auto textOf = [&entry](std::string_view key) {
        const auto found = entry.find(key);
        return found == entry.end() ? std::string_view() : std::string_view(found->second);
    };
    for (const SettingsField& field : settingsFields())
        if (field.scope == SettingsScope::Host)
            field.read(host.settings, textOf(field.key));
    host.running = SettingsRules::parseBoolean(textOf(kRunningKey));
    return host;
}

StoredEntry renderEntry(const StoredHost& host) {
    // Every key of an entry is written, an empty one too: an entry is wholly its host's, and a value left from
    // the host that had this place before must not survive under another host.
    StoredEntry entry;
    for (const SettingsField& field : settingsFields())
        if (field.scope == SettingsScope::Host)
            entry.emplace(field.key, field.write(host.settings));
    entry.emplace(kRunningKey, SettingsRules::writeBoolean(host.running));
    return entry;
}

std::string entryHost(const StoredEntry& entry) {
    static const SettingsField& field = settingsField(SettingId::Host);
    const auto found = entry.find(field.key);
    if (found == entry.end())
        return {};
    // The field's own rule, on a record kept for it: a whole Settings per entry costs more than the rule.
    thread_local Settings scratch;
    field.read(scratch, found->second);
    return scratch.host;
}

std::vector<bool> watchedEntries(const std::vector<StoredEntry>& entries, std::string_view mainHost,
                                 const std::function<void(std::size_t, std::optional<std::size_t>)>& repeated) {
    std::vector<bool> watched(entries.size(), true);
    std::unordered_map<std::string, std::optional<std::size_t>> first; // identity -> entry; none: the main host
    if (const std::string main = HostIdentity::of(mainHost); !main.empty())
        first.emplace(main, std::nullopt);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string identity = HostIdentity::of(entryHost(entries[i]));
        if (identity.empty()) {
            watched[i] = false; // nothing to watch, and it repeats nothing
            continue;
        }
        const auto [at, added] = first.emplace(identity, i);
        if (added)
            continue;
        watched[i] = false;
        if (repeated)
            repeated(i, at->second);
    }
    return watched;
}
