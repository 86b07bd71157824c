#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "settings/Settings.h"

// One row per field: how it is stored, read back, given on the command line and bounded. The store and the
// command line walk this table, so a field's key, default and rules are written once.
struct SettingsField {
    std::string_view key;    // the stored key, spelled as settings files have it ("AnalizeMode")
    std::string_view option; // command-line option ("/a"), empty when the command line cannot set the field
    // Range of a numeric field after normalisation; both 0 for texts and booleans.
    std::int64_t min;
    std::int64_t max;
    // Stored text into the field with the store's rules; an empty or unusable text gives the default.
    void (*read)(Settings& s, std::string_view stored);
    // The field as stored text.
    std::string (*write)(const Settings& s);
    // Command-line value (the text after "=", case kept) into the field; numbers that cannot be read keep
    // the current value. Null when the command line cannot set the field.
    void (*applyOption)(Settings& s, std::string_view value);
    // The field as a number, for range checks; null for texts.
    std::int64_t (*number)(const Settings& s);
    // An empty value is not saved, so it never erases a stored one (Host, RecentList).
    bool keepStoredWhenEmpty;
};

// Every field, in the order the store loads them: the percent pair is ordered right after MaxPercent, the
// time pair right after MaxTime. The rows with an option are also in the order the command line tests them.
[[nodiscard]] std::span<const SettingsField> settingsFields();

// The row of a stored key; a key that is not in the table is a programming error (aborts).
[[nodiscard]] const SettingsField& settingsField(std::string_view key);
