#include "settings/HostListFile.h"

#include "settings/StoredValues.h"

void loadHostList(StoredHostList& list, StoredTexts* read) {
    const StoreSession store(SettingsKey, StoreSession::Purpose::Load);
    readHostList(store, list, read);
}

bool saveChangedHostList(const StoredHostList& list, StoredTexts& known) {
    StoreSession store(SettingsKey, StoreSession::Purpose::Update);
    return writeHostList(store, list, known);
}
