#include "settings/SettingsStore.h"

#include <string>
#include <utility>
#include <vector>

#include "settings/SettingsFields.h"
#include "settings/StoredValues.h"

void loadSettings(Settings& s, const std::function<void()>& afterLogFileName, StoredTexts* read) {
    const StoreSession store(SettingsKey, StoreSession::Purpose::Load);
    for (const SettingsField& field : settingsFields()) {
        const std::string key(field.key);
        const std::string text = store.read(key);
        field.read(s, text);
        if (read)
            (*read)[key] = store.contains(key) ? std::optional<std::string>(text) : std::nullopt;
        if (field.key == "LogFileName" && afterLogFileName)
            afterLogFileName();
    }
}

namespace {

// The texts to store, in table order; `known` null: every one.
std::vector<std::pair<std::string, std::string>> textsToSave(const Settings& s, const StoredTexts* known) {
    std::vector<std::pair<std::string, std::string>> texts;
    for (const SettingsField& field : settingsFields()) {
        std::string text = field.write(s);
        if (text.empty() && field.keepStoredWhenEmpty)
            continue;
        if (known) {
            const auto was = known->find(field.key);
            if (was != known->end() && was->second == text)
                continue;
        }
        texts.emplace_back(field.key, std::move(text));
    }
    return texts;
}

bool save(const std::vector<std::pair<std::string, std::string>>& texts) {
    StoreSession store(SettingsKey, StoreSession::Purpose::Save);
    for (const auto& [key, text] : texts)
        store.write(key, text);
    return store.commit();
}

} // namespace

bool saveSettings(const Settings& s) {
    return save(textsToSave(s, nullptr));
}

bool saveChangedSettings(const Settings& s, StoredTexts& known) {
    const auto texts = textsToSave(s, &known);
    if (texts.empty())
        return true;
    if (!save(texts))
        return false;
    for (const auto& [key, text] : texts)
        known[key] = text;
    return true;
}
