#include "service/ConfigNodeReader.h"

#include "service/ConfigScalars.h"
#include "settings/SettingsRules.h"

#include <algorithm>
#include <set>

namespace {

constexpr std::int64_t kMaxPayload = 65507; // the largest echo payload IPv4 carries
constexpr std::uint64_t kShortestIntervalMs = 100;
constexpr std::uint64_t kLongestIntervalMs = std::uint64_t{SettingsLimits::maxIntervalSeconds} * 1000;
constexpr std::uint64_t kLongestTimeoutMs = 60'000;
constexpr std::uint64_t kShortestResolveMs = 1'000;
constexpr std::uint64_t kLongestResolveMs = 7 * 86'400'000ULL;
constexpr std::uint64_t kShortestPathMs = std::uint64_t{SettingsLimits::minPathIntervalSeconds} * 1000;
constexpr std::uint64_t kLongestPathMs = std::uint64_t{SettingsLimits::maxPathIntervalSeconds} * 1000;

const char* kindOf(const YAML::Node& node) {
    switch (node.Type()) {
    case YAML::NodeType::Sequence:
        return "a list";
    case YAML::NodeType::Map:
        return "a map";
    case YAML::NodeType::Null:
        return "nothing";
    case YAML::NodeType::Scalar:
        return "a single value";
    default:
        return "nothing";
    }
}

} // namespace

bool ConfigNodeReader::forEachKey(const YAML::Node& map, std::string_view what,
                                  std::initializer_list<std::string_view> allowed, const KeyHandler& handle) {
    if (!map.IsMap()) {
        fail(map, std::string(what) + " must be a map, found " + kindOf(map));
        return false;
    }
    std::set<std::string> seen;
    for (const auto& entry : map) {
        const YAML::Node& keyNode = entry.first;
        if (!keyNode.IsScalar()) {
            fail(keyNode,
                 std::string("a key in ") + std::string(what) + " must be a single word, found " + kindOf(keyNode));
            continue;
        }
        const std::string key = keyNode.Scalar();
        if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
            std::string expected;
            for (const std::string_view name : allowed) {
                expected += (expected.empty() ? "" : ", ") + std::string(name);
            }
            fail(keyNode,
                 "unknown key \"" + key.substr(0, 60) + "\" in " + std::string(what) + "; expected " + expected);
            continue;
        }
        if (!seen.insert(key).second) {
            fail(keyNode, "\"" + key + "\" is given twice in " + std::string(what));
            continue;
        }
        if (entry.second.IsNull() && key != "targets") {
            // A missing value has no place of its own in the file: point at its key.
            fail(keyNode, key + " needs a value");
            continue;
        }
        handle(key, entry.second);
    }
    return true;
}

std::optional<std::string> ConfigNodeReader::scalar(const YAML::Node& node, std::string_view key) {
    if (!node.IsScalar()) {
        fail(node, std::string(key) + " needs a single value, found " + kindOf(node));
        return std::nullopt;
    }
    return node.Scalar();
}

template <class T>
void ConfigNodeReader::integer(const YAML::Node& node, std::string_view key, std::int64_t low, std::int64_t high,
                               T& out) {
    if (const auto text = scalar(node, key)) {
        std::string why;
        if (const auto value = ConfigScalars::integer(*text, low, high, why)) {
            out = static_cast<T>(*value);
        } else {
            fail(node, std::string(key) + ": " + why);
        }
    }
}

template <class T>
void ConfigNodeReader::duration(const YAML::Node& node, std::string_view key, std::uint64_t low, std::uint64_t high,
                                T& out) {
    if (const auto text = scalar(node, key)) {
        std::string why;
        if (const auto value = ConfigScalars::durationMs(*text, low, high, why)) {
            out = static_cast<T>(*value);
        } else {
            fail(node, std::string(key) + ": " + why);
        }
    }
}

