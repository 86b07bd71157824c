// The Grafana dashboard and the alert rules installed beside the programs, checked against the exposition the
// programs write: a renamed metric or a misspelt state would leave a panel empty or an alert silent for good.
#include "metrics/Exposition.h"
#include "metrics/MetricsRegistry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string sourceDir() {
    const char* dir = std::getenv("OSTREVO_SOURCE_DIR");
    return dir != nullptr ? dir : ".";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const std::string kDashboard = "/metrics/monitoring/grafana-dashboard.json";
const std::string kRules = "/metrics/monitoring/prometheus-rules.yml";

struct CommandRun {
    int exitCode = -1;
    std::string output;
};

CommandRun run(const std::string& command) {
    CommandRun result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buffer[4096];
    while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        result.output.append(buffer, n);
    const int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string python() {
    return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

// The sample names of an exposition with every family filled: a target with replies, a TTL and a status.
std::set<std::string> exposedNames() {
    MetricsRegistry registry("v", 1);
    registry.recordProbe("h", "127.0.0.1", std::chrono::microseconds(300), 0, 64);
    registry.recordProbe("h", "127.0.0.1", std::nullopt, 11010);
    registry.setHostStatus("h", "127.0.0.1", HostStatus::Good);
    std::istringstream lines(writeExposition(registry.snapshot()));
    std::set<std::string> names;
    for (std::string line; std::getline(lines, line);)
        if (!line.starts_with("#"))
            names.insert(line.substr(0, line.find_first_of("{ ")));
    return names;
}

TEST(MonitoringFiles, EveryQueryNamesMetricsAndStatesTheProgramsExport) {
    const std::string source = sourceDir();
    const CommandRun listed = run(python() + " " + source + "/tests/metrics/monitoring_expressions.py " + source +
                                  kDashboard + " " + source + kRules + " 2>&1");
    if (listed.exitCode == 3)
        GTEST_SKIP() << "python3 with PyYAML is not installed (Debian: python3-yaml)";
    ASSERT_EQ(listed.exitCode, 0) << listed.output;

    const std::set<std::string> exposed = exposedNames();
    const std::set<std::string> states = {"good", "average", "bad", "unknown"};
    const std::regex metric(R"(\b(ostrevo_\w+|process_\w+)\b)");
    const std::regex state(R"re(\bstatus\s*=~?\s*"([^"]*)")re");
    std::set<std::string> used;
    std::vector<std::string> alerts;
    std::istringstream lines(listed.output);
    for (std::string line; std::getline(lines, line);) {
        SCOPED_TRACE(line);
        if (line.starts_with("rule\t"))
            alerts.push_back(line.substr(5, line.find('\t', 5) - 5));
        for (std::sregex_iterator it(line.begin(), line.end(), metric), end; it != end; ++it) {
            EXPECT_TRUE(exposed.contains((*it)[1])) << (*it)[1] << " is not exported";
            used.insert((*it)[1]);
        }
        for (std::sregex_iterator it(line.begin(), line.end(), state), end; it != end; ++it)
            EXPECT_TRUE(states.contains((*it)[1])) << "no state " << (*it)[1];
    }
    EXPECT_EQ(alerts, (std::vector<std::string>{"OstrevoHostBad", "OstrevoHeavyLoss"}));
    // The dashboard shows every figure; of a histogram it is enough to use one of its series.
    for (const std::string& name : exposed) {
        const std::string family = std::regex_replace(name, std::regex("_(bucket|sum|count)$"), "");
        const bool shown = std::any_of(used.begin(), used.end(), [&](const std::string& u) {
            return u == name || u.starts_with(family + "_") || u == family;
        });
        EXPECT_TRUE(shown) << name << " is on no panel";
    }
}

TEST(MonitoringFiles, TheReadmeShowsTheRulesFileAsItIs) {
    std::string rules = readFile(sourceDir() + kRules);
    ASSERT_FALSE(rules.empty());
    // The file's opening comment says where it goes; the README says it in its own words.
    while (rules.starts_with("#"))
        rules.erase(0, rules.find('\n') + 1);
    const std::string readme = readFile(sourceDir() + "/README.md");
    EXPECT_NE(readme.find("```yaml\n" + rules + "```\n"), std::string::npos) << "README lacks:\n" << rules;
}

TEST(MonitoringFiles, PromtoolAcceptsTheRules) {
    if (std::system("command -v promtool >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "promtool is not installed (Debian: prometheus)";
    const CommandRun checked = run("promtool check rules " + sourceDir() + kRules + " 2>&1");
    EXPECT_EQ(checked.exitCode, 0) << checked.output;
}

} // namespace
