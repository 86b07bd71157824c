#include "settings/CommandLine.h"

#include <algorithm>
#include <limits>

#include "settings/SettingsRules.h"

#ifndef OSTREVO_VERSION
#define OSTREVO_VERSION "1.0.0.0"
#endif

using namespace SettingsRules;

namespace {

std::string lowerAscii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

bool isBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= 32 || c == 127;
}

bool contains(std::string_view arg, std::string_view option) {
    return arg.find(option) != std::string_view::npos;
}

// Current values of the unsigned fields are at most 2147483647 after normalisation; clamp anyway so that a
// larger one can never turn into a negative default.
std::int32_t asCurrent(std::uint32_t value) {
    return static_cast<std::int32_t>(std::min<std::uint32_t>(value, std::numeric_limits<std::int32_t>::max()));
}

// 1 maximized (3), 2 minimized without activation (7), any other number normal (1). A value that is no
// number keeps the mode as it was, like every other numeric option.
std::int32_t appModeOption(std::string_view arg, std::int32_t current) {
    std::optional<std::int32_t> number = tryParseNumber(optionValue(arg));
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

void applyOne(Settings& s, const std::string& typed, StartRequests& requests) {
    const std::string arg = lowerAscii(typed);
    if (arg == "/tray")
        requests.tray = true;
    else if (arg == "/start")
        requests.start = true;
    else if (contains(arg, "/b"))
        s.buffer = numericOption(arg, s.buffer);
    else if (contains(arg, "/i"))
        s.interval = intervalFromSeconds(static_cast<std::uint32_t>(numericOption(arg, s.interval / 1000)));
    else if (contains(arg, "/a"))
        s.analysisMode = clampAnalysisMode(lowByte(numericOption(arg, static_cast<std::int32_t>(s.analysisMode))));
    else if (contains(arg, "/tries"))
        s.tries = clampTries(lowByte(numericOption(arg, s.tries)));
    else if (contains(arg, "/minp"))
        s.minPercent = clampPercent(lowByte(numericOption(arg, s.minPercent)));
    else if (contains(arg, "/maxp"))
        s.maxPercent = clampPercent(lowByte(numericOption(arg, s.maxPercent)));
    else if (contains(arg, "/mint"))
        s.minTime = static_cast<std::uint32_t>(numericOption(arg, asCurrent(s.minTime)));
    else if (contains(arg, "/maxt"))
        s.maxTime = static_cast<std::uint32_t>(numericOption(arg, asCurrent(s.maxTime)));
    else if (contains(arg, "/logl"))
        s.logLevel = static_cast<LogLevel>( // clamped once all arguments are read
            lowByte(numericOption(arg, static_cast<std::int32_t>(s.logLevel))));
    else if (contains(arg, "/loga"))
        s.logAppend = booleanOption(arg, s.logAppend);
    else if (contains(arg, "/logf"))
        s.logFileName = optionValue(arg);
    else if (contains(arg, "/runa"))
        s.appFileName = optionValue(arg);
    else if (contains(arg, "/runm"))
        s.appMode = appModeOption(arg, s.appMode);
    else if (contains(arg, "/runp"))
        s.appParams = optionValue(arg);
    else
        s.host = typed;
}

} // namespace

std::string optionValue(std::string_view arg) {
    std::size_t eq = arg.find('=');
    return eq == std::string_view::npos ? std::string() : std::string(arg.substr(eq + 1));
}

std::int32_t numericOption(std::string_view arg, std::int32_t current) {
    return static_cast<std::int32_t>(magnitude(parseNumber(optionValue(arg), current)));
}

bool booleanOption(std::string_view arg, bool current) {
    std::string value = optionValue(arg);
    std::string_view trimmed = value;
    while (!trimmed.empty() && isBlankOrControl(trimmed.front()))
        trimmed.remove_prefix(1);
    while (!trimmed.empty() && isBlankOrControl(trimmed.back()))
        trimmed.remove_suffix(1);
    if (trimmed.empty())
        return current;
    const std::string lower = lowerAscii(trimmed);
    return lower == "yes" || lower == "true" || lower == "1";
}

void applyCommandLine(Settings& s, const std::vector<std::string>& args, StartRequests& requests) {
    if (args.empty())
        return;
    for (const std::string& arg : args)
        applyOne(s, arg, requests);
    orderPercents(s);
    orderTimes(s);
    s.logLevel = clampLogLevel(static_cast<std::uint8_t>(s.logLevel));
}

std::optional<std::string> informationalOption(const std::vector<std::string>& args) {
    if (args.empty())
        return std::nullopt;
    if (args.front() == "--version")
        return std::string("Ostrevo ") + OSTREVO_VERSION + "\n";
    if (args.front() != "--help")
        return std::nullopt;
    return "Usage: ostrevo [option...] [host]\n"
           "Watches whether a network host answers ICMP echo requests.\n"
           "Options (case does not matter; values follow \"=\", as in /tries=5):\n"
           "  /tray             start hidden in the notification area and start monitoring\n"
           "  /start            start monitoring at once\n"
           "  /b=BYTES          echo payload size in bytes\n"
           "  /i=SECONDS        pause after each request, in whole seconds\n"
           "  /a=MODE           analysis: 0 by tries, 1 by percent of losses, 2 by average time\n"
           "  /tries=N          equal results in a row before the status changes (1..128)\n"
           "  /minp=PERCENT     loss percentage below which the host is Good (0..100)\n"
           "  /maxp=PERCENT     loss percentage above which the host is Bad (0..100)\n"
           "  /mint=MS          average round-trip time below which the host is Good\n"
           "  /maxt=MS          average round-trip time above which the host is Bad\n"
           "  /logl=LEVEL       log: 0 off, 1 status changes, 2 every request\n"
           "  /loga=yes|no      append to an existing log file\n"
           "  /logf=FILE        log file (given in small letters)\n"
           "  /runa=FILE        application started when the host stops or starts responding\n"
           "  /runm=MODE        its window: 1 maximized, 2 minimized, anything else normal\n"
           "  /runp=PARAMS      its parameters, with %address% %responce% %status% %code% %error% %errcode%\n"
           "  HOST              host name or IPv4 address to watch\n"
           "  --help            show this text and exit\n"
           "  --version         show the version and exit\n"
           "Settings given on the command line are used for this run only and are not saved.\n";
}
