#include "settings/SettingsStore.h"

#include <string>

#include "settings/SettingsFields.h"
#include "settings/StoredValues.h"

void loadSettings(Settings& s, const std::function<void()>& afterLogFileName) {
    const StoreSession store(SettingsKey, StoreSession::Purpose::Load);
    for (const SettingsField& field : settingsFields()) {
        field.read(s, store.read(std::string(field.key)));
        if (field.key == "LogFileName" && afterLogFileName)
            afterLogFileName();
    }
}

bool saveSettings(const Settings& s) {
    StoreSession store(SettingsKey, StoreSession::Purpose::Save);
    for (const SettingsField& field : settingsFields()) {
        std::string text = field.write(s);
        if (!text.empty() || !field.keepStoredWhenEmpty)
            store.write(std::string(field.key), text);
    }
    return store.commit();
}
