#include "settings/SettingsFields.h"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "settings/SettingsRules.h"

using namespace SettingsRules;

namespace {

std::int32_t current(std::uint32_t value) {
    // Unsigned fields never exceed 2147483647 after normalisation; the bound keeps a wrong one from turning
    // into a negative default.
    return static_cast<std::int32_t>(std::min<std::uint32_t>(value, SettingsLimits::maxTime));
}

std::string text(std::string_view value) {
    return std::string(value);
}

template <typename T> std::int64_t asNumber(T value) {
    return static_cast<std::int64_t>(value);
}

constexpr std::int64_t kMaxInt32 = SettingsLimits::maxTime;

// Captureless lambdas keep each rule next to its key; the table is the only place that names both.
const std::array<SettingsField, kSettingCount> kFields = {{
    {SettingId::ResolveIp, SettingsScope::Host, "ResolveIP", "", 0, 0,
     [](Settings& s, std::string_view t) { s.resolveIp = parseBoolean(t); },
     [](const Settings& s) { return writeBoolean(s.resolveIp); }, nullptr, nullptr, false},
    {SettingId::Buffer, SettingsScope::Host, "Buffer", "/b", 0, SettingsLimits::maxBuffer,
     [](Settings& s, std::string_view t) { s.buffer = bufferFromText(t); },
     [](const Settings& s) { return writeNumber(static_cast<std::uint32_t>(s.buffer)); },
     [](Settings& s, std::string_view v) { s.buffer = numberFromOption(v, s.buffer); },
     [](const Settings& s) { return asNumber(s.buffer); }, false},
    {SettingId::Interval, SettingsScope::Host, "Interval", "/i", 1000,
     static_cast<std::int64_t>(SettingsLimits::maxIntervalSeconds) * 1000,
     [](Settings& s, std::string_view t) { s.interval = intervalFromText(t); },
     [](const Settings& s) { return writeInterval(s.interval); },
     [](Settings& s, std::string_view v) {
         s.interval = intervalFromSeconds(static_cast<std::uint32_t>(numberFromOption(v, s.interval / 1000)));
     },
     [](const Settings& s) { return asNumber(s.interval); }, false},
    {SettingId::AnalysisMode, SettingsScope::Host, "AnalizeMode", "/a", 0, 2,
     [](Settings& s, std::string_view t) { s.analysisMode = analysisModeFromText(t); },
     [](const Settings& s) { return writeNumber(static_cast<std::uint32_t>(s.analysisMode)); },
     [](Settings& s, std::string_view v) {
         s.analysisMode = clampAnalysisMode(lowByte(numberFromOption(v, static_cast<std::int32_t>(s.analysisMode))));
     },
     [](const Settings& s) { return asNumber(s.analysisMode); }, false},
    {SettingId::Tries, SettingsScope::Host, "Tries", "/tries", SettingsLimits::minTries, SettingsLimits::maxTries,
     [](Settings& s, std::string_view t) { s.tries = triesFromText(t); },
     [](const Settings& s) { return writeNumber(s.tries); },
     [](Settings& s, std::string_view v) { s.tries = clampTries(lowByte(numberFromOption(v, s.tries))); },
     [](const Settings& s) { return asNumber(s.tries); }, false},
    {SettingId::MinPercent, SettingsScope::Host, "MinPercent", "/minp", 0, SettingsLimits::maxPercent,
     [](Settings& s, std::string_view t) { s.minPercent = percentFromText(t, SettingsDefaults::minPercent); },
     [](const Settings& s) { return writeNumber(s.minPercent); },
     [](Settings& s, std::string_view v) { s.minPercent = clampPercent(lowByte(numberFromOption(v, s.minPercent))); },
     [](const Settings& s) { return asNumber(s.minPercent); }, false},
    {SettingId::MaxPercent, SettingsScope::Host, "MaxPercent", "/maxp", 0, SettingsLimits::maxPercent,
     [](Settings& s, std::string_view t) {
         s.maxPercent = percentFromText(t, SettingsDefaults::maxPercent);
         orderPercents(s);
     },
     [](const Settings& s) { return writeNumber(s.maxPercent); },
     [](Settings& s, std::string_view v) { s.maxPercent = clampPercent(lowByte(numberFromOption(v, s.maxPercent))); },
     [](const Settings& s) { return asNumber(s.maxPercent); }, false},
    {SettingId::MinTime, SettingsScope::Host, "MinTime", "/mint", 0, kMaxInt32,
     [](Settings& s, std::string_view t) { s.minTime = timeFromText(t, SettingsDefaults::minTime); },
     [](const Settings& s) { return writeNumber(s.minTime); },
     [](Settings& s, std::string_view v) {
         s.minTime = static_cast<std::uint32_t>(numberFromOption(v, current(s.minTime)));
     },
     [](const Settings& s) { return asNumber(s.minTime); }, false},
    {SettingId::MaxTime, SettingsScope::Host, "MaxTime", "/maxt", 0, kMaxInt32,
     [](Settings& s, std::string_view t) {
         s.maxTime = timeFromText(t, SettingsDefaults::maxTime);
         orderTimes(s);
     },
     [](const Settings& s) { return writeNumber(s.maxTime); },
     [](Settings& s, std::string_view v) {
         s.maxTime = static_cast<std::uint32_t>(numberFromOption(v, current(s.maxTime)));
     },
     [](const Settings& s) { return asNumber(s.maxTime); }, false},
    {SettingId::LogLevel, SettingsScope::Host, "LogLevel", "/logl", 0, 2,
     [](Settings& s, std::string_view t) { s.logLevel = logLevelFromText(t); },
     [](const Settings& s) { return writeNumber(static_cast<std::uint32_t>(s.logLevel)); },
     // Clamped once all arguments are read, so /logl=256 still turns logging off.
     [](Settings& s, std::string_view v) {
         s.logLevel = static_cast<LogLevel>(lowByte(numberFromOption(v, static_cast<std::int32_t>(s.logLevel))));
     },
     [](const Settings& s) { return asNumber(s.logLevel); }, false},
    {SettingId::LogAppend, SettingsScope::Host, "LogAppend", "/loga", 0, 0,
     [](Settings& s, std::string_view t) { s.logAppend = parseBoolean(t); },
     [](const Settings& s) { return writeBoolean(s.logAppend); },
     [](Settings& s, std::string_view v) { s.logAppend = booleanFromOption(v, s.logAppend); }, nullptr, false},
    {SettingId::LogFileName, SettingsScope::Host, "LogFileName", "/logf", 0, 0,
     [](Settings& s, std::string_view t) { s.logFileName = text(t); }, [](const Settings& s) { return s.logFileName; },
     [](Settings& s, std::string_view v) { s.logFileName = text(v); }, nullptr, false},
    {SettingId::StartSound, SettingsScope::Host, "SndStart", "", 0, 0,
     [](Settings& s, std::string_view t) { s.startSound = text(t); }, [](const Settings& s) { return s.startSound; },
     nullptr, nullptr, false},
    {SettingId::StopSound, SettingsScope::Host, "SndStop", "", 0, 0,
     [](Settings& s, std::string_view t) { s.stopSound = text(t); }, [](const Settings& s) { return s.stopSound; },
     nullptr, nullptr, false},
    {SettingId::AppFileName, SettingsScope::Host, "AppFileName", "/runa", 0, 0,
     [](Settings& s, std::string_view t) { s.appFileName = text(t); }, [](const Settings& s) { return s.appFileName; },
     [](Settings& s, std::string_view v) { s.appFileName = text(v); }, nullptr, false},
    {SettingId::AppMode, SettingsScope::Host, "AppMode", "/runm", 1, 7,
     [](Settings& s, std::string_view t) { s.appMode = appModeFromText(t); },
     [](const Settings& s) { return writeNumber(static_cast<std::uint32_t>(s.appMode)); },
     [](Settings& s, std::string_view v) { s.appMode = appModeFromOption(v, s.appMode); },
     [](const Settings& s) { return asNumber(s.appMode); }, false},
    {SettingId::AppParams, SettingsScope::Host, "AppParams", "/runp", 0, 0,
     [](Settings& s, std::string_view t) { s.appParams = text(t); }, [](const Settings& s) { return s.appParams; },
     [](Settings& s, std::string_view v) { s.appParams = text(v); }, nullptr, false},
    {SettingId::Host, SettingsScope::Host, "Host", "", 0, 0, [](Settings& s, std::string_view t) { s.host = text(t); },
     [](const Settings& s) { return s.host; }, nullptr, nullptr, true},
    {SettingId::RecentList, SettingsScope::Program, "RecentList", "", 0, 0,
     [](Settings& s, std::string_view t) { s.recentList = text(t); }, [](const Settings& s) { return s.recentList; },
     nullptr, nullptr, true},
    {SettingId::HistoryDays, SettingsScope::Program, "HistoryDays", "", 0, SettingsLimits::maxHistoryDays,
     [](Settings& s, std::string_view t) { s.historyDays = historyDaysFromText(t); },
     [](const Settings& s) { return writeNumber(static_cast<std::uint32_t>(s.historyDays)); }, nullptr,
     [](const Settings& s) { return asNumber(s.historyDays); }, false},
    // Read as typed: the metrics server judges the text when it starts and says what is wrong with it.
    {SettingId::MetricsListen, SettingsScope::Program, "MetricsListen", "", 0, 0,
     [](Settings& s, std::string_view t) { s.metricsListen = text(t); },
     [](const Settings& s) { return s.metricsListen; }, nullptr, nullptr, false},
    // Unlike ResolveIP these default to a value an empty text cannot spell, so only an empty one gives it.
    {SettingId::Notify, SettingsScope::Program, "Notify", "", 0, 0,
     [](Settings& s, std::string_view t) { s.notify = booleanFromOption(t, SettingsDefaults::notify); },
     [](const Settings& s) { return writeBoolean(s.notify); }, nullptr, nullptr, false},
    {SettingId::Autostart, SettingsScope::Program, "Autostart", "", 0, 0,
     [](Settings& s, std::string_view t) { s.autostart = booleanFromOption(t, SettingsDefaults::autostart); },
     [](const Settings& s) { return writeBoolean(s.autostart); }, nullptr, nullptr, false},
    // Kept with the settings so that it is written only when they are; the window judges the text.
    {SettingId::HistoryWindowSize, SettingsScope::Program, "HistoryWindowSize", "", 0, 0,
     [](Settings& s, std::string_view t) { s.historyWindowSize = text(t); },
     [](const Settings& s) { return s.historyWindowSize; }, nullptr, nullptr, true},
    {SettingId::HistorySpan, SettingsScope::Program, "HistorySpan", "", 0, 0,
     [](Settings& s, std::string_view t) { s.historySpan = text(t); }, [](const Settings& s) { return s.historySpan; },
     nullptr, nullptr, true},
    {SettingId::HistoryOverlay, SettingsScope::Program, "HistoryOverlay", "", 0, 0,
     [](Settings& s, std::string_view t) { s.historyOverlay = text(t); },
     [](const Settings& s) { return s.historyOverlay; }, nullptr, nullptr, true},
    {SettingId::HostsWindowSize, SettingsScope::Program, "HostsWindowSize", "", 0, 0,
     [](Settings& s, std::string_view t) { s.hostsWindowSize = text(t); },
     [](const Settings& s) { return s.hostsWindowSize; }, nullptr, nullptr, true},
    {SettingId::HostsWindowColumns, SettingsScope::Program, "HostsWindowColumns", "", 0, 0,
     [](Settings& s, std::string_view t) { s.hostsWindowColumns = text(t); },
     [](const Settings& s) { return s.hostsWindowColumns; }, nullptr, nullptr, true},
    {SettingId::HostsWindowSort, SettingsScope::Program, "HostsWindowSort", "", 0, 0,
     [](Settings& s, std::string_view t) { s.hostsWindowSort = text(t); },
     [](const Settings& s) { return s.hostsWindowSort; }, nullptr, nullptr, true},
    {SettingId::RouteWindowSize, SettingsScope::Program, "RouteWindowSize", "", 0, 0,
     [](Settings& s, std::string_view t) { s.routeWindowSize = text(t); },
     [](const Settings& s) { return s.routeWindowSize; }, nullptr, nullptr, true},
    {SettingId::RouteRounds, SettingsScope::Program, "RouteRounds", "", 0, SettingsLimits::maxRouteRounds,
     [](Settings& s, std::string_view t) { s.routeRounds = routeRoundsFromText(t); },
     [](const Settings& s) { return writeNumber(static_cast<std::uint32_t>(s.routeRounds)); }, nullptr,
     [](const Settings& s) { return asNumber(s.routeRounds); }, false},
    {SettingId::PathWatch, SettingsScope::Host, "PathWatch", "", 0, 0,
     [](Settings& s, std::string_view t) { s.pathWatch = parseBoolean(t); },
     [](const Settings& s) { return writeBoolean(s.pathWatch); }, nullptr, nullptr, false},
    {SettingId::PathInterval, SettingsScope::Host, "PathInterval", "", SettingsLimits::minPathIntervalSeconds,
     SettingsLimits::maxPathIntervalSeconds,
     [](Settings& s, std::string_view t) { s.pathInterval = pathIntervalFromText(t); },
     [](const Settings& s) { return writeNumber(static_cast<std::uint32_t>(s.pathInterval)); }, nullptr,
     [](const Settings& s) { return asNumber(s.pathInterval); }, false},
    {SettingId::PathRounds, SettingsScope::Host, "PathRounds", "", 1, SettingsLimits::maxPathRounds,
     [](Settings& s, std::string_view t) { s.pathRounds = pathRoundsFromText(t); },
     [](const Settings& s) { return writeNumber(static_cast<std::uint32_t>(s.pathRounds)); }, nullptr,
     [](const Settings& s) { return asNumber(s.pathRounds); }, false},
}};

} // namespace

std::span<const SettingsField> settingsFields() {
    return kFields;
}

const SettingsField& settingsField(SettingId id) {
    // The ids follow the rows, so an id finds its row without a search.
    const SettingsField& field = kFields.at(static_cast<std::size_t>(id));
    if (field.id != id)
        std::abort();
    return field;
}

SettingIds differingFields(const Settings& a, const Settings& b) {
    SettingIds differing;
    for (const SettingsField& field : kFields) {
        // A number compares exactly where its stored text would not (an interval of 1500 ms is stored as "1").
        const bool differs = field.number ? field.number(a) != field.number(b) : field.write(a) != field.write(b);
        if (differs)
            differing.add(field.id);
    }
    return differing;
}

const SettingsField& settingsField(std::string_view key) {
    for (const SettingsField& field : kFields)
        if (field.key == key)
            return field;
    std::abort();
}
