#include "settings/CommandLine.h"

#include <algorithm>
#include <limits>

#include "settings/SettingsRules.h"

#ifndef OSTREVO_VERSION
#define OSTREVO_VERSION "1.0.0.0"
#endif

using namespace SettingsRules;

namespace {

std::string LowerAscii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

bool IsBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= 32 || c == 127;
}

bool Contains(std::string_view arg, std::string_view option) {
    return arg.find(option) != std::string_view::npos;
}

// Current values of the unsigned fields are at most 2147483647 after normalisation; clamp anyway so that a
// larger one can never turn into a negative default.
std::int32_t AsCurrent(std::uint32_t value) {
    return static_cast<std::int32_t>(std::min<std::uint32_t>(value, std::numeric_limits<std::int32_t>::max()));
}

// 1 maximized (3), 2 minimized without activation (7), any other number normal (1). A value that is no
// number keeps the mode as it was, like every other numeric option.
std::int32_t AppModeOption(std::string_view arg, std::int32_t current) {
    std::optional<std::int32_t> number = TryParseNumber(OptionValue(arg));
    if (!number)
        return current;
    switch (Magnitude(*number)) {
    case 1:
        return 3;
    case 2:
        return 7;
    default:
        return 1;
    }
}

void ApplyOne(Settings& s, const std::string& typed, StartRequests& requests) {
    const std::string arg = LowerAscii(typed);
    if (arg == "/tray")
        requests.tray = true;
    else if (arg == "/start")
        requests.start = true;
    else if (Contains(arg, "/b"))
        s.Buffer = NumericOption(arg, s.Buffer);
    else if (Contains(arg, "/i"))
        s.Interval = IntervalFromSeconds(static_cast<std::uint32_t>(NumericOption(arg, s.Interval / 1000)));
    else if (Contains(arg, "/a"))
        s.AnalizeMode = ClampAnalizeMode(LowByte(NumericOption(arg, s.AnalizeMode)));
    else if (Contains(arg, "/tries"))
        s.Tries = ClampTries(LowByte(NumericOption(arg, s.Tries)));
    else if (Contains(arg, "/minp"))
        s.MinPercent = ClampPercent(LowByte(NumericOption(arg, s.MinPercent)));
    else if (Contains(arg, "/maxp"))
        s.MaxPercent = ClampPercent(LowByte(NumericOption(arg, s.MaxPercent)));
    else if (Contains(arg, "/mint"))
        s.MinTime = static_cast<std::uint32_t>(NumericOption(arg, AsCurrent(s.MinTime)));
    else if (Contains(arg, "/maxt"))
        s.MaxTime = static_cast<std::uint32_t>(NumericOption(arg, AsCurrent(s.MaxTime)));
    else if (Contains(arg, "/logl"))
        s.LogLevel = LowByte(NumericOption(arg, s.LogLevel)); // clamped once all arguments are read
    else if (Contains(arg, "/loga"))
        s.LogAppend = BooleanOption(arg, s.LogAppend);
    else if (Contains(arg, "/logf"))
        s.LogFileName = OptionValue(arg);
    else if (Contains(arg, "/runa"))
        s.AppFileName = OptionValue(arg);
    else if (Contains(arg, "/runm"))
        s.AppMode = AppModeOption(arg, s.AppMode);
    else if (Contains(arg, "/runp"))
        s.AppParams = OptionValue(arg);
    else
        s.Host = typed;
}

} // namespace

std::string OptionValue(std::string_view arg) {
    std::size_t eq = arg.find('=');
    return eq == std::string_view::npos ? std::string() : std::string(arg.substr(eq + 1));
}

std::int32_t NumericOption(std::string_view arg, std::int32_t current) {
    return static_cast<std::int32_t>(Magnitude(ParseNumber(OptionValue(arg), current)));
}

bool BooleanOption(std::string_view arg, bool current) {
    std::string value = OptionValue(arg);
    std::string_view trimmed = value;
    while (!trimmed.empty() && IsBlankOrControl(trimmed.front()))
        trimmed.remove_prefix(1);
    while (!trimmed.empty() && IsBlankOrControl(trimmed.back()))
        trimmed.remove_suffix(1);
    if (trimmed.empty())
        return current;
    const std::string lower = LowerAscii(trimmed);
    return lower == "yes" || lower == "true" || lower == "1";
}

void ApplyCommandLine(Settings& s, const std::vector<std::string>& args, StartRequests& requests) {
    if (args.empty())
        return;
    for (const std::string& arg : args)
        ApplyOne(s, arg, requests);
    OrderPercents(s);
    OrderTimes(s);
    s.LogLevel = ClampLogLevel(s.LogLevel);
}

std::optional<std::string> InformationalOption(const std::vector<std::string>& args) {
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
