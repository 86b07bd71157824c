#include "settings/SettingsRules.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace SettingsRules {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int hexValue(char c) {
    if (isDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

std::optional<std::int32_t> tryParseNumber(std::string_view text) {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    if (text.empty())
        return std::nullopt;

    std::size_t hexStart = 0;
    if (text[0] == '$' || text[0] == 'x' || text[0] == 'X')
        hexStart = 1;
    else if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        hexStart = 2;
    if (hexStart != 0) {
        std::string_view digits = text.substr(hexStart);
        if (digits.empty())
            return std::nullopt;
        std::uint64_t value = 0;
        for (char c : digits) {
            int d = hexValue(c);
            if (d < 0)
                return std::nullopt;
            value = value * 16 + static_cast<std::uint64_t>(d);
            if (value > 0xFFFFFFFFull)
                return std::nullopt;
        }
        // A full 32-bit pattern is read as two's complement: $FFFFFFFF is -1.
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    }

    bool negative = false;
    if (text[0] == '+' || text[0] == '-') {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (!isDigit(c))
            return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > 2147483648LL) // stop early so that long digit runs cannot overflow
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

std::int32_t parseNumber(std::string_view text, std::int32_t def) {
    return tryParseNumber(text).value_or(def);
}

bool parseBoolean(std::string_view text) {
    std::string lower;
    lower.reserve(text.size());
    for (char c : text)
        lower.push_back(lowerAscii(c));
    return lower == "yes" || lower == "true" || lower == "1";
}

std::string writeBoolean(bool value) {
    return value ? "Yes" : "No";
}

std::string writeNumber(std::uint32_t value) {
    return std::to_string(value);
}

std::string writeInterval(std::int32_t ms) {
    return std::to_string(ms / 1000);
}

std::uint32_t magnitude(std::int32_t n) {
    if (n == std::numeric_limits<std::int32_t>::min())
        return static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
    return static_cast<std::uint32_t>(n < 0 ? -n : n);
}

std::uint8_t lowByte(std::int64_t n) {
    return static_cast<std::uint8_t>(static_cast<std::uint64_t>(n) & 0xFFu);
}

std::int32_t intervalFromSeconds(std::uint32_t seconds) {
    if (seconds == 0)
        return 1000;
    if (seconds > SettingsLimits::maxIntervalSeconds)
        seconds = SettingsLimits::maxIntervalSeconds;
    return static_cast<std::int32_t>(seconds) * 1000;
}

std::uint8_t clampTries(std::uint8_t low) {
    return std::clamp(low, SettingsLimits::minTries, SettingsLimits::maxTries);
}
std::uint8_t clampPercent(std::uint8_t low) {
    return std::min(low, SettingsLimits::maxPercent);
}
LogLevel clampLogLevel(std::uint8_t low) {
    return low > 2 ? LogLevel::EveryRequest : static_cast<LogLevel>(low);
}
AnalysisMode clampAnalysisMode(std::uint8_t low) {
    return low > 2 ? AnalysisMode::Tries : static_cast<AnalysisMode>(low);
}
std::int32_t clampAppMode(std::int32_t mode) {
    return (mode == 1 || mode == 3 || mode == 7) ? mode : SettingsDefaults::appMode;
}

std::int32_t bufferFromText(std::string_view text) {
    return static_cast<std::int32_t>(magnitude(parseNumber(text, SettingsDefaults::buffer)));
}

std::int32_t intervalFromText(std::string_view text) {
    return intervalFromSeconds(magnitude(parseNumber(text, SettingsDefaults::intervalSeconds)));
}

// The store takes the low byte of the signed number, without an absolute value: -1 reads as 255, then 0.
AnalysisMode analysisModeFromText(std::string_view text) {
    return clampAnalysisMode(lowByte(parseNumber(text, static_cast<std::int32_t>(SettingsDefaults::analysisMode))));
}

std::uint8_t triesFromText(std::string_view text) {
    return clampTries(lowByte(magnitude(parseNumber(text, SettingsDefaults::tries))));
}

std::uint8_t percentFromText(std::string_view text, std::int32_t def) {
    return clampPercent(lowByte(magnitude(parseNumber(text, def))));
}

std::uint32_t timeFromText(std::string_view text, std::int32_t def) {
    return magnitude(parseNumber(text, def));
}

LogLevel logLevelFromText(std::string_view text) {
    return clampLogLevel(lowByte(magnitude(parseNumber(text, static_cast<std::int32_t>(SettingsDefaults::logLevel)))));
}

std::int32_t appModeFromText(std::string_view text) {
    return clampAppMode(static_cast<std::int32_t>(magnitude(parseNumber(text, SettingsDefaults::appMode))));
}

// Retention deletes what falls outside it, so no text may shorten it by accident: a negative number (a sign
// typed by mistake, a hexadecimal pattern with the top bit set) is no retention at all and reads as the
// default rather than as its magnitude, while a number too large even for 32 bits keeps as much as allowed.
std::int32_t historyDaysFromText(std::string_view text) {
    const std::optional<std::int32_t> days = tryParseNumber(text);
    if (!days) {
        std::string_view digits = text;
        while (!digits.empty() && digits.front() == ' ')
            digits.remove_prefix(1);
        if (!digits.empty() && digits.front() == '+')
            digits.remove_prefix(1);
        const bool tooLarge = !digits.empty() && std::all_of(digits.begin(), digits.end(), isDigit);
        return tooLarge ? static_cast<std::int32_t>(SettingsLimits::maxHistoryDays) : SettingsDefaults::historyDays;
    }
    if (*days < 0)
        return SettingsDefaults::historyDays;
    return static_cast<std::int32_t>(std::min<std::uint32_t>(static_cast<std::uint32_t>(*days),
                                                             SettingsLimits::maxHistoryDays));
}

std::int32_t routeRoundsFromText(std::string_view text) {
    const std::optional<std::int32_t> rounds = tryParseNumber(text);
    if (!rounds || *rounds < 0)
        return SettingsDefaults::routeRounds;
    return static_cast<std::int32_t>(std::min<std::uint32_t>(static_cast<std::uint32_t>(*rounds),
                                                             SettingsLimits::maxRouteRounds));
}

std::int32_t pathIntervalFromText(std::string_view text) {
    const std::optional<std::int32_t> seconds = tryParseNumber(text);
    if (!seconds)
        return SettingsDefaults::pathIntervalSeconds;
    return std::clamp<std::int32_t>(*seconds, SettingsLimits::minPathIntervalSeconds,
                                    SettingsLimits::maxPathIntervalSeconds);
}

std::int32_t pathRoundsFromText(std::string_view text) {
    const std::optional<std::int32_t> rounds = tryParseNumber(text);
    if (!rounds)
        return SettingsDefaults::pathRounds;
    return std::clamp<std::int32_t>(*rounds, 1, SettingsLimits::maxPathRounds);
}

std::int32_t numberFromOption(std::string_view value, std::int32_t current) {
    return static_cast<std::int32_t>(magnitude(parseNumber(value, current)));
}

bool booleanFromOption(std::string_view value, bool current) {
    auto blankOrControl = [](char c) { return static_cast<unsigned char>(c) <= 32 || c == 127; };
    while (!value.empty() && blankOrControl(value.front()))
        value.remove_prefix(1);
    while (!value.empty() && blankOrControl(value.back()))
        value.remove_suffix(1);
    return value.empty() ? current : parseBoolean(value);
}

// Unlike every other numeric option, a number is a choice from a list rather than the value itself; a
// value that is no number still keeps the mode as it was.
std::int32_t appModeFromOption(std::string_view value, std::int32_t current) {
    const std::optional<std::int32_t> number = tryParseNumber(value);
    if (!number)
        return current;
    switch (magnitude(*number)) {
    case 1:
        return 3;
    case 2:
        return 7;
    default:
        return 1;
    }
}

void orderPercents(Settings& s) {
    if (s.minPercent > s.maxPercent)
        std::swap(s.minPercent, s.maxPercent);
}

void orderTimes(Settings& s) {
    if (s.minTime > s.maxTime)
        std::swap(s.minTime, s.maxTime);
}

} // namespace SettingsRules
