// Any argument list the program may be started with: the settings that come out keep every field's limits,
// the host is the last argument that names no option, exactly as typed, text options keep their values as
// typed, and the program's own "--" options are either known or named in the error.
//
// Input: the arguments, separated by NUL bytes; the first byte picks a start state (defaults, or a record
// loaded from short stored numbers).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "settings/CommandLine.h"
#include "settings/SettingsFields.h"
#include "settings/SettingsRules.h"

#include "fuzz/FuzzSupport.h"
#include "fuzz/SettingsInvariants.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    std::vector<std::string> args;
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    while (!rest.empty()) {
        const auto nul = rest.find('\0');
        args.emplace_back(rest.substr(0, nul));
        rest = nul == std::string_view::npos ? std::string_view{} : rest.substr(nul + 1);
    }

    Settings start;
    if (data[0] & 1)
        for (const SettingsField& field : settingsFields())
            if (field.number)
                field.read(start, std::to_string(static_cast<std::int8_t>(data[0] ^ static_cast<std::uint8_t>(field.key[1]))));
    start.host = "start.example";

    Settings s = start;
    StartRequests requests;
    applyCommandLine(s, args, requests);
    if (args.empty()) {
        require(s == start && !requests.tray && !requests.start, "no arguments changed something");
        return 0;
    }
    requireNormalised(s);

    // What each argument should have done, from the documented matching: the whole argument for /tray and
    // /start, else the first option named in the text before "=", else the host.
    std::string host = start.host;
    std::string logFile = start.logFileName, appFile = start.appFileName, appParams = start.appParams;
    bool tray = false, startNow = false;
    for (const std::string& arg : args) {
        if (arg.starts_with("--"))
            continue;
        const std::string whole = lowerAscii(arg);
        if (whole == "/tray" || whole == "/start") {
            (whole == "/tray" ? tray : startNow) = true;
            continue;
        }
        const std::string name = lowerAscii(std::string_view(arg).substr(0, arg.find('=')));
        const SettingsField* matched = nullptr;
        for (const SettingsField& field : settingsFields())
            if (!matched && !field.option.empty() && name.find(field.option) != std::string::npos)
                matched = &field;
        if (!matched) {
            host = arg;
            continue;
        }
        const std::string value = arg.find('=') == std::string::npos ? "" : arg.substr(arg.find('=') + 1);
        require(optionValue(arg) == value, "option value is not the text after the first \"=\"");
        if (matched->key == "LogFileName")
            logFile = value;
        else if (matched->key == "AppFileName")
            appFile = value;
        else if (matched->key == "AppParams")
            appParams = value;
    }
    require(s.host == host, "host is not the last argument that names no option, as typed");
    require(s.logFileName == logFile && s.appFileName == appFile && s.appParams == appParams,
            "a text option does not keep its value as typed");
    require(requests.tray == tray && requests.start == startNow, "start requests");
    require(s.recentList == start.recentList && s.resolveIp == start.resolveIp && s.startSound == start.startSound &&
                s.stopSound == start.stopSound && s.historyDays == start.historyDays,
            "a field the command line cannot set changed");

    const LongOptionScan scan = scanLongOptions(args);
    if (scan.error.empty()) {
        for (const auto& [name, value] : scan.given) {
            bool known = false;
            for (const LongOption& option : longOptions())
                known = known || option.name == name;
            require(known, "an unknown long option accepted");
        }
    }
    return 0;
}
