#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "settings/Settings.h"

// Names a field in code; the stored key stays the name in files. One per row of the table, in its order.
enum class SettingId : std::uint8_t {
    ResolveIp,
    Buffer,
    Interval,
    AnalysisMode,
    Tries,
    MinPercent,
    MaxPercent,
    MinTime,
    MaxTime,
    LogLevel,
    LogAppend,
    LogFileName,
    StartSound,
    StopSound,
    AppFileName,
    AppMode,
    AppParams,
    Host,
    RecentList,
    HistoryDays,
    MetricsListen,
    Notify,
    Autostart,
    HistoryWindowSize,
    HistorySpan,
    HistoryOverlay,
    HostsWindowSize,
    HostsWindowColumns,
    HostsWindowSort,
    RouteWindowSize,
    RouteRounds,
    PathWatch,
    PathInterval,
    PathRounds,
};
inline constexpr std::size_t kSettingCount = static_cast<std::size_t>(SettingId::PathRounds) + 1;

// Whom a field belongs to once the program watches several hosts: every watched host has its own value,
// or the program has one for all of them.
enum class SettingsScope : std::uint8_t { Program, Host };

// A set of fields, such as the ones a change of the settings set.
class SettingIds {
public:
    constexpr SettingIds() = default;
    constexpr SettingIds(std::initializer_list<SettingId> ids) {
        for (SettingId id : ids)
            add(id);
    }
    [[nodiscard]] static constexpr SettingIds all() {
        SettingIds set;
        set.bits_ = (std::uint64_t{1} << kSettingCount) - 1;
        return set;
    }
    constexpr void add(SettingId id) { bits_ |= bit(id); }
    [[nodiscard]] constexpr bool contains(SettingId id) const { return (bits_ & bit(id)) != 0; }
    [[nodiscard]] constexpr bool containsAny(SettingIds other) const { return (bits_ & other.bits_) != 0; }
    [[nodiscard]] constexpr bool empty() const { return bits_ == 0; }
    constexpr bool operator==(const SettingIds&) const = default;

private:
    static constexpr std::uint64_t bit(SettingId id) { return std::uint64_t{1} << static_cast<unsigned>(id); }
    std::uint64_t bits_ = 0;
};
static_assert(kSettingCount < 64);

// One row per field: how it is stored, read back, given on the command line and bounded. The store and the
// command line walk this table, so a field's key, default and rules are written once.
struct SettingsField {
    SettingId id;
    SettingsScope scope;
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
[[nodiscard]] const SettingsField& settingsField(SettingId id);

// The fields whose values differ between the two.
[[nodiscard]] SettingIds differingFields(const Settings& a, const Settings& b);
