// The service's config file: what a good file gives, and that every kind of mistake is found with its place.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "service/ConfigReader.h"
#include "service/ConfigScalars.h"
#include "support/FifoFile.h"
#include "support/TempDir.h"

namespace {

TEST(ServiceConfig, GroupsGiveOneTargetPerHostWithTheGroupsOptions) {
    const auto result = ConfigReader::parse(R"(
targets:
  - hosts: [gateway.lan, 192.0.2.1, "2001:db8::1"]
    interval: 1m30s
    timeout: 500ms
    size: 120
    ttl: 32
    tos: 0xb8
    source: eth0
    network: ip6
    labels: {site: lab, link: uplink}
    analysis: {mode: loss, good_below: 20, bad_above: 40}
    route_rounds: 0
  - name: gw-jumbo
    host: gateway.lan
    size: 1472
    analysis: {mode: time, good_below: 50, bad_above: 1.5s}
  - host: 127.0.0.1
    analysis: {tries: 7}
history: {days: 90, raw_days: 2}
buckets: [0.0005, 0.001, 1]
resolve_interval: 30s
)");
    ASSERT_TRUE(result.ok()) << ConfigReader::describe("f", result.problems.front());
    const ServiceConfig& c = result.config;
    ASSERT_EQ(c.targets.size(), 5u);

    TargetConfig group;
    group.intervalMs = 90'000;
    group.timeoutMs = 500;
    group.payloadBytes = 120;
    group.ttl = 32;
    group.tos = 0xb8;
    group.source = "eth0";
    group.family = IpAddress::Family::V6;
    group.labels = {{"site", "lab"}, {"link", "uplink"}};
    group.analysis.mode = AnalysisMode::Percent;
    group.analysis.goodBelowPercent = 20;
    group.analysis.badAbovePercent = 40;
    group.routeRounds = 0;
    const std::vector<std::string> hosts = {"gateway.lan", "192.0.2.1", "2001:db8::1"};
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        TargetConfig expected = group;
        expected.host = hosts[i];
        EXPECT_EQ(c.targets[i], expected);
    }

    // A group's options do not leak into the next one: everything else keeps its default.
    TargetConfig jumbo;
    jumbo.name = "gw-jumbo";
    jumbo.host = "gateway.lan";
    jumbo.payloadBytes = 1472;
    jumbo.analysis.mode = AnalysisMode::Time;
    jumbo.analysis.goodBelowMs = 50;
    jumbo.analysis.badAboveMs = 1500;
    EXPECT_EQ(c.targets[3], jumbo);
    EXPECT_EQ(c.targets[3].key(), "gw-jumbo");

    TargetConfig plain;
    plain.host = "127.0.0.1";
    plain.analysis.tries = 7;
    EXPECT_EQ(c.targets[4], plain);
    EXPECT_EQ(plain.intervalMs, 1000);
    EXPECT_EQ(plain.timeoutMs, 2000u);
    EXPECT_EQ(plain.analysis.mode, AnalysisMode::Tries);

