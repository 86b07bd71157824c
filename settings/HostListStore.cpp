#include "settings/HostListStore.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <utility>

#include "settings/SettingsFields.h"
#include "settings/SettingsRules.h"
#include "settings/StoredValues.h"

namespace {

constexpr std::string_view kRunningKey = "Running";
constexpr std::string_view kSizeKey = "Hosts/size";
constexpr std::string_view kHostsPrefix = "Hosts/";

std::size_t sizeFromText(std::string_view text) {
    std::size_t size = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), size);
    if (error == std::errc::result_out_of_range)
        return kMaxStoredHosts;
    if (error != std::errc() || end != text.data() + text.size())
        return 0;
    return std::min(size, kMaxStoredHosts);
}

// The index of an entry key ("Hosts/12/Buffer" gives 12); 0 for any other key.
std::size_t entryIndexOf(std::string_view key) {
    if (key.substr(0, kHostsPrefix.size()) != kHostsPrefix)
        return 0;
    key.remove_prefix(kHostsPrefix.size());
    std::size_t index = 0;
    const auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), index);
    if (error != std::errc() || end == key.data() + key.size() || *end != '/')
        return 0;
    return index;
}

// What the save would make the file hold for these keys.
std::vector<std::pair<std::string, std::string>> wantedTexts(const StoredHostList& list, const StoredTexts& known) {
    std::vector<std::pair<std::string, std::string>> texts;
    const auto knownRunning = known.find(kRunningKey);
    const bool mainRunningKnown = knownRunning != known.end() && knownRunning->second.has_value();
    if (mainRunningKnown || list.mainRunning)
        texts.emplace_back(kRunningKey, SettingsRules::writeBoolean(list.mainRunning));
    const auto knownSize = known.find(kSizeKey);
    const bool hadHosts = knownSize != known.end() && knownSize->second.has_value();
    if (!hadHosts && list.hosts.empty())
        return texts;
    texts.emplace_back(kSizeKey, SettingsRules::writeNumber(static_cast<std::uint32_t>(list.hosts.size())));
    for (std::size_t i = 0; i < list.hosts.size(); ++i) {
        const StoredHost& host = list.hosts[i];
        // Every key of an entry is written, an empty one too: an entry is wholly this list's, and a value
        // left from the host that had this place before must not survive under another host.
        for (const SettingsField& field : settingsFields())
            if (field.scope == SettingsScope::Host)
                texts.emplace_back(hostKey(i + 1, field.key), field.write(host.settings));
        texts.emplace_back(hostKey(i + 1, kRunningKey), SettingsRules::writeBoolean(host.running));
    }
    return texts;
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

void loadHostList(StoredHostList& list, StoredTexts* read) {
    const StoreSession store(SettingsKey, StoreSession::Purpose::Load);
    const auto take = [&](const std::string& key) {
        std::string text = store.read(key);
        if (read)
            (*read)[key] = store.contains(key) ? std::optional<std::string>(text) : std::nullopt;
        return text;
    };
    list.mainRunning = SettingsRules::parseBoolean(take(std::string(kRunningKey)));
    list.hosts.clear();
    const std::size_t size = sizeFromText(take(std::string(kSizeKey)));
    list.hosts.reserve(size);
    for (std::size_t i = 1; i <= size; ++i) {
        StoredHost host;
        for (const SettingsField& field : settingsFields())
            if (field.scope == SettingsScope::Host)
                field.read(host.settings, take(hostKey(i, field.key)));
        host.running = SettingsRules::parseBoolean(take(hostKey(i, kRunningKey)));
        list.hosts.push_back(std::move(host));
    }
}

bool saveChangedHostList(const StoredHostList& list, StoredTexts& known) {
    std::vector<std::pair<std::string, std::string>> writes;
    for (auto& [key, text] : wantedTexts(list, known)) {
        const auto was = known.find(key);
        if (was == known.end() || was->second != text)
            writes.emplace_back(std::move(key), std::move(text));
    }
    std::vector<std::string> removals;
    for (const auto& [key, text] : known)
        if (text && entryIndexOf(key) > list.hosts.size())
            removals.push_back(key);
    if (writes.empty() && removals.empty())
        return true;

    StoreSession store(SettingsKey, StoreSession::Purpose::Save);
    for (const auto& [key, text] : writes)
        store.write(key, text);
    for (const std::string& key : removals)
        store.remove(key);
    if (!store.commit())
        return false;
    for (auto& [key, text] : writes)
        known[key] = std::move(text);
    for (const std::string& key : removals)
        known[key] = std::nullopt;
    return true;
}
