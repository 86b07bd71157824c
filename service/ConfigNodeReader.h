#pragma once

#include <yaml-cpp/yaml.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/ConfigReader.h"

// Reads one document into a ServiceConfig, noting every problem on the way.
class ConfigNodeReader {
public:
    explicit ConfigNodeReader(std::vector<ConfigProblem>& problems) : problems_(problems) {}

    // Thrown by read() once the problems reach ConfigReader::kMaxProblems.
    struct TooManyProblems {};

    void read(const YAML::Node& root, ServiceConfig& config);

private:
    using KeyHandler = std::function<void(const std::string& key, const YAML::Node& value)>;

    void fail(const YAML::Mark& mark, std::string message) {
        problems_.push_back(
            {mark.is_null() ? 0 : mark.line + 1, mark.is_null() ? 0 : mark.column + 1, std::move(message)});
        if (problems_.size() >= ConfigReader::kMaxProblems) {
            throw TooManyProblems{};
        }
    }
    void fail(const YAML::Node& at, std::string message) { fail(at.Mark(), std::move(message)); }

    // Calls `handle` for each key of a map once, after checking it is one of `allowed` and not repeated.
    bool forEachKey(const YAML::Node& map, std::string_view what, std::initializer_list<std::string_view> allowed,
                    const KeyHandler& handle);
    std::optional<std::string> scalar(const YAML::Node& node, std::string_view key);
    template <class T>
    void integer(const YAML::Node& node, std::string_view key, std::int64_t low, std::int64_t high, T& out);
    template <class T>
    void duration(const YAML::Node& node, std::string_view key, std::uint64_t low, std::uint64_t high, T& out);

    void readTargets(const YAML::Node& list, ServiceConfig& config);
    void readGroup(const YAML::Node& group, ServiceConfig& config);
    void readAnalysis(const YAML::Node& map, AnalysisConfig& analysis);
    void readPathWatch(const YAML::Node& value, PathWatchConfig& path);
    void readLabels(const YAML::Node& map, std::map<std::string, std::string>& labels);
    void readHistory(const YAML::Node& map, HistoryConfig& history);
    void readBuckets(const YAML::Node& list, std::vector<std::uint32_t>& bounds);

    std::vector<ConfigProblem>& problems_;
    std::map<std::string, int> keyLines_; // each target's key, and the line that first named it
};