void ConfigNodeReader::read(const YAML::Node& root, ServiceConfig& config) {
    if (root.IsNull()) {
        return; // an empty file watches nothing, which is no error
    }
    forEachKey(root, "the file", {"targets", "history", "buckets", "resolve_interval"},
               [&](const std::string& key, const YAML::Node& value) {
                   if (key == "targets") {
                       readTargets(value, config);
                   } else if (key == "history") {
                       readHistory(value, config.history);
                   } else if (key == "buckets") {
                       readBuckets(value, config.bucketBoundsMicros);
                   } else {
                       duration(value, key, kShortestResolveMs, kLongestResolveMs, config.resolveIntervalMs);
                   }
               });
}

void ConfigNodeReader::readTargets(const YAML::Node& list, ServiceConfig& config) {
    if (list.IsNull()) {
        return;
    }
    if (!list.IsSequence()) {
        fail(list, std::string("targets must be a list of groups, found ") + kindOf(list));
        return;
    }
    for (const YAML::Node& group : list) {
        readGroup(group, config);
        if (config.targets.size() > ConfigReader::kMaxTargets) {
            fail(group, "more than " + std::to_string(ConfigReader::kMaxTargets) + " targets");
            config.targets.clear();
            return;
        }
    }
}

void ConfigNodeReader::readGroup(const YAML::Node& group, ServiceConfig& config) {
    TargetConfig options;
    std::vector<std::pair<std::string, YAML::Node>> hosts;
    std::optional<YAML::Node> hostsNode, hostNode, nameNode;
    const bool isMap =
        forEachKey(group, "a target group",
                   {"hosts", "host", "name", "interval", "timeout", "size", "ttl", "tos", "source", "network", "labels",
                    "analysis", "route_rounds", "path_watch"},
                   [&](const std::string& key, const YAML::Node& value) {
                       if (key == "hosts") {
                           hostsNode = value;
                           if (!value.IsSequence()) {
                               fail(value, std::string("hosts must be a list, found ") + kindOf(value));
                               return;
                           }
                           for (const YAML::Node& host : value) {
                               if (const auto text = scalar(host, "a host")) {
                                   hosts.emplace_back(*text, host);
                               }
                           }
                       } else if (key == "host") {
                           hostNode = value;
                           if (const auto text = scalar(value, key)) {
                               hosts.emplace_back(*text, value);
                           }
                       } else if (key == "name") {
                           nameNode = value;
                           if (const auto text = scalar(value, key)) {
                               if (text->empty() || !ConfigScalars::isValidUtf8(*text) || text->size() > 255) {
                                   fail(value, "name must be a text of 1 to 255 bytes in UTF-8");
                               } else {
                                   options.name = *text;
                               }
                           }
                       } else if (key == "interval") {
                           duration(value, key, kShortestIntervalMs, kLongestIntervalMs, options.intervalMs);
                       } else if (key == "timeout") {
                           duration(value, key, 1, kLongestTimeoutMs, options.timeoutMs);
                       } else if (key == "size") {
                           integer(value, key, 0, kMaxPayload, options.payloadBytes);
                       } else if (key == "ttl") {
                           integer(value, key, 1, 255, options.ttl);
                       } else if (key == "tos") {
                           integer(value, key, 0, 255, options.tos);
                       } else if (key == "source") {
                           if (const auto text = scalar(value, key)) {
                               if (ConfigScalars::isHostText(*text)) {
                                   options.source = *text;
                               } else {
                                   fail(value, "source must be an address or an interface name");
                               }
                           }
                       } else if (key == "network") {
                           if (const auto text = scalar(value, key)) {
                               if (*text == "ip") {
                                   options.family = IpAddress::Family::None;
                               } else if (*text == "ip4") {
                                   options.family = IpAddress::Family::V4;
                               } else if (*text == "ip6") {
                                   options.family = IpAddress::Family::V6;
                               } else {
                                   fail(value, "network must be ip, ip4 or ip6");
                               }
                           }
                       } else if (key == "labels") {
                           readLabels(value, options.labels);
                       } else if (key == "analysis") {
                           readAnalysis(value, options.analysis);
                       } else if (key == "path_watch") {
                           readPathWatch(value, options.pathWatch);
                       } else {
                           integer(value, key, 0, SettingsLimits::maxRouteRounds, options.routeRounds);
                       }
                   });
    if (!isMap) {
        return;
    }
    if (hostsNode && hostNode) {
        fail(*hostNode, "a group takes either host or hosts, not both");
        return;
    }
    if (!hostsNode && !hostNode) {
        fail(group, "a target group needs host or hosts");
        return;
    }
    if (nameNode && hostsNode) {
        fail(*nameNode, "name goes with a single host; give each named target a group of its own");
        return;
    }
    for (const auto& [host, node] : hosts) {
        if (!ConfigScalars::isHostText(host)) {
            fail(node, "a host must be a name or an address without blanks, of at most 255 bytes");
            continue;
        }
        TargetConfig target = options;
        target.host = host;
        const YAML::Node& keyNode = nameNode ? *nameNode : node;
        const auto [where, fresh] = keyLines_.emplace(target.key(), keyNode.Mark().line + 1);
        if (!fresh) {
            fail(keyNode, "\"" + target.key().substr(0, 60) + "\" is watched already (line " +
                              std::to_string(where->second) + "); give one of them a name");
            continue;
        }
        config.targets.push_back(std::move(target));
    }
}

