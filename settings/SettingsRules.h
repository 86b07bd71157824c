#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "settings/Settings.h"

// Ranges of the numeric fields after normalisation.
namespace SettingsLimits {
inline constexpr std::uint8_t minTries = 1;
inline constexpr std::uint8_t maxTries = 128;
inline constexpr std::uint8_t maxPercent = 100;
inline constexpr std::uint32_t maxTime = std::numeric_limits<std::int32_t>::max(); // milliseconds
inline constexpr std::uint32_t maxIntervalSeconds = std::numeric_limits<std::int32_t>::max() / 1000;
inline constexpr std::uint32_t maxBuffer = std::numeric_limits<std::int32_t>::max(); // a run lowers it further
inline constexpr std::uint32_t maxHistoryDays = 3650;
// A round takes a second: more than this many would still be tracing long after the outage was news.
inline constexpr std::uint32_t maxRouteRounds = 100;
// Path watching: a trace takes its rounds (a second each) and the wait for the last one, so an interval much
// shorter would trace without pause; a day is the longest that still shows a route change on the day it came.
inline constexpr std::uint32_t minPathIntervalSeconds = 10;
inline constexpr std::uint32_t maxPathIntervalSeconds = 86'400;
inline constexpr std::uint32_t maxPathRounds = 10;
} // namespace SettingsLimits

// Text conversions and normalisation rules shared by the store, the command line and the options dialog.
namespace SettingsRules {

// Lenient number parser: decimal with optional sign, or hexadecimal after "$", "x" or "0x"
// (a 32-bit two's-complement pattern). Anything else gives `def`.
[[nodiscard]] std::int32_t parseNumber(std::string_view text, std::int32_t def);
// The same parser, telling "no usable number" apart from every value a default could have.
[[nodiscard]] std::optional<std::int32_t> tryParseNumber(std::string_view text);

// True for "yes", "true" or "1" with ASCII letters lower-cased; nothing is trimmed.
[[nodiscard]] bool parseBoolean(std::string_view text);

[[nodiscard]] std::string writeBoolean(bool value);         // "Yes" / "No"
[[nodiscard]] std::string writeNumber(std::uint32_t value); // plain decimal
[[nodiscard]] std::string writeInterval(std::int32_t ms);   // whole seconds

// Absolute value that never ends negative: -2147483648 has no positive twin in 32 bits and maps to
// 2147483647, the nearest value that fits.
[[nodiscard]] std::uint32_t magnitude(std::int32_t n);
[[nodiscard]] std::uint8_t lowByte(std::int64_t n);

// Seconds to the millisecond Interval: 0 becomes 1000 ms, and a count too large for 32-bit milliseconds
// is clamped to the largest whole second that fits instead of wrapping.
[[nodiscard]] std::int32_t intervalFromSeconds(std::uint32_t seconds);

// Store rules (also used by the options dialog, which applies the same ones).
[[nodiscard]] std::int32_t bufferFromText(std::string_view text);
[[nodiscard]] std::int32_t intervalFromText(std::string_view text);
[[nodiscard]] AnalysisMode analysisModeFromText(std::string_view text);
[[nodiscard]] std::uint8_t triesFromText(std::string_view text);
[[nodiscard]] std::uint8_t percentFromText(std::string_view text, std::int32_t def);
[[nodiscard]] std::uint32_t timeFromText(std::string_view text, std::int32_t def);
[[nodiscard]] LogLevel logLevelFromText(std::string_view text);
[[nodiscard]] std::int32_t appModeFromText(std::string_view text);
// Negative or unreadable: the default; above the limit, however large: the limit.
[[nodiscard]] std::int32_t historyDaysFromText(std::string_view text);
// Rounds of the trace at an outage: an unusable or negative text gives the default, a larger one the most allowed.
[[nodiscard]] std::int32_t routeRoundsFromText(std::string_view text);
// Seconds between path traces, brought into their range; the default for what is no number.
[[nodiscard]] std::int32_t pathIntervalFromText(std::string_view text);
[[nodiscard]] std::int32_t pathRoundsFromText(std::string_view text);

// Command-line rules, on the text after "=". A value that is no number keeps `current`.
[[nodiscard]] std::int32_t numberFromOption(std::string_view value, std::int32_t current); // its magnitude
// Trimmed of blanks and control characters: empty keeps `current`, "yes"/"true"/"1" is true, else false.
[[nodiscard]] bool booleanFromOption(std::string_view value, bool current);
// 1 maximized (3), 2 minimized without activation (7), any other number normal (1).
[[nodiscard]] std::int32_t appModeFromOption(std::string_view value, std::int32_t current);

// Clamps applied to a parsed number.
[[nodiscard]] std::uint8_t clampTries(std::uint8_t low);
[[nodiscard]] std::uint8_t clampPercent(std::uint8_t low);
[[nodiscard]] LogLevel clampLogLevel(std::uint8_t low);
[[nodiscard]] AnalysisMode clampAnalysisMode(std::uint8_t low);
[[nodiscard]] std::int32_t clampAppMode(std::int32_t mode);

// Pair rules: the smaller value first.
void orderPercents(Settings& s);
void orderTimes(Settings& s);

} // namespace SettingsRules
