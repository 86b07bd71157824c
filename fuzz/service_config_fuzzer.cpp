// The service's config reader on any file: it never crashes or hangs, a refused file comes with places inside the
// file and gives nothing, and an accepted one gives only targets in range, each key once.

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "service/ConfigReader.h"
#include "service/ConfigScalars.h"
#include "settings/SettingsRules.h"

#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ConfigReadResult result = ConfigReader::parse(text);
    if (!result.ok()) {
        require(result.config == ServiceConfig{}, "a refused file gives nothing");
        std::size_t lines = 1;
        for (const char c : text) {
            lines += c == '\n' ? 1 : 0;
        }
        for (const ConfigProblem& p : result.problems) {
            require(!p.message.empty(), "every problem says what");
            require(p.line >= 0 && static_cast<std::size_t>(p.line) <= lines, "a problem's line is in the file");
            require(p.column >= 0 && static_cast<std::size_t>(p.column) <= size + 1, "a column is in the file");
            require((p.line == 0) == (p.column == 0), "a place has both a line and a column");
        }
        return 0;
    }
    const ServiceConfig& c = result.config;
    require(c.targets.size() <= ConfigReader::kMaxTargets, "at most the allowed targets");
    std::set<std::string> keys;
    for (const TargetConfig& t : c.targets) {
        require(keys.insert(t.key()).second, "each target's key once");
        require(ConfigScalars::isHostText(t.host), "hosts without blanks");
        require(t.intervalMs >= 100, "an interval of at least 100 ms");
        require(t.timeoutMs >= 1 && t.timeoutMs <= 60'000, "a timeout within a minute");
        require(t.payloadBytes >= 0 && t.payloadBytes <= 65507, "a payload IPv4 carries");
        require(t.ttl >= 1, "a TTL of at least 1");
        require(t.routeRounds >= 0 && t.routeRounds <= static_cast<std::int32_t>(SettingsLimits::maxRouteRounds),
                "route rounds in range");
        require(t.analysis.tries >= SettingsLimits::minTries && t.analysis.tries <= SettingsLimits::maxTries,
                "tries in range");
        require(t.analysis.goodBelowPercent <= t.analysis.badAbovePercent && t.analysis.badAbovePercent <= 100,
                "percent thresholds ordered");
        require(t.analysis.goodBelowMs <= t.analysis.badAboveMs, "time thresholds ordered");
        for (const auto& [name, value] : t.labels) {
            require(ConfigScalars::isLabelName(name) && ConfigScalars::isValidUtf8(value), "labels usable as is");
        }
    }
    for (std::size_t i = 1; i < c.bucketBoundsMicros.size(); ++i) {
        require(c.bucketBoundsMicros[i - 1] < c.bucketBoundsMicros[i], "buckets grow");
    }
    require(c.history.rawDays <= c.history.days, "raw probes kept no longer than the rest");
    return 0;
}