void ConfigNodeReader::readPathWatch(const YAML::Node& value, PathWatchConfig& path) {
    // A switch alone takes the defaults; a map switches it on with its own figures.
    if (value.IsScalar()) {
        if (value.Scalar() == "true") {
            path.on = true;
        } else if (value.Scalar() == "false") {
            path.on = false;
        } else {
            fail(value, "path_watch must be true, false or a map of interval and rounds");
        }
        return;
    }
    path.on =
        forEachKey(value, "path_watch", {"interval", "rounds"}, [&](const std::string& key, const YAML::Node& figure) {
            if (key == "interval") {
                duration(figure, key, kShortestPathMs, kLongestPathMs, path.intervalMs);
            } else {
                integer(figure, key, 1, SettingsLimits::maxPathRounds, path.rounds);
            }
        });
}

void ConfigNodeReader::readAnalysis(const YAML::Node& map, AnalysisConfig& analysis) {
    std::optional<YAML::Node> triesNode, goodNode, badNode;
    const bool isMap = forEachKey(map, "analysis", {"mode", "tries", "good_below", "bad_above"},
                                  [&](const std::string& key, const YAML::Node& value) {
                                      if (key == "mode") {
                                          if (const auto text = scalar(value, key)) {
                                              if (*text == "tries") {
                                                  analysis.mode = AnalysisMode::Tries;
                                              } else if (*text == "loss") {
                                                  analysis.mode = AnalysisMode::Percent;
                                              } else if (*text == "time") {
                                                  analysis.mode = AnalysisMode::Time;
                                              } else {
                                                  fail(value, "mode must be tries, loss or time");
                                              }
                                          }
                                      } else if (key == "tries") {
                                          triesNode = value;
                                      } else if (key == "good_below") {
                                          goodNode = value;
                                      } else {
                                          badNode = value;
                                      }
                                  });
    if (!isMap) {
        return;
    }
    // The thresholds' meaning depends on the mode, which may come after them.
    if (analysis.mode == AnalysisMode::Tries) {
        if (triesNode) {
            integer(*triesNode, "tries", SettingsLimits::minTries, SettingsLimits::maxTries, analysis.tries);
        }
        for (const auto& node : {goodNode, badNode}) {
            if (node) {
                fail(*node, "good_below and bad_above go with mode loss or time; mode tries counts results in a row");
            }
        }
        return;
    }
    if (triesNode) {
        fail(*triesNode, "tries goes with mode tries");
    }
    if (analysis.mode == AnalysisMode::Percent) {
        if (goodNode) {
            integer(*goodNode, "good_below", 0, SettingsLimits::maxPercent, analysis.goodBelowPercent);
        }
        if (badNode) {
            integer(*badNode, "bad_above", 0, SettingsLimits::maxPercent, analysis.badAbovePercent);
        }
        if (analysis.goodBelowPercent > analysis.badAbovePercent) {
            fail(goodNode ? *goodNode : *badNode, "good_below (" + std::to_string(analysis.goodBelowPercent) +
                                                      ") must not exceed bad_above (" +
                                                      std::to_string(analysis.badAbovePercent) + ")");
        }
        return;
    }
    // A time may be written in milliseconds or as a duration.
    const auto readTime = [&](const YAML::Node& node, std::string_view key, std::uint32_t& out) {
        const auto text = scalar(node, key);
        if (!text) {
            return;
        }
        std::string why;
        if (!text->empty() && text->find_first_not_of("0123456789") == std::string::npos) {
            integer(node, key, 0, SettingsLimits::maxTime, out);
        } else if (const auto ms = ConfigScalars::durationMs(*text, 0, SettingsLimits::maxTime, why)) {
            out = static_cast<std::uint32_t>(*ms);
        } else {
            fail(node, std::string(key) + ": " + why);
        }
    };
    if (goodNode) {
        readTime(*goodNode, "good_below", analysis.goodBelowMs);
    }
    if (badNode) {
        readTime(*badNode, "bad_above", analysis.badAboveMs);
    }
    if (analysis.goodBelowMs > analysis.badAboveMs) {
        fail(goodNode ? *goodNode : *badNode, "good_below (" + ConfigScalars::formatDuration(analysis.goodBelowMs) +
                                                  ") must not exceed bad_above (" +
                                                  ConfigScalars::formatDuration(analysis.badAboveMs) + ")");
    }
}

