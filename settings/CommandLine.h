#pragma once

#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "settings/Settings.h"

// Start-up actions asked for on the command line.
struct StartRequests {
    bool tray = false;  // "/tray": hide in the tray (start-up then also starts a run)
    bool start = false; // "/start": start a run at once
};

// Text after the first "=", empty without one; the case is kept.
[[nodiscard]] std::string optionValue(std::string_view arg);
// Magnitude of the option's number; `current` when the value is no number.
[[nodiscard]] std::int32_t numericOption(std::string_view arg, std::int32_t current);
// Trimmed, lower-cased value: empty keeps `current`, "yes"/"true"/"1" is true, anything else false.
[[nodiscard]] bool booleanOption(std::string_view arg, bool current);

// Overrides settings from the arguments (program path not included). "/tray" and "/start" match only the
// whole argument. Every other option is recognised by the text before the argument's first "=", ignoring
// case and in a fixed order, as a substring (so /buffer=64 is /b); its value is taken as typed. Arguments
// starting with "--" are the program's own long options and are left alone; anything else becomes the host
// as typed. Arguments of any length are taken whole.
void applyCommandLine(Settings& s, const std::vector<std::string>& args, StartRequests& requests);

// One of the program's own "--" options. A new option is one more row in longOptions().
struct LongOption {
    std::string_view name;      // "--help"
    std::string_view valueName; // "ADDRESS" for an option given as --name=ADDRESS; empty when it takes none
    std::string_view help;      // its line in the usage text
};
[[nodiscard]] std::span<const LongOption> longOptions();

// The long options found among the arguments, each with its value (empty when it takes none); when one is
// given twice, the last one counts. `error` names the first argument that is no known option or misses or
// wrongly carries a value; the program then prints it with the usage on stderr and exits with status 2.
struct LongOptionScan {
    std::map<std::string, std::string, std::less<>> given;
    std::string error;

    [[nodiscard]] bool has(std::string_view name) const { return given.find(name) != given.end(); }
};
// Qt's own options spelled with two dashes (--platform, --style=...) belong to Qt and are skipped.
[[nodiscard]] LongOptionScan scanLongOptions(const std::vector<std::string>& args);

// "--autostart" asks for the tray and a run, as "/tray" does, but overrides no setting: it is the one
// argument after which the settings are still saved at exit.
[[nodiscard]] bool isAutostartArgument(std::string_view arg);

[[nodiscard]] std::string usageText();
[[nodiscard]] std::string versionText();
