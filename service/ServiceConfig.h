#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include "settings/Settings.h"
#include "types/IpAddress.h"

// How one target's status is judged: the desktop's three modes with its thresholds and defaults.
struct AnalysisConfig {
    AnalysisMode mode = SettingsDefaults::analysisMode;
    std::uint8_t tries = SettingsDefaults::tries;
    std::uint8_t goodBelowPercent = SettingsDefaults::minPercent;
    std::uint8_t badAbovePercent = SettingsDefaults::maxPercent;
    std::uint32_t goodBelowMs = SettingsDefaults::minTime;
    std::uint32_t badAboveMs = SettingsDefaults::maxTime;

    bool operator==(const AnalysisConfig&) const = default;
};

// Whether a target's path is traced and kept over time, and how often.
struct PathWatchConfig {
    bool on = false;
    std::uint32_t intervalMs = std::uint32_t{SettingsDefaults::pathIntervalSeconds} * 1000;
    std::uint32_t rounds = SettingsDefaults::pathRounds;

    bool operator==(const PathWatchConfig&) const = default;
};

// One watched target: a host with the options of the group it came from. Two targets are the same watch
// exactly when they compare equal, which is what lets a reload keep the runs of those that did not change.
struct TargetConfig {
    std::string name; // empty unless the file names it
    std::string host; // a name or a numeric address, as written
    std::int32_t intervalMs = 1000;
    std::uint32_t timeoutMs = 2000;
    std::int32_t payloadBytes = 56; // what ping and smokeping_prober send
    std::uint8_t ttl = 64;
    std::uint8_t tos = 0;
    std::string source;                                 // an address or an interface name; empty: the kernel's choice
    IpAddress::Family family = IpAddress::Family::None; // None: IPv4 first, then IPv6
    std::map<std::string, std::string> labels;
    AnalysisConfig analysis;
    std::int32_t routeRounds = SettingsDefaults::routeRounds;
    PathWatchConfig pathWatch;

    // What tells targets apart in the file, the logs and the series: the name where one is given, else the host.
    [[nodiscard]] const std::string& key() const { return name.empty() ? host : name; }

    bool operator==(const TargetConfig&) const = default;
};

struct HistoryConfig {
    std::int32_t days = SettingsDefaults::historyDays; // outages, status changes, routes, minute and hour figures
    std::int32_t rawDays = 0;                          // every probe; a service with many targets keeps none

    bool operator==(const HistoryConfig&) const = default;
};

// Everything the service's config file says.
struct ServiceConfig {
    std::vector<TargetConfig> targets;
    HistoryConfig history;
    std::vector<std::uint32_t> bucketBoundsMicros; // empty: the built-in round-trip buckets
    std::uint32_t resolveIntervalMs = 5 * 60 * 1000;

    bool operator==(const ServiceConfig&) const = default;
};

void PrintTo(const TargetConfig& target, std::ostream* os);
void PrintTo(const ServiceConfig& config, std::ostream* os);