void ConfigNodeReader::readLabels(const YAML::Node& map, std::map<std::string, std::string>& labels) {
    if (!map.IsMap()) {
        fail(map, std::string("labels must be a map of names to values, found ") + kindOf(map));
        return;
    }
    for (const auto& entry : map) {
        const YAML::Node& nameNode = entry.first;
        const YAML::Node& valueNode = entry.second;
        const auto name = scalar(nameNode, "a label name");
        const auto value = scalar(valueNode, "a label value");
        if (!name || !value) {
            continue;
        }
        if (!ConfigScalars::isLabelName(*name)) {
            fail(nameNode, "\"" + name->substr(0, 60) +
                               "\" is no label name of its own: letters, digits and _, not starting with a digit "
                               "or __, and not host, address, target or le");
        } else if (!ConfigScalars::isValidUtf8(*value)) {
            fail(valueNode, "the value of label " + *name + " is not UTF-8");
        } else if (!labels.emplace(*name, *value).second) {
            fail(nameNode, "label " + *name + " is given twice");
        } else if (labels.size() > ConfigReader::kMaxLabels) {
            fail(nameNode, "more than " + std::to_string(ConfigReader::kMaxLabels) + " labels");
            return;
        }
    }
}

void ConfigNodeReader::readHistory(const YAML::Node& map, HistoryConfig& history) {
    std::optional<YAML::Node> rawNode;
    forEachKey(map, "history", {"days", "raw_days"}, [&](const std::string& key, const YAML::Node& value) {
        if (key == "days") {
            integer(value, key, 0, SettingsLimits::maxHistoryDays, history.days);
        } else {
            rawNode = value;
            integer(value, key, 0, SettingsLimits::maxHistoryDays, history.rawDays);
        }
    });
    if (rawNode && history.rawDays > history.days) {
        fail(*rawNode, "raw_days (" + std::to_string(history.rawDays) + ") must not exceed days (" +
                           std::to_string(history.days) + ")");
    }
}

void ConfigNodeReader::readBuckets(const YAML::Node& list, std::vector<std::uint32_t>& bounds) {
    if (!list.IsSequence() || list.size() == 0) {
        fail(list, std::string("buckets must be a list of upper bounds in seconds, found ") +
                       (list.IsSequence() ? "an empty list" : kindOf(list)));
        return;
    }
    if (list.size() > ConfigReader::kMaxBuckets) {
        fail(list, "more than " + std::to_string(ConfigReader::kMaxBuckets) + " buckets");
        return;
    }
    for (const YAML::Node& node : list) {
        const auto text = scalar(node, "a bucket");
        if (!text) {
            continue;
        }
        std::string why;
        const auto micros = ConfigScalars::secondsAsMicros(*text, why);
        if (!micros) {
            fail(node, "buckets: " + why);
        } else if (!bounds.empty() && *micros <= bounds.back()) {
            fail(node, "buckets must grow from one to the next, in steps of at least a microsecond");
        } else {
            bounds.push_back(*micros);
        }
    }
}
