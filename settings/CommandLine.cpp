#include "settings/CommandLine.h"

#include <array>

#include "settings/SettingsFields.h"
#include "settings/SettingsRules.h"

#ifndef OSTREVO_VERSION
#define OSTREVO_VERSION "1.0.0.0"
#endif

using namespace SettingsRules;

namespace {

constexpr std::array<LongOption, 4> kLongOptions = {{
    {"--help", "", "show this text and exit"},
    {"--version", "", "show the version and exit"},
    // A bare PORT listens on 127.0.0.1; the program reads the text once the window is up.
    {"--metrics", "ADDRESS:PORT", "serve Prometheus metrics at http://ADDRESS:PORT/metrics (PORT: 127.0.0.1:PORT)"},
    {"--autostart", "", "as /tray, for the desktop session's autostart entry; settings are still saved"},
}};

// Options that QApplication takes for itself (it also accepts them with two dashes). They are gone from
// the arguments the settings see, but the long options are checked before Qt has removed them.
constexpr std::array<std::string_view, 20> kToolkitOptions = {"platform",
                                                              "platformpluginpath",
                                                              "platformtheme",
                                                              "plugin",
                                                              "qwindowgeometry",
                                                              "qwindowicon",
                                                              "qwindowtitle",
                                                              "reverse",
                                                              "session",
                                                              "style",
                                                              "stylesheet",
                                                              "widgetcount",
                                                              "display",
                                                              "geometry",
                                                              "title",
                                                              "name",
                                                              "visual",
                                                              "ncols",
                                                              "cmap",
                                                              "qmljsdebugger"};

std::string lowerAscii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

bool isLongOption(std::string_view arg) {
    return arg.substr(0, 2) == "--";
}

// The part that names the option: everything before the first "=".
std::string_view optionName(std::string_view arg) {
    return arg.substr(0, arg.find('='));
}

bool isToolkitOption(std::string_view name) {
    name.remove_prefix(2);
    for (std::string_view option : kToolkitOptions)
        if (name == option)
            return true;
    return false;
}

void applyOne(Settings& s, const std::string& typed, StartRequests& requests) {
    const std::string whole = lowerAscii(typed);
    if (whole == "/tray") {
        requests.tray = true;
        return;
    }
    if (whole == "/start") {
        requests.start = true;
        return;
    }
    const std::string name = lowerAscii(optionName(typed));
    for (const SettingsField& field : settingsFields()) {
        if (field.option.empty() || name.find(field.option) == std::string::npos)
            continue;
        field.applyOption(s, optionValue(typed));
        return;
    }
    s.host = typed;
}

} // namespace

std::string optionValue(std::string_view arg) {
    std::size_t eq = arg.find('=');
    return eq == std::string_view::npos ? std::string() : std::string(arg.substr(eq + 1));
}

std::int32_t numericOption(std::string_view arg, std::int32_t current) {
    return numberFromOption(optionValue(arg), current);
}

bool booleanOption(std::string_view arg, bool current) {
    return booleanFromOption(optionValue(arg), current);
}

void applyCommandLine(Settings& s, const std::vector<std::string>& args, StartRequests& requests) {
    if (args.empty())
        return;
    for (const std::string& arg : args)
        if (!isLongOption(arg))
            applyOne(s, arg, requests);
    orderPercents(s);
    orderTimes(s);
    s.logLevel = clampLogLevel(static_cast<std::uint8_t>(s.logLevel));
}

std::span<const LongOption> longOptions() {
    return kLongOptions;
}

LongOptionScan scanLongOptions(const std::vector<std::string>& args) {
    LongOptionScan scan;
    for (const std::string& arg : args) {
        if (!isLongOption(arg))
            continue;
        const std::string_view name = optionName(arg);
        const bool hasValue = name.size() < arg.size();
        const LongOption* known = nullptr;
        for (const LongOption& option : kLongOptions)
            if (option.name == name)
                known = &option;
        if (!known) {
            if (isToolkitOption(name))
                continue;
            scan.error = "unknown option " + arg;
        } else if (known->valueName.empty() && hasValue) {
            scan.error = "option " + std::string(name) + " takes no value";
        } else if (!known->valueName.empty() && !hasValue) {
            scan.error = "option " + std::string(name) + " needs a value: " + std::string(name) + "=" +
                         std::string(known->valueName);
        } else {
            scan.given[std::string(name)] = optionValue(arg);
            continue;
        }
        return scan;
    }
    return scan;
}

bool isAutostartArgument(std::string_view arg) {
    return arg == "--autostart";
}

std::string versionText() {
    return std::string("Ostrevo ") + OSTREVO_VERSION + "\n";
}

std::string usageText() {
    std::string text =
        "Usage: ostrevo [option...] [host]\n"
        "Watches whether a network host answers ICMP echo requests.\n"
        "Options (case does not matter; values follow \"=\", as in /tries=5, and keep their case):\n"
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
        "  /logf=FILE        log file\n"
        "  /runa=FILE        application started when the host stops or starts responding\n"
        "  /runm=MODE        its window: 1 maximized, 2 minimized, anything else normal\n"
        "  /runp=PARAMS      its parameters, with %address% %responce% %status% %code% %error% %errcode%\n"
        "  HOST              host name, IPv4 or IPv6 address to watch\n";
    for (const LongOption& option : kLongOptions) {
        std::string left = "  " + std::string(option.name);
        if (!option.valueName.empty())
            left += "=" + std::string(option.valueName);
        left.resize(std::max<std::size_t>(left.size() + 1, 20), ' ');
        text += left + std::string(option.help) + "\n";
    }
    text += "Settings given on the command line are used for this run only and are not saved.\n";
    return text;
}
