#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/Settings.h"

// Start-up actions asked for on the command line.
struct StartRequests {
    bool tray = false;  // "/tray": hide in the tray (start-up then also starts a run)
    bool start = false; // "/start": start a run at once
};

// Text after the first "=", empty without one.
[[nodiscard]] std::string optionValue(std::string_view arg);
// magnitude of the option's number; `current` when the value is no number.
[[nodiscard]] std::int32_t numericOption(std::string_view arg, std::int32_t current);
// Trimmed, lower-cased value: empty keeps `current`, "yes"/"true"/"1" is true, anything else false.
[[nodiscard]] bool booleanOption(std::string_view arg, bool current);

// Overrides settings from the arguments (program path not included). Options are matched on the
// lower-cased argument, mostly as substrings and in a fixed order, so an option's value can be taken by an
// option tested earlier (/logf=c:/backup/x.log feeds /b); anything that is no option becomes the host as
// typed. Arguments of any length are taken whole.
void applyCommandLine(Settings& s, const std::vector<std::string>& args, StartRequests& requests);

// The text to print and exit with when the first argument is --help or --version; nothing otherwise.
[[nodiscard]] std::optional<std::string> informationalOption(const std::vector<std::string>& args);
