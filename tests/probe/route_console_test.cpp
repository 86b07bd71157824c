#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "engine/RouteResult.h"
#include "probe/RouteConsole.h"
#include "support/DelayWire.h"
#include "support/NetNamespace.h"
#include "support/RouterChain.h"
#include "support/ShellCommand.h"

// `ostrevo-probe --route`: the table and the JSON it prints, and the hops it sees beside mtr's on a chain of
// private namespaces where the second router loses a share of what it forwards.

namespace {

RouteHop hop(std::uint8_t number, const char* address, std::uint32_t sent, std::uint32_t received,
             std::uint32_t lastUs = 0, std::uint32_t averageUs = 0) {
    RouteHop h;
    h.number = number;
    if (address != nullptr)
        h.answered.push_back(IpAddress::v4(inet_addr(address)));
    h.sent = sent;
    h.received = received;
    h.lastUs = lastUs;
    h.bestUs = lastUs;
    h.worstUs = averageUs * 2;
    h.averageUs = averageUs;
    h.stdDevUs = 150;
    return h;
}

RouteResult sample() {
    RouteResult result;
    result.destination = IpAddress::v4(inet_addr("198.18.5.2"));
    result.rounds = 10;
    result.hops = {hop(1, "198.18.1.2", 10, 10, 120, 140), hop(2, nullptr, 10, 0),
                   hop(3, "198.18.3.2", 10, 6, 1049, 2351), hop(4, "198.18.5.2", 10, 5, 12345, 10000)};
    result.hops[2].answered.push_back(IpAddress::v4(inet_addr("198.18.30.2")));
    result.reached = true;
    result.lossBeginsAt = 3;
    return result;
}

TEST(RouteConsoleText, TableHasMtrColumnsInMillisecondsAndTheLossLine) {
    EXPECT_EQ(RouteConsole::table(sample(), "far"),
              "Route to far [198.18.5.2], 10 rounds:\n"
              "Hop  Address          Loss%   Snt   Last    Avg   Best   Wrst  StDev\n"
              "  1  198.18.1.2        0.0%    10    0.1    0.1    0.1    0.3    0.1\n"
              "  2  ???             100.0%    10      -      -      -      -      -\n"
              "  3  198.18.3.2       40.0%    10    1.0    2.4    1.0    4.7    0.1\n"
              "     198.18.30.2\n"
              "  4  198.18.5.2       50.0%    10   12.3   10.0   12.3   20.0    0.1\n"
              "Loss begins at hop 3 (198.18.3.2)\n");
}

TEST(RouteConsoleText, JsonHasTheHopFiguresAndWhereLossBegins) {
    RouteResult result = sample();
    result.hops.resize(2);
    result.lossBeginsAt.reset();
    EXPECT_EQ(RouteConsole::json(result),
              "{\"destination\":\"198.18.5.2\",\"rounds\":10,\"reached\":true,\"hops\":["
              "{\"hop\":1,\"address\":\"198.18.1.2\",\"addresses\":[\"198.18.1.2\"],\"sent\":10,\"lost\":0,"
              "\"loss_percent\":0.0,\"last_ms\":0.120,\"avg_ms\":0.140,\"best_ms\":0.120,\"worst_ms\":0.280,"
              "\"stddev_ms\":0.150,\"unreachable\":false},"
              "{\"hop\":2,\"address\":null,\"addresses\":[],\"sent\":10,\"lost\":10,\"loss_percent\":100.0,"
              "\"last_ms\":null,\"avg_ms\":null,\"best_ms\":null,\"worst_ms\":null,\"stddev_ms\":null,"
              "\"unreachable\":false}],\"loss_begins_at\":null}\n");
}

TEST(RouteConsoleText, LossLineNamesAHopThatNeverAnsweredAsUnknown) {
    RouteResult result = sample();
    EXPECT_EQ(RouteConsole::lossLine(result), "Loss begins at hop 3 (198.18.3.2)");
    result.lossBeginsAt = 2;
    EXPECT_EQ(RouteConsole::lossLine(result), "Loss begins at hop 2 (?\?\?)");
    result.lossBeginsAt.reset();
    EXPECT_EQ(RouteConsole::lossLine(result), "No loss on the path");
}

// ---- The program on a chain, beside mtr ----

struct Ran {
    int exitCode = -1;
    std::string out;
};

std::string probeProgram() {
    if (const char* dir = std::getenv("OSTREVO_BINARY_DIR"))
        return std::string(dir) + "/probe/ostrevo-probe";
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    return self.substr(0, self.rfind('/')) + "/../probe/ostrevo-probe";
}

// A command line of plain words (addresses, numbers, options); standard error dropped unless asked for.
Ran runIn(const NetNamespace& ns, const std::string& command, bool withErrors = false) {
    const ShellCommand ran =
        ShellCommand::run("ip netns exec " + ns.name() + " " + command + (withErrors ? "" : " 2>/dev/null"));
    return {ran.exitCode, ran.output};
}

// One hop as both programs report it: the address ("???" for none) and the loss in percent.
struct Seen {
    std::string address;
    double loss = 0;
};

std::vector<Seen> hopsIn(const std::string& json, const std::string& addressKey, const std::string& lossKey) {
    std::vector<Seen> hops;
    const std::regex pattern("\"" + addressKey + "\":\\s*(null|\"([^\"]*)\")[^{}]*?\"" + lossKey + "\":\\s*([0-9.]+)");
    for (auto it = std::sregex_iterator(json.begin(), json.end(), pattern); it != std::sregex_iterator(); ++it)
        hops.push_back({(*it)[1] == "null" ? "???" : (*it)[2].str(), std::stod((*it)[3].str())});
    return hops;
}

std::optional<int> lossBeginsIn(const std::string& json) {
    std::smatch found;
    if (!std::regex_search(json, found, std::regex("\"loss_begins_at\":(null|[0-9]+)")) || found[1] == "null")
        return std::nullopt;
    return std::stoi(found[1].str());
}

// The same rule on mtr's figures: the first hop from which every answering hop shows loss to the end.
std::optional<int> lossBeginsBy(const std::vector<Seen>& hops) {
    std::vector<RouteHop> figures;
    for (const Seen& seen : hops) {
        RouteHop h;
        h.number = static_cast<std::uint8_t>(figures.size() + 1);
        h.sent = 1000;
        h.received = static_cast<std::uint32_t>(1000 - seen.loss * 10);
        figures.push_back(h);
    }
    const auto begins = RouteLoss::beginsAt(figures, true);
    return begins ? std::optional<int>(*begins) : std::nullopt;
}

std::string describe(const std::vector<Seen>& hops) {
    std::string text;
    for (const Seen& s : hops)
        text += s.address + " " + std::to_string(s.loss) + "%; ";
    return text;
}

class RouteConsoleInAChain : public testing::Test {
protected:
    static void SetUpTestSuite() {
        if (NetNamespace::unavailableReason().empty())
            chain_ = std::make_unique<RouterChain>("rcon", 3);
    }
    static void TearDownTestSuite() { chain_.reset(); }