    EXPECT_EQ(c.history.days, 90);
    EXPECT_EQ(c.history.rawDays, 2);
    EXPECT_EQ(c.bucketBoundsMicros, (std::vector<std::uint32_t>{500, 1000, 1'000'000}));
    EXPECT_EQ(c.resolveIntervalMs, 30'000u);
}

TEST(ServiceConfig, EmptyFilesWatchNothingWithTheDefaults) {
    for (const char* text : {"", "# nothing yet\n", "targets:\n", "targets: []\n"}) {
        const auto result = ConfigReader::parse(text);
        EXPECT_TRUE(result.ok()) << text;
        EXPECT_EQ(result.config, ServiceConfig{}) << text;
    }
    EXPECT_EQ(ServiceConfig{}.history.days, 30);
    EXPECT_EQ(ServiceConfig{}.history.rawDays, 0);
}

struct BadCase {
    const char* text;
    int line;
    int column;
    const char* says;
};

class BadConfig : public testing::TestWithParam<BadCase> {};

TEST_P(BadConfig, IsRefusedWithItsPlace) {
    const BadCase& c = GetParam();
    const auto result = ConfigReader::parse(c.text);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.config, ServiceConfig{}); // nothing of a bad file is used
    const ConfigProblem& p = result.problems.front();
    EXPECT_EQ(p.line, c.line) << p.message;
    EXPECT_EQ(p.column, c.column) << p.message;
    EXPECT_NE(p.message.find(c.says), std::string::npos) << p.message;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadConfig,
    testing::Values(
        // The YAML itself.
        BadCase{"targets:\n  - hosts: [a, b\n", 3, 1, "end of sequence"},
        BadCase{"targets: [{host: a}]\n---\ntargets: []\n", 2, 1, "more than one document"},
        BadCase{"- a\n- b\n", 1, 1, "the file must be a map"},
        // Keys.
        BadCase{"target:\n  - host: a\n", 1, 1, "unknown key \"target\""},
        BadCase{"targets:\n  - host: a\n    intervall: 1s\n", 3, 5, "expected hosts, host, name"},
        BadCase{"targets:\n  - host: a\n    ttl: 3\n    ttl: 4\n", 4, 5, "given twice"},
        BadCase{"history: {days: 3, keep: 1}\n", 1, 20, "unknown key \"keep\""},
        // Types.
        BadCase{"targets: {host: a}\n", 1, 10, "must be a list of groups"},
        BadCase{"targets:\n  - hosts: a\n", 2, 12, "hosts must be a list"},
        BadCase{"targets:\n  - host: [a]\n", 2, 11, "host needs a single value"},
        BadCase{"targets:\n  - host: a\n    labels: [x]\n", 3, 13, "labels must be a map"},
        BadCase{"targets:\n  - host:\n", 2, 5, "host needs a value"},
        BadCase{"targets:\n  - host: a\n    size: big\n", 3, 11, "expected a whole number"},
        // Ranges.
        BadCase{"targets:\n  - host: a\n    size: 65508\n", 3, 11, "from 0 to 65507"},
        BadCase{"targets:\n  - host: a\n    ttl: 0\n", 3, 10, "from 1 to 255"},
        BadCase{"targets:\n  - host: a\n    tos: 0x100\n", 3, 10, "out of range"},
        BadCase{"targets:\n  - host: a\n    interval: 50ms\n", 3, 15, "out of range"},
        BadCase{"targets:\n  - host: a\n    interval: 10\n", 3, 15, "expected a duration"},
        BadCase{"targets:\n  - host: a\n    route_rounds: 101\n", 3, 19, "from 0 to 100"},
        BadCase{"targets:\n  - host: a\n    network: ipx\n", 3, 14, "ip, ip4 or ip6"},
        BadCase{"targets:\n  - host: a\n    path_watch: yes\n", 3, 17, "true, false or a map"},
        BadCase{"targets:\n  - host: a\n    path_watch: {interval: 5s}\n", 3, 28, "out of range"},
        BadCase{"targets:\n  - host: a\n    path_watch: {rounds: 11}\n", 3, 26, "from 1 to 10"},
        BadCase{"targets:\n  - host: a\n    path_watch: {every: 1m}\n", 3, 18, "expected interval, rounds"},
        BadCase{"targets:\n  - host: a\n    analysis: {mode: loss, good_below: 101}\n", 3, 40, "from 0 to 100"},
        BadCase{"targets:\n  - host: a\n    analysis: {mode: loss, good_below: 50, bad_above: 40}\n", 3, 40,
                "must not exceed"},
        BadCase{"targets:\n  - host: a\n    analysis: {tries: 0}\n", 3, 23, "from 1 to 128"},
        BadCase{"targets:\n  - host: a\n    analysis: {good_below: 5}\n", 3, 28, "go with mode loss or time"},
        BadCase{"targets:\n  - host: a\n    analysis: {mode: time, tries: 5}\n", 3, 35, "tries goes with mode"},
        BadCase{"targets:\n  - host: a\n    analysis: {mode: lost}\n", 3, 22, "tries, loss or time"},
        BadCase{"history: {days: 5, raw_days: 6}\n", 1, 30, "must not exceed days"},
        BadCase{"history: {days: 3651}\n", 1, 17, "from 0 to 3650"},
        BadCase{"buckets: [0.1, 0.1]\n", 1, 16, "must grow"}, BadCase{"buckets: [-1]\n", 1, 11, "number of seconds"},
        BadCase{"buckets: []\n", 1, 10, "an empty list"}, BadCase{"resolve_interval: 500ms\n", 1, 19, "out of range"},
        // Hosts, names and labels.
        BadCase{"targets:\n  - hosts: [a, b]\n  - host: b\n", 3, 11, "\"b\" is watched already (line 2)"},
        BadCase{"targets:\n  - {name: x, host: a}\n  - {name: x, host: b}\n", 3, 12, "\"x\" is watched already"},
        BadCase{"targets:\n  - {name: x, hosts: [a]}\n", 2, 12, "name goes with a single host"},
        BadCase{"targets:\n  - {host: a, hosts: [b]}\n", 2, 12, "either host or hosts"},
        BadCase{"targets:\n  - {size: 3}\n", 2, 5, "needs host or hosts"},
        BadCase{"targets:\n  - host: \"a b\"\n", 2, 11, "without blanks"},
        BadCase{"targets:\n  - host: a\n    labels: {host: x}\n", 3, 14, "no label name of its own"},
        BadCase{"targets:\n  - host: a\n    labels: {__x: x}\n", 3, 14, "no label name of its own"},
        BadCase{"targets:\n  - host: a\n    labels: {1x: x}\n", 3, 14, "no label name of its own"},
        BadCase{"targets:\n  - host: a\n    labels: {x: \xff}\n", 3, 17, "not UTF-8"}));

