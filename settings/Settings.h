#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

// How the host status is derived from the recent outcomes; the numbers are the stored values.
enum class AnalysisMode : std::uint8_t {
    Tries = 0,   // a number of equal results in a row
    Percent = 1, // the percentage of losses
    Time = 2,    // the average round-trip time
};

// What the event log records; the numbers are the stored values.
enum class LogLevel : std::uint8_t {
    Off = 0,
    StatusChanges = 1,
    EveryRequest = 2,
};

// What a field holds when nothing usable is stored, typed or given; the one place these numbers live.
namespace SettingsDefaults {
inline constexpr std::int32_t intervalSeconds = 10;
inline constexpr std::int32_t buffer = 32;
inline constexpr AnalysisMode analysisMode = AnalysisMode::Tries;
inline constexpr std::uint8_t tries = 3;
inline constexpr std::uint8_t minPercent = 5;
inline constexpr std::uint8_t maxPercent = 45;
inline constexpr std::uint32_t minTime = 100;
inline constexpr std::uint32_t maxTime = 500;
inline constexpr LogLevel logLevel = LogLevel::Off;
inline constexpr std::int32_t appMode = 1;
inline constexpr std::int32_t historyDays = 30;
inline constexpr std::int32_t routeRounds = 10;
inline constexpr bool pathWatch = false;
inline constexpr std::int32_t pathIntervalSeconds = 60;
inline constexpr std::int32_t pathRounds = 3;
inline constexpr bool notify = true;
inline constexpr bool autostart = false;
} // namespace SettingsDefaults

// Every choice of the user. Texts are 8-bit strings as typed; interval is in milliseconds.
struct Settings {
    std::string host;
    std::string recentList; // each entry followed by CR LF
    bool resolveIp = false;
    std::int32_t interval = SettingsDefaults::intervalSeconds * 1000;
    std::int32_t buffer = SettingsDefaults::buffer;
    AnalysisMode analysisMode = SettingsDefaults::analysisMode;
    std::uint8_t tries = SettingsDefaults::tries;
    std::uint8_t minPercent = SettingsDefaults::minPercent;
    std::uint8_t maxPercent = SettingsDefaults::maxPercent;
    std::uint32_t minTime = SettingsDefaults::minTime;
    std::uint32_t maxTime = SettingsDefaults::maxTime;
    LogLevel logLevel = SettingsDefaults::logLevel;
    bool logAppend = false;
    std::string logFileName;
    std::string startSound;
    std::string stopSound;
    std::string appFileName;
    std::int32_t appMode = SettingsDefaults::appMode;
    std::string appParams;
    std::int32_t historyDays = SettingsDefaults::historyDays; // probe history kept, in days; 0 keeps none
    std::string metricsListen; // where metrics are served, as typed ("9100", "127.0.0.1:9100"); empty: nowhere
    bool notify = SettingsDefaults::notify;       // a desktop notification on each Good/Bad edge
    bool autostart = SettingsDefaults::autostart; // an autostart entry starts the program with the session
    std::string historyWindowSize;  // the History window's last size ("720x480"); empty until it has been shown
    std::string historySpan;        // the History window's chosen span in seconds ("3600"); empty until chosen
    std::string historyOverlay;     // the hosts it draws over the chosen one's, as ticked ("a.example,127.0.1.2")
    std::string hostsWindowSize;    // the Hosts window's last size ("760x300"); empty until it has been shown
    std::string hostsWindowColumns; // its column widths, left to right ("150,110,90"); empty until shown
    std::string hostsWindowSort;    // its sorted column and order ("2,descending"); empty: the list's own order
    std::string routeWindowSize;    // the Route window's last size ("720x480"); empty until it has been shown
    // Rounds of the route trace taken when the host goes from Good to Bad; 0 traces nothing.
    std::int32_t routeRounds = SettingsDefaults::routeRounds;
    // Path watching: the host's route traced every pathInterval seconds for pathRounds rounds, and kept.
    bool pathWatch = SettingsDefaults::pathWatch;
    std::int32_t pathInterval = SettingsDefaults::pathIntervalSeconds;
    std::int32_t pathRounds = SettingsDefaults::pathRounds;

    bool operator==(const Settings& o) const = default;
};

void PrintTo(const Settings& s, std::ostream* os);
void PrintTo(AnalysisMode mode, std::ostream* os);
void PrintTo(LogLevel level, std::ostream* os);