    void SetUp() override {
        if (const std::string reason = NetNamespace::unavailableReason(); !reason.empty())
            GTEST_SKIP() << reason;
        ASSERT_TRUE(chain_ && chain_->ok()) << (chain_ ? chain_->error() : "");
    }
    void TearDown() override {
        if (!chain_)
            return;
        EXPECT_TRUE(chain_->router(2).flushNft());
        EXPECT_TRUE(chain_->server().flushNft());
    }

    static inline std::unique_ptr<RouterChain> chain_;
};

TEST_F(RouteConsoleInAChain, SeesTheHopsMtrSeesAndTheLossFromHopThreeOn) {
    if (std::system("command -v mtr >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "mtr is missing (Debian's mtr-tiny)";
    std::string output;
    ASSERT_TRUE(chain_->router(2).nft(
        "table ip t {\n chain c {\n  type filter hook forward priority 0;\n  numgen random mod 100 < 30 drop\n }\n}\n",
        &output))
        << output;
    const std::string server = chain_->serverAddress();
    // Side by side, so the two share the same half minute of the same path.
    auto ours = std::async(std::launch::async, [&] {
        return runIn(chain_->client(), probeProgram() + " --route --json -c 30 -i 0.2 " + server);
    });
    const Ran mtr = runIn(chain_->client(), "mtr --report --json -n -c 30 -i 0.2 " + server);
    const Ran route = ours.get();
    ASSERT_EQ(mtr.exitCode, 0) << mtr.out;
    EXPECT_EQ(route.exitCode, 0) << route.out;

    const std::vector<Seen> ourHops = hopsIn(route.out, "address", "loss_percent");
    const std::vector<Seen> mtrHops = hopsIn(mtr.out, "host", "Loss%");
    ASSERT_EQ(ourHops.size(), 4u) << route.out;
    ASSERT_EQ(mtrHops.size(), ourHops.size()) << mtr.out;
    for (std::size_t i = 0; i < ourHops.size(); ++i) {
        SCOPED_TRACE("hop " + std::to_string(i + 1) + ": ours " + describe(ourHops) + " mtr " + describe(mtrHops));
        EXPECT_EQ(ourHops[i].address, RouterChain::hopAddress(static_cast<int>(i + 1)));
        EXPECT_EQ(mtrHops[i].address, ourHops[i].address);
        // Forwarded both ways through router 2, a round trip beyond it is lost 1 - 0.7^2 = 51 % of the time. The
        // two estimates from 30 samples each differ by 13 points at one standard deviation: 3 of those are allowed.
        EXPECT_NEAR(ourHops[i].loss, mtrHops[i].loss, 39.0);
        if (i < 2) {
            EXPECT_EQ(ourHops[i].loss, 0.0);
        } else {
            EXPECT_GT(ourHops[i].loss, 0.0);
            EXPECT_GT(mtrHops[i].loss, 0.0);
        }
    }
    EXPECT_EQ(lossBeginsIn(route.out), 3) << route.out;
    EXPECT_EQ(lossBeginsBy(mtrHops), 3) << mtr.out;
}

// A sanitizer's build of the probe spends tens of microseconds of its own around each answer.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kInstrumented = true;
#else
constexpr bool kInstrumented = false;
#endif

// Each hop's average round trip in ms as a JSON report gives it, in order; -1 for a hop that never answered.
std::vector<double> averagesIn(const std::string& json, const std::string& key) {
    std::vector<double> averages;
    const std::regex pattern("\"" + key + "\":\\s*(null|[0-9.]+)");
    for (auto it = std::sregex_iterator(json.begin(), json.end(), pattern); it != std::sregex_iterator(); ++it)
        averages.push_back((*it)[1] == "null" ? -1.0 : std::stod((*it)[1].str()));
    return averages;
}

// Every hop's average beside mtr's, traced one after the other on the same path, within `share` of mtr's or
// 0.02 ms (the first hop 0.05 ms: after the round's pause its answer comes later to us than to mtr).
void expectTimesOfMtr(const NetNamespace& client, const std::string& server, std::size_t hops, double share) {
    // Neighbours resolved first: a lost ARP request costs its first answers a second, whoever asks first.
    (void)runIn(client, "ping -c 2 -i 0.2 -W 2 " + server);
    const Ran route = runIn(client, probeProgram() + " --route --json -c 30 -i 0.2 " + server);
    const Ran mtr = runIn(client, "mtr --report --json -n -c 30 -i 0.2 " + server);
    ASSERT_EQ(route.exitCode, 0) << route.out;
    ASSERT_EQ(mtr.exitCode, 0) << mtr.out;
    const std::vector<double> ours = averagesIn(route.out, "avg_ms");
    const std::vector<double> theirs = averagesIn(mtr.out, "Avg");
    ASSERT_EQ(ours.size(), hops) << route.out;
    ASSERT_EQ(theirs.size(), hops) << mtr.out;
    for (std::size_t i = 0; i < hops; ++i)
        EXPECT_NEAR(ours[i], theirs[i], std::max(share * theirs[i], i == 0 ? 0.05 : 0.02))
            << "hop " << i + 1 << "\nours: " << route.out << "mtr: " << mtr.out;
}

// Every hop's time beside mtr's on a path with 5 ms each way on its first link, where a time taken at the wrong
// moment shows. (On veth links alone a hop answers in some 0.05 ms, mostly the two programs' wake-ups, which a
// machine moves by more than the 0.02 ms such a comparison could allow.)
TEST(RouteConsole, HopTimesAreThoseOfMtrOnADelayedWire) {
    if (const std::string reason = NetNamespace::unavailableReason(); !reason.empty())
        GTEST_SKIP() << reason;
    if (std::system("command -v mtr >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "mtr is missing (Debian's mtr-tiny)";
    if (kInstrumented)
        GTEST_SKIP() << "a sanitizer's build of the probe and of the wire times itself, not the path";
    const RouterChain chain("rwire", 3);
    ASSERT_TRUE(chain.ok()) << chain.error();
    const DelayWire wire(chain, std::chrono::milliseconds(5), "rwire-w");
    ASSERT_TRUE(wire.ok());
    expectTimesOfMtr(chain.client(), chain.serverAddress(), 4, 0.1);
}

TEST_F(RouteConsoleInAChain, TableOverIpv6EndsWithNoLoss) {
    const std::string server = chain_->serverAddress(RouterChain::Family::V6);
    const Ran route = runIn(chain_->client(), probeProgram() + " --route -6 -c 3 -i 0.2 " + server);
    EXPECT_EQ(route.exitCode, 0) << route.out;
    for (int k = 1; k <= 4; ++k)
        EXPECT_NE(
            route.out.find("  " + std::to_string(k) + "  " + RouterChain::hopAddress(k, RouterChain::Family::V6) + " "),
            std::string::npos)
            << route.out;
    EXPECT_NE(route.out.find("\nNo loss on the path\n"), std::string::npos) << route.out;
}

TEST_F(RouteConsoleInAChain, ASilentDestinationExitsWithOne) {
    std::string output;
    ASSERT_TRUE(chain_->server().nft(NetNamespace::inputRule("icmp type echo-request drop"), &output)) << output;
    const Ran route =
        runIn(chain_->client(), probeProgram() + " --route --json -c 2 -i 0.2 " + chain_->serverAddress());
    EXPECT_EQ(route.exitCode, 1) << route.out;
    EXPECT_NE(route.out.find("\"reached\":false"), std::string::npos) << route.out;
    EXPECT_EQ(lossBeginsIn(route.out), 4) << route.out;
}

TEST(RouteConsole, InterruptPrintsTheRoundsDoneSoFar) {
    if (const std::string reason = NetNamespace::unavailableReason(); !reason.empty())
        GTEST_SKIP() << reason;
    NetNamespace ns("rint");
    ASSERT_TRUE(ns.ok()) << ns.error();
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        if (!NetNamespace::enter(ns.name()))
            _exit(127);
        execl(probeProgram().c_str(), "ostrevo-probe", "--route", "-c", "1000", "-i", "0.2", "127.0.0.1", nullptr);
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[4096];
    ssize_t n = 0;
    // The header line says the trace is under way; a few rounds later Ctrl+C comes.
    while (text.find("Tracing") == std::string::npos && (n = read(out[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    usleep(700'000);
    kill(pid, SIGINT);
    while ((n = read(out[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << text;
    EXPECT_EQ(WEXITSTATUS(status), 0) << text;
    std::smatch rounds;
    ASSERT_TRUE(std::regex_search(text, rounds, std::regex("\\], ([0-9]+) rounds?:"))) << text;
    EXPECT_GE(std::stoi(rounds[1].str()), 1) << text;
    EXPECT_LT(std::stoi(rounds[1].str()), 1000) << text;
    EXPECT_NE(text.find("  1  127.0.0.1 "), std::string::npos) << text;
    EXPECT_NE(text.find("\nNo loss on the path\n"), std::string::npos) << text;
}

// Standard error alone of a command run in `ns`, and how it ended.
Ran errorsIn(const NetNamespace& ns, const std::string& command) {
    return runIn(ns, "sh -c '" + command + " 2>&1 >/dev/null'");
}

TEST(RouteConsole, NoIcmpSocketIsASetupError) {
    if (const std::string reason = NetNamespace::unavailableReason(); !reason.empty())
        GTEST_SKIP() << reason;
    if (access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "setpriv is missing";
    NetNamespace ns("rnosock");
    ASSERT_TRUE(ns.ok()) << ns.error();
    // Neither socket kind can be had: ping sockets closed to every group, and no raw-socket capability.
    ASSERT_TRUE(ns.sysctl("net.ipv4.ping_group_range", "1 0"));
    const std::string unprivileged =
        "/usr/bin/setpriv --bounding-set=-net_raw --inh-caps=-net_raw -- " + probeProgram();
    const Ran route = errorsIn(ns, unprivileged + " --route -c 1 127.0.0.1");
    const Ran plain = errorsIn(ns, unprivileged + " -c 1 127.0.0.1");
    EXPECT_EQ(route.exitCode, 2) << route.out;
    EXPECT_NE(route.out.find("ping socket: "), std::string::npos) << route.out;
    EXPECT_EQ(route.out, plain.out) << "a trace fails as a plain run does";
    EXPECT_EQ(runIn(ns, unprivileged + " --route -c 1 127.0.0.1").out.find("Loss"), std::string::npos);
}

// The trace sends from -I as a plain run does, through the same socket set-up: a source that cannot be had
// fails both alike, one that can is used.
TEST(RouteConsole, SourceIsThatOfAPlainRun) {
    if (const std::string reason = NetNamespace::unavailableReason(); !reason.empty())
        GTEST_SKIP() << reason;
    NetNamespace ns("rsource");
    ASSERT_TRUE(ns.ok()) << ns.error();
    for (const char* source : {"nosuchif0", "::1"}) {
        SCOPED_TRACE(source);
        const std::string options = std::string(" -c 1 -I ") + source + " 127.0.0.1";
        const Ran route = errorsIn(ns, probeProgram() + " --route" + options);
        const Ran plain = errorsIn(ns, probeProgram() + options);
        EXPECT_EQ(route.exitCode, 2);
        EXPECT_EQ(plain.exitCode, 2);
        EXPECT_FALSE(route.out.empty());
        EXPECT_EQ(route.out, plain.out);
    }
    const Ran viaLoopback = runIn(ns, probeProgram() + " --route --json -c 1 -I lo 127.0.0.1");
    EXPECT_EQ(viaLoopback.exitCode, 0) << viaLoopback.out;
    EXPECT_NE(viaLoopback.out.find("\"reached\":true"), std::string::npos) << viaLoopback.out;
}

} // namespace
