#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "probe/ProbeCommandLine.h"

namespace {

using Action = ProbeOptions::Action;

ProbeOptions probe(std::string host, std::uint64_t count = 0, std::int32_t intervalMs = 1000,
                   std::int32_t payloadBytes = 32, bool quiet = false) {
    ProbeOptions o;
    o.host = std::move(host);
    o.count = count;
    o.intervalMs = intervalMs;
    o.payloadBytes = payloadBytes;
    o.quiet = quiet;
    return o;
}

ProbeOptions serving(std::string host, std::string metrics) {
    ProbeOptions o = probe(std::move(host));
    o.metricsListen = std::move(metrics);
    return o;
}

ProbeOptions family(std::string host, IpAddress::Family wanted) {
    ProbeOptions o = probe(std::move(host));
    o.family = wanted;
    return o;
}

// The default probe of "h" with one field changed.
template <typename Change> ProbeOptions with(Change change) {
    ProbeOptions o = probe("h");
    change(o);
    return o;
}

ProbeOptions route(std::string host, std::uint64_t rounds, bool json) {
    ProbeOptions o = probe(std::move(host), rounds);
    o.route = true;
    o.json = json;
    return o;
}

ProbeOptions only(Action action) {
    ProbeOptions o;
    o.action = action;
    return o;
}

TEST(ProbeCommandLine, AcceptedForms) {
    const struct {
        std::vector<std::string> args;
        ProbeOptions expected;
    } rows[] = {
        {{"h"}, probe("h")},
        {{"h", "5"}, probe("h", 5)},
        {{"-c", "3", "h"}, probe("h", 3)},
        {{"-c3", "h"}, probe("h", 3)},
        {{"--count=3", "h"}, probe("h", 3)},
        {{"--count", "3", "h"}, probe("h", 3)},
        {{"h", "-c", "3"}, probe("h", 3)}, // options after the host, as ping takes them
        {{"-c", "3", "-c", "4", "h"}, probe("h", 4)},
        {{"-c", "18446744073709551615", "h"}, probe("h", 18446744073709551615u)},
        {{"-i", "0.2", "h"}, probe("h", 0, 200)},
        {{"-i", ".25", "h"}, probe("h", 0, 250)},
        {{"-i2.", "h"}, probe("h", 0, 2000)},
        {{"--interval=1.5", "h"}, probe("h", 0, 1500)},
        {{"-i", "2147483.647", "h"}, probe("h", 0, 2147483647)},
        {{"-s", "0", "h"}, probe("h", 0, 1000, 0)},
        {{"-s", "65507", "h"}, probe("h", 0, 1000, 65507)},
        {{"--size=64", "h"}, probe("h", 0, 1000, 64)},
        {{"-q", "h"}, probe("h", 0, 1000, 32, true)},
        {{"-qc2", "h"}, probe("h", 2, 1000, 32, true)},      // a cluster; -c takes the rest
        {{"-qi", "0.5", "h"}, probe("h", 0, 500, 32, true)}, // the last of a cluster takes the next one
        {{"-c", "2", "-s", "1", "-i", "3", "-q", "h"}, probe("h", 2, 3000, 1, true)},
        {{"--", "h"}, probe("h")},
        {{"-q", "--", "h", "7"}, probe("h", 7, 1000, 32, true)},
        {{"-"}, probe("-")}, // a lone dash is an operand
        {{"--metrics=9100", "h"}, serving("h", "9100")},
        {{"h", "--metrics", "[::1]:9100"}, serving("h", "[::1]:9100")}, // checked once parsing is done
        {{"-6", "::1"}, family("::1", IpAddress::Family::V6)},
        {{"h", "-4"}, family("h", IpAddress::Family::V4)},
        {{"-4", "-4", "h"}, family("h", IpAddress::Family::V4)},
        {{"-q6c2", "h"},
         [] {
             ProbeOptions o = probe("h", 2, 1000, 32, true);
             o.family = IpAddress::Family::V6;
             return o;
         }()},
        // ping's options, in ping's forms
        {{"-W", "5", "h"}, with([](ProbeOptions& o) { o.timeoutMs = 5000; })},
        {{"-W0.25", "h"}, with([](ProbeOptions& o) { o.timeoutMs = 250; })},
        {{"--timeout=.001", "h"}, with([](ProbeOptions& o) { o.timeoutMs = 1; })},
        {{"-t", "1", "h"}, with([](ProbeOptions& o) { o.ttl = 1; })},
        {{"h", "--ttl", "64"}, with([](ProbeOptions& o) { o.ttl = 64; })},
        {{"-t255", "h"}, with([](ProbeOptions& o) { o.ttl = 255; })},
        {{"-w", "10", "h"}, with([](ProbeOptions& o) { o.deadlineMs = 10000; })},
        {{"--deadline=1.5", "h"}, with([](ProbeOptions& o) { o.deadlineMs = 1500; })},
        {{"-I", "eth0", "h"}, with([](ProbeOptions& o) { o.source = "eth0"; })},
        {{"-Ibr-lan.10", "h"}, with([](ProbeOptions& o) { o.source = "br-lan.10"; })},
        {{"--interface=192.0.2.7", "h"}, with([](ProbeOptions& o) { o.source = "192.0.2.7"; })},
        {{"-I", "fe80::1234:5678%enp0s31f6", "h"},
         with([](ProbeOptions& o) { o.source = "fe80::1234:5678%enp0s31f6"; })},
        {{"-I", "2001:db8::1234:5678:9abc:def0", "h"},
         with([](ProbeOptions& o) { o.source = "2001:db8::1234:5678:9abc:def0"; })}, // longer than a name may be
        {{"-D", "h"}, with([](ProbeOptions& o) { o.timestamps = true; })},
        {{"-O", "h"}, with([](ProbeOptions& o) { o.reportMissing = true; })},
        {{"-n", "h"}, with([](ProbeOptions& o) { o.numeric = true; })},
        {{"-nDOqc3", "h"}, with([](ProbeOptions& o) {
             o.numeric = o.timestamps = o.reportMissing = o.quiet = true;
             o.count = 3;
         })},
        {{"-DW1", "h"}, with([](ProbeOptions& o) {
             o.timestamps = true;
             o.timeoutMs = 1000;
         })},
        {{"--route", "h"}, route("h", 0, false)},
        {{"h", "--route", "--json", "-c", "30"}, route("h", 30, true)},
        {{"--json", "--route", "h", "5"}, route("h", 5, true)}, // rounds after HOST, as COUNT
        {{"--help"}, only(Action::Help)},
        {{"-h"}, only(Action::Help)},
        {{"-qh", "x", "y", "z"},
         [] {
             ProbeOptions o = only(Action::Help);
             o.quiet = true;
             return o;
         }()}, // help answers at once, before the operands are judged
        {{"--version", "--bogus"}, only(Action::Version)},
        {{"-V"}, only(Action::Version)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        EXPECT_EQ(ProbeCommandLine::parse(row.args), row.expected);
    }
}

TEST(ProbeCommandLine, BadUsageSaysWhat) {
    const struct {
        std::vector<std::string> args;
        std::string error;
    } rows[] = {
        {{}, "no HOST given"},
        {{"-q"}, "no HOST given"},
        {{"h", "1", "extra"}, "unexpected argument 'extra'"},
        {{"h", "0"}, "invalid count '0': a whole number of at least 1"},
        {{"h", "-3"}, "unknown option '-3'"},
        {{"h", "2x"}, "invalid count '2x': a whole number of at least 1"},
        {{"-c", "2", "h", "3"}, "COUNT is given both as an option and after HOST"},
        {{"-c", "+2", "h"}, "invalid count '+2': a whole number of at least 1"},
        {{"-c", " 2", "h"}, "invalid count ' 2': a whole number of at least 1"},
        {{"-c", "18446744073709551616", "h"}, "invalid count '18446744073709551616': a whole number of at least 1"},
        {{"-c"}, "option '-c' needs a value (COUNT)"},
        {{"h", "--count"}, "option '--count' needs a value (COUNT)"},
        {{"-i", "0.1", "h"}, "invalid interval '0.1': seconds, at least 0.2"},
        {{"-i", "0.199", "h"}, "invalid interval '0.199': seconds, at least 0.2"},
        {{"-i", "-1", "h"}, "invalid interval '-1': seconds, at least 0.2"},
        {{"-i", "1e3", "h"}, "invalid interval '1e3': seconds, at least 0.2"},
        {{"-i", "inf", "h"}, "invalid interval 'inf': seconds, at least 0.2"},
        {{"-i", "nan", "h"}, "invalid interval 'nan': seconds, at least 0.2"},
        {{"-i", "1,5", "h"}, "invalid interval '1,5': seconds, at least 0.2"},
        {{"-i", "2147483.648", "h"}, "invalid interval '2147483.648': seconds, at least 0.2"},
        {{"-s", "65508", "h"}, "invalid size '65508': 0 to 65507 bytes"},
        {{"-s", "-1", "h"}, "invalid size '-1': 0 to 65507 bytes"},
        {{"-x", "h"}, "unknown option '-x'"},
        {{"-qx", "h"}, "unknown option '-x'"},
        {{"--bogus=1", "h"}, "unknown option '--bogus'"},
        {{"--quiet=yes", "h"}, "option '--quiet' takes no value"},
        {{"--metrics=", "h"}, "--metrics needs ADDRESS:PORT or PORT"},
        {{"h", "--metrics"}, "option '--metrics' needs a value (ADDRESS:PORT)"},
        {{"--coun=3", "h"}, "unknown option '--coun'"}, // no guessing from a prefix
        {{"-4", "-6", "h"}, "options '-4' and '-6' exclude each other"},
        {{"-64", "h"}, "options '-4' and '-6' exclude each other"},
        {{"-W", "0", "h"}, "invalid timeout '0': seconds, at least 0.001"}, // ping's "forever" is not offered
        {{"-W", "0.0004", "h"}, "invalid timeout '0.0004': seconds, at least 0.001"},
        {{"-W", "-2", "h"}, "invalid timeout '-2': seconds, at least 0.001"},
        {{"-W", "2s", "h"}, "invalid timeout '2s': seconds, at least 0.001"},
        {{"-W", "2147483.648", "h"}, "invalid timeout '2147483.648': seconds, at least 0.001"},
        {{"-t", "0", "h"}, "invalid TTL '0': 1 to 255"},
        {{"-t", "256", "h"}, "invalid TTL '256': 1 to 255"},
        {{"-t", "0x40", "h"}, "invalid TTL '0x40': 1 to 255"},
        {{"h", "-t"}, "option '-t' needs a value (TTL)"},
        {{"-w", "0", "h"}, "invalid deadline '0': seconds, at least 0.001"},
        {{"-w", "forever", "h"}, "invalid deadline 'forever': seconds, at least 0.001"},
        {{"-I", "", "h"}, "invalid source '': an interface name or an address"},
        {{"-I", "a-name-too-long0", "h"}, "invalid source 'a-name-too-long0': an interface name or an address"},
        {{"-I", "../eth0", "h"}, "invalid source '../eth0': an interface name or an address"},
        {{"-I", "eth 0", "h"}, "invalid source 'eth 0': an interface name or an address"},
        {{"-I", "..", "h"}, "invalid source '..': an interface name or an address"},
        {{"--report-missing=yes", "h"}, "option '--report-missing' takes no value"},
        {{"--json", "h"}, "option '--json' goes with '--route'"},
        {{"--route", "--metrics=9100", "h"}, "options '--route' and '--metrics' exclude each other"},
        {{"--route=1", "h"}, "option '--route' takes no value"},
        {{"/c=3", "h"},
         "invalid count 'h': a whole number of at least 1"}, // the desktop program's options are operands
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        const ProbeOptions parsed = ProbeCommandLine::parse(row.args);
        EXPECT_EQ(parsed.action, Action::Fail) << parsed;
        EXPECT_EQ(parsed.error, row.error);
    }
}

TEST(ProbeCommandLine, UsageListsEveryOptionOfTheTable) {
    const std::string usage = ProbeCommandLine::usage();
    EXPECT_EQ(usage.rfind(ProbeCommandLine::synopsis(), 0), 0u) << usage;
    // The flags together, then the options with values; wrapped before 100 columns.
    EXPECT_EQ(ProbeCommandLine::synopsis(),
              "Usage: ostrevo-probe [-qDOn46] [-c COUNT] [-i SECONDS] [-s BYTES] [-W SECONDS] [-t TTL] [-w SECONDS]\n"
              "                     [-I INTERFACE|ADDRESS] [--metrics ADDRESS:PORT] [--route] [--json] HOST [COUNT]\n");
    for (const auto& option : ProbeCommandLine::options()) {
        SCOPED_TRACE(std::string(option.longName));
        if (option.shortName != '\0') {
            EXPECT_NE(usage.find(std::string("  -") + option.shortName), std::string::npos);
        }
        if (!option.longName.empty()) {
            EXPECT_NE(usage.find("--" + std::string(option.longName)), std::string::npos);
        }
        EXPECT_NE(usage.find(option.help), std::string::npos);
    }
    // What -O changes is said where a ping user looks first.
    EXPECT_NE(usage.find("a request that timed out is only counted there unless -O\nis given"), std::string::npos);
    std::size_t from = 0;
    for (std::size_t end = usage.find('\n'); end != std::string::npos; from = end + 1, end = usage.find('\n', from))
        EXPECT_LE(end - from, 120u) << usage.substr(from, end - from);
}

} // namespace
