#pragma once

#include "settings/HostListStore.h"

// The host list in the per-user settings file (see StoreSession), with the rules of HostListStore.

// Reads the list; `read`, when given, receives the stored texts of its keys as they were (the same map the
// settings' load fills, so one save can tell what this instance changed).
void loadHostList(StoredHostList& list, StoredTexts* read = nullptr);

// Merges the list into the file as it is now and replaces it once, under a lock that another instance's
// save waits for (see writeHostList). Nothing changed: the file is not touched.
bool saveChangedHostList(const StoredHostList& list, StoredTexts& known);
