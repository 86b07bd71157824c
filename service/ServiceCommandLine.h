#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "metrics/ListenAddress.h"
#include "service/LogLevel.h"

// What ostrevod was asked to do, read the way the Prometheus exporters read their flags: long options only,
// "--name=VALUE" or "--name VALUE", a flag alone for a boolean.
struct ServiceOptions {
    enum class Action : std::uint8_t { Run, CheckConfig, Help, Version, Fail };

    Action action = Action::Run;
    std::string configFile = "/etc/ostrevo/ostrevod.yml";
    std::vector<ListenAddress> listen; // at least one after parsing
    std::string webConfigFile;         // empty: plain HTTP, no passwords
    std::string historyPath;           // empty: no history kept
    LogSeverity logLevel = LogSeverity::Info;
    std::string error; // with Action::Fail: one line saying what is wrong

    bool operator==(const ServiceOptions&) const = default;
};

std::ostream& operator<<(std::ostream& os, const ServiceOptions& options);

namespace ServiceCommandLine {

inline constexpr std::uint16_t kDefaultPort = 9464;

// Reads the environment for the default history path; tests give their own.
using Environment = std::function<std::optional<std::string>(const std::string& name)>;
[[nodiscard]] Environment processEnvironment();

// The arguments after the program name.
[[nodiscard]] ServiceOptions parse(const std::vector<std::string>& arguments, const Environment& environment);

// Where the history goes when --history.path is not given: the state folder systemd gives the service, else the
// user's data folder for a run by hand. Empty when neither can be found.
[[nodiscard]] std::string defaultHistoryPath(const Environment& environment);

// ":9464" listens on every address of both families, as the exporters do; otherwise what ListenAddress reads.
[[nodiscard]] ListenAddressParse parseListen(const std::string& text);

// Ends in a newline.
[[nodiscard]] std::string usage();

} // namespace ServiceCommandLine
