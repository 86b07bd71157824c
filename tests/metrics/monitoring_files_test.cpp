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

// The sample names of an exposition with every family filled: a target with replies, a TTL, a status and a
// route trace that found loss.
std::set<std::string> exposedNames() {
    MetricsRegistry registry("v", 1);
    registry.recordProbe("h", "127.0.0.1", std::chrono::microseconds(300), 0, 64);
    registry.recordProbe("h", "127.0.0.1", std::nullopt, 11010);
    registry.setHostStatus("h", "127.0.0.1", HostStatus::Good);
    registry.setRouteLossBegins("h", "127.0.0.1", 3);
    std::istringstream lines(writeExposition(registry.snapshot()));
    std::set<std::string> names;
    for (std::string line; std::getline(lines, line);)
        if (!line.starts_with("#"))
            names.insert(line.substr(0, line.find_first_of("{ ")));
    return names;
}

// The queries of both files, as monitoring_expressions.py lists them.
CommandRun listQueries() {
    const std::string source = sourceDir();
    return run(python() + " " + source + "/tests/metrics/monitoring_expressions.py " + source + kDashboard + " " +
               source + kRules + " 2>&1");
}

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::size_t from = 0;
    for (std::size_t tab = line.find('\t'); tab != std::string::npos; from = tab + 1, tab = line.find('\t', from))
        out.push_back(line.substr(from, tab - from));
    out.push_back(line.substr(from));
    return out;
}

TEST(MonitoringFiles, EveryQueryNamesMetricsAndStatesTheProgramsExport) {
    const CommandRun listed = listQueries();
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

// With fifty hosts one graph of all of them reads as noise: the status of every picked host stays on one state
// timeline, and each host's own figures repeat in a row per host, its heatmap made of its replies alone.
TEST(MonitoringFiles, TheDashboardPicksHostsAndRepeatsTheirPanelsPerHost) {
    const CommandRun listed = listQueries();
    if (listed.exitCode == 3)
        GTEST_SKIP() << "python3 with PyYAML is not installed (Debian: python3-yaml)";
    ASSERT_EQ(listed.exitCode, 0) << listed.output;
    bool hostVariable = false;
    std::set<std::string> repeatedTypes;
    std::size_t heatmaps = 0;
    std::size_t statusTimelines = 0;
    std::istringstream lines(listed.output);
    for (std::string line; std::getline(lines, line);) {
        SCOPED_TRACE(line);
        const std::vector<std::string> f = fields(line);
        if (f[0] == "variable" && f.size() == 5 && f[1] == "host") {
            hostVariable = true;
            EXPECT_EQ(f[2], "1") << "several hosts can be picked";
            EXPECT_EQ(f[3], "1") << "All is offered";
        }
        if (f[0] != "dashboard")
            continue;
        ASSERT_EQ(f.size(), 4u);
        const std::string& type = f[1];
        const std::string& repeat = f[2];
        const std::string& expr = f[3];
        if (expr.find("ostrevo_host_status") != std::string::npos && type == "state-timeline") {
            ++statusTimelines;
            EXPECT_EQ(repeat, "") << "one timeline for all picked hosts";
        }
        if (repeat == "host")
            repeatedTypes.insert(type);
        // A host's figures are shown per host; only the status overview and the machines' table stand once.
        const bool ofAHost =
            expr.find("ostrevo_probe_") != std::string::npos || expr.find("ostrevo_route_") != std::string::npos;
        if (ofAHost) {
            EXPECT_EQ(repeat, "host");
        }
        if (type == "heatmap") {
            ++heatmaps;
            EXPECT_EQ(repeat, "host");
            // Summing the buckets of every host into one map would hide which host is slow.
            EXPECT_NE(expr.find("host=~\"$host\""), std::string::npos);
        }
    }
    EXPECT_TRUE(hostVariable);
    EXPECT_EQ(statusTimelines, 1u);
    EXPECT_GE(heatmaps, 1u);
    EXPECT_TRUE(repeatedTypes.contains("timeseries"));
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