// The path watch: off unless asked, on with the defaults by a switch, or with its own figures by a map.
TEST(ServiceConfig, PathWatchIsASwitchOrItsFigures) {
    const auto result = ConfigReader::parse("targets:\n"
                                            "  - host: a\n"
                                            "  - {host: b, path_watch: true}\n"
                                            "  - {host: c, path_watch: {interval: 5m, rounds: 10}}\n"
                                            "  - {host: d, path_watch: {rounds: 1}}\n"
                                            "  - {host: e, path_watch: false}\n");
    ASSERT_TRUE(result.ok()) << ConfigReader::describe("f", result.problems.front());
    ASSERT_EQ(result.config.targets.size(), 5u);
    const auto path = [&](std::size_t i) { return result.config.targets[i].pathWatch; };
    EXPECT_EQ(path(0), PathWatchConfig{});
    EXPECT_EQ(path(1), (PathWatchConfig{true, 60'000, 3}));
    EXPECT_EQ(path(2), (PathWatchConfig{true, 300'000, 10}));
    EXPECT_EQ(path(3), (PathWatchConfig{true, 60'000, 1}));
    EXPECT_EQ(path(4), PathWatchConfig{});
}

TEST(ServiceConfig, EveryProblemOfTheFileIsReportedInOnePass) {
    const auto result = ConfigReader::parse("targets:\n"
                                            "  - host: a\n"
                                            "    ttl: 300\n"
                                            "    colour: red\n"
                                            "  - host: a\n"
                                            "history: {days: -1}\n");
    ASSERT_EQ(result.problems.size(), 4u);
    EXPECT_EQ(result.problems[0].line, 3);
    EXPECT_EQ(result.problems[1].line, 4);
    EXPECT_EQ(result.problems[2].line, 5);
    EXPECT_EQ(result.problems[3].line, 6);
    EXPECT_EQ(ConfigReader::describe("/etc/x.yml", result.problems[0]).rfind("/etc/x.yml:3:10: ttl: ", 0), 0u);
}

TEST(ServiceConfig, AliasesRepeatingAListCostAtMostAHundredProblems) {
    std::string hosts;
    for (int i = 1; i <= 200; ++i) {
        hosts += (i > 1 ? ", 127.0.0." : "127.0.0.") + std::to_string(i);
    }
    std::string text = "group: &g {hosts: [" + hosts + "]}\ntargets: [*g";
    for (int i = 0; i < 200; ++i) {
        text += ", *g"; // each one names the 200 hosts again: 40,000 problems from 5 KB
    }
    const auto result = ConfigReader::parse(text + "]\n");
    ASSERT_EQ(result.problems.size(), ConfigReader::kMaxProblems + 1);
    EXPECT_EQ(ConfigReader::describe("f", result.problems.back()),
              "f: stopped after 100 problems; the rest of the file was not checked");
    EXPECT_TRUE(result.config.targets.empty());
}

// --config.check prints to a terminal: a key that holds escape sequences must not retitle or recolour it.
TEST(ServiceConfig, ProblemsCarryNoControlCharacters) {
    const auto result = ConfigReader::parse("\"\x1b]0;owned\x07\x1b[31mred\": 1\n");
    ASSERT_EQ(result.problems.size(), 1u);
    const std::string line = ConfigReader::describe("f\x1b[2J.yml", result.problems[0]);
    EXPECT_EQ(line.find_first_of("\x1b\x07"), std::string::npos) << line;
    EXPECT_EQ(line.rfind("f\\x1b[2J.yml:1:1: unknown key \"\\x1b]0;owned\\x07\\x1b[31mred\" in the file", 0), 0u)
        << line;
}

TEST(ServiceConfig, BrokenStreamsEndWithAProblem) {
    // The YAML library's own document loop never ended on this one.
    const std::string loops("\x2c\xff\xff\xff\xff\xff\xff--\xe0\x9e\xf5\xd2-- b- \nb\xb1\xff\xff\xff\n", 26);
    for (const std::string& text : {loops, std::string("{:"), std::string(",\n"), std::string(3000, '[')}) {
        EXPECT_FALSE(ConfigReader::parse(text).ok()) << text.substr(0, 20);
    }
    // The library calls nesting too deep a "bad file"; say what is wrong with it.
    const auto deep = ConfigReader::parse("targets: " + std::string(3000, '['));
    ASSERT_EQ(deep.problems.size(), 1u);
    EXPECT_EQ(deep.problems[0].message, "lists and maps are nested too deep");
}

TEST(ServiceConfig, DurationsReadAsPrometheusWritesThem) {
    struct Case {
        const char* text;
        std::int64_t ms; // -1: refused
    };
    for (const Case c : std::vector<Case>{{"1s", 1000},
                                          {"500ms", 500},
                                          {"1m30s", 90'000},
                                          {"1.5s", 1500},
                                          {"0.25m", 15'000},
                                          {"2h", 7'200'000},
                                          {"1w1d", 691'200'000},
                                          {"0", 0},
                                          {"1h1h", -1},
                                          {"1s1m", -1},
                                          {"1ms1s", -1},
                                          {"1.0005s", -1}, // finer than a millisecond
                                          {"1", -1},
                                          {"s", -1},
                                          {"1.s", -1},
                                          {"-1s", -1},
                                          {"1 s", -1},
                                          {"99999999999999999999999w", -1}}) {
        std::string why;
        const auto ms = ConfigScalars::durationMs(c.text, 0, std::uint64_t{1} << 40, why);
        if (c.ms < 0) {
            EXPECT_FALSE(ms) << c.text;
            EXPECT_FALSE(why.empty()) << c.text;
        } else {
            EXPECT_EQ(ms, std::optional<std::uint64_t>(c.ms)) << c.text << ": " << why;
            EXPECT_EQ(ConfigScalars::durationMs(ConfigScalars::formatDuration(*ms), 0, std::uint64_t{1} << 40, why),
                      ms);
        }
    }
}

TEST(ServiceConfig, FilesThatCannotBeReadSayWhy) {
    const TempDir dir;
    const auto missing = ConfigReader::readFile(dir.path() + "/none.yml");
    ASSERT_EQ(missing.problems.size(), 1u);
    EXPECT_EQ(ConfigReader::describe("none.yml", missing.problems[0]),
              "none.yml: cannot read: No such file or directory");

    const std::string path = dir.path() + "/ok.yml";
    std::ofstream(path) << "targets:\n  - host: 127.0.0.1\n";
    const auto good = ConfigReader::readFile(path);
    ASSERT_TRUE(good.ok());
    ASSERT_EQ(good.config.targets.size(), 1u);
    EXPECT_EQ(good.config.targets[0].host, "127.0.0.1");
}

// A reload reads the file while the signals and the scrapes wait for it: a FIFO must not hold it for ever.
TEST(ServiceConfig, PipesAndFoldersAreRefusedWithoutWaiting) {
    const TempDir dir;
    const FifoFile fifo(dir.file("fifo.yml"));
    ASSERT_TRUE(fifo.made());
    auto reading = std::async(std::launch::async, [&] { return ConfigReader::readFile(fifo.path()); });
    if (reading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        fifo.release();
        reading.wait();
        FAIL() << "reading a FIFO waited for a writer";
    }
    const auto piped = reading.get();
    ASSERT_EQ(piped.problems.size(), 1u);
    EXPECT_EQ(piped.problems[0].message, "cannot read: a pipe or a socket, not a file");

    const auto folder = ConfigReader::readFile(dir.path());
    ASSERT_EQ(folder.problems.size(), 1u);
    EXPECT_EQ(folder.problems[0].message, "cannot read: Is a directory");
}

} // namespace
