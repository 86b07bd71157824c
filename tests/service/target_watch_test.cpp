#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "service/ConfigReader.h"
#include "service/TargetWatch.h"
#include "support/PostedTasks.h"
#include "support/ScriptedHostResolver.h"
#include "support/ScriptedHostRunner.h"
#include "support/TempDir.h"

namespace {

using Call = ScriptedHostRunner::Call;
using namespace std::chrono_literals;

ServiceConfig config(const std::string& yaml) {
    const ConfigReadResult read = ConfigReader::parse(yaml);
    EXPECT_TRUE(read.ok()) << testing::PrintToString(read.problems);
    return read.config;
}

// The watch over a scripted runner and name service, its log in a file.
class TargetWatchTest : public ::testing::Test {
protected:
    TargetWatchTest() {
        resolver_->addName("gw.example", {"gw.example", {ScriptedHostResolver::address("192.0.2.1")}});
        logFd_ = ::open(dir_.file("log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        log_ = std::make_unique<LogfmtLogger>(logFd_);
        TargetWatch::Services services;
        services.resolver = networks_;
        services.networks = networks_.get();
        services.post = tasks_.poster();
        services.makeRunner = [this](WindowPort& face) {
            auto runner = std::make_unique<ScriptedHostRunner>(face);
            runner_ = runner.get();
            return runner;
        };
        services.registry = &registry_;
        registry_.setDropReleased(true);
        watch_ = std::make_unique<TargetWatch>(std::move(services), *log_);
    }
    ~TargetWatchTest() override {
        watch_.reset();
        ::close(logFd_);
    }

    [[nodiscard]] RunId idOf(const std::string& host, std::size_t nth = 0) const {
        for (const WatchedHost& h : watch_->supervisor().hosts())
            if (h.settings.host == host && nth-- == 0)
                return h.id;
        return 0;
    }
    [[nodiscard]] const RunSettings* started(RunId id) const {
        static RunSettings last;
        for (const Call& call : runner_->calls())
            if (call.kind == Call::Kind::Start && call.run == id)
                last = call.settings;
        return runner_->count(Call::Kind::Start, id) > 0 ? &last : nullptr;
    }
    [[nodiscard]] std::string logText() const {
        std::ifstream in(dir_.file("log"));
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void report(RunId run, HostStatus status) {
        ProbeEvent event;
        event.run = run;
        event.hostStatus = status;
        event.statusChanged = true;
        runner_->face().probed(event);
    }

    const TempDir dir_;
    int logFd_ = -1;
    std::unique_ptr<LogfmtLogger> log_;
    std::shared_ptr<ScriptedHostResolver> resolver_ = std::make_shared<ScriptedHostResolver>();
    std::shared_ptr<NetworkResolver> networks_ = std::make_shared<NetworkResolver>(resolver_);
    PostedTasks tasks_;
    MetricsRegistry registry_{"2.2.2.58"};
    ScriptedHostRunner* runner_ = nullptr;
    std::unique_ptr<TargetWatch> watch_;
};

TEST_F(TargetWatchTest, EachTargetRunsWithItsOwnOptionsAndAReloadTouchesOnlyWhatChanged) {
    watch_->apply(config("targets:\n"
                         "  - hosts: [127.0.0.1, 192.0.2.2]\n    interval: 200ms\n    ttl: 9\n    tos: 0xb8\n"
                         "    timeout: 700ms\n    labels: {site: lab, link: \"up\\\"link\"}\n"
                         "  - {name: jumbo, host: 127.0.0.1, size: 1472}\n"
                         "  - {name: gw, host: gw.example}\n"));
    ASSERT_TRUE(tasks_.runUntil([&] { return runner_->calls().size() == 4; }, 5s));
    const RunId plain = idOf("127.0.0.1");
    const RunId jumbo = idOf("127.0.0.1", 1);
    const RunId other = idOf("192.0.2.2");
    const RunId gw = idOf("gw.example");
    ASSERT_TRUE(plain && jumbo && other && gw);

    const RunSettings* run = started(other);
    ASSERT_NE(run, nullptr);
    EXPECT_EQ(run->ttl, 9);
    EXPECT_EQ(run->tos, 0xb8);
    EXPECT_EQ(run->timeoutMs, 700U);
    EXPECT_EQ(run->intervalMs, 200) << "below the desktop's whole seconds";
    EXPECT_LT(run->startDelayMs, 200U);
    EXPECT_EQ(started(jumbo)->payloadSize, 1472);
    EXPECT_EQ(started(gw)->targetAddress.text(), "192.0.2.1");
    EXPECT_EQ(watch_->labelsOf(plain), ",link=\"up\\\"link\",site=\"lab\"");
    EXPECT_EQ(watch_->labelsOf(jumbo), ",target=\"jumbo\"");
    EXPECT_EQ(watch_->routeRounds(gw), 10U);
    EXPECT_NE(watch_->exposition().find("ostrevod_targets{state=\"running\"} 4\n"), std::string::npos);

    // 127.0.0.1 and gw stay as they were; jumbo goes; 192.0.2.2's TTL changes (which the desktop's fields do
    // not hold, so only the watch sees it); a new target comes.
    runner_->clear();
    watch_->apply(config("targets:\n"
                         "  - hosts: [127.0.0.1]\n    interval: 200ms\n    ttl: 9\n    tos: 0xb8\n"
                         "    timeout: 700ms\n    labels: {site: lab, link: \"up\\\"link\"}\n"
                         "  - {host: 192.0.2.2, interval: 200ms, ttl: 10, tos: 0xb8, timeout: 700ms, route_rounds: 0}\n"
                         "  - {name: gw, host: gw.example}\n"
                         "  - host: 127.0.0.3\n"));
    tasks_.runPending();
    EXPECT_EQ(runner_->count(Call::Kind::Stop, plain) + runner_->count(Call::Kind::Start, plain), 0U);
    EXPECT_EQ(runner_->count(Call::Kind::Stop, gw) + runner_->count(Call::Kind::Start, gw), 0U);
    EXPECT_EQ(runner_->count(Call::Kind::Stop, jumbo), 1U);
    EXPECT_EQ(runner_->count(Call::Kind::Stop, other), 1U);
    ASSERT_NE(started(other), nullptr);
    EXPECT_EQ(started(other)->ttl, 10);
    EXPECT_EQ(watch_->routeRounds(other), 0U);
    EXPECT_EQ(watch_->labelsOf(other), "") << "its labels went with the group it left";
    EXPECT_EQ(watch_->labelsOf(jumbo), "");
    const RunId added = idOf("127.0.0.3");
    EXPECT_NE(started(added), nullptr);
    EXPECT_EQ((std::vector<RunId>{plain, other, gw}), (std::vector<RunId>{idOf("127.0.0.1"), idOf("192.0.2.2"), gw}));
    EXPECT_NE(watch_->exposition().find("ostrevod_targets{state=\"configured\"} 4\n"), std::string::npos);
}

// The path watch is the root's business: switching it on or changing its figures leaves the run as it is, and
// only the targets of a host that watch its path have their series given its hops.
TEST_F(TargetWatchTest, APathWatchChangeKeepsTheRunAndNamesTheWatchingTargets) {
    watch_->apply(config("targets:\n  - {name: a, host: 127.0.0.1}\n  - {name: b, host: 127.0.0.1}\n"));
    tasks_.runPending();
    const RunId a = idOf("127.0.0.1");
    ASSERT_TRUE(a);
    EXPECT_TRUE(watch_->pathWatchedLabels("127.0.0.1").empty());
    runner_->clear();
    watch_->apply(config("targets:\n  - {name: a, host: 127.0.0.1, path_watch: {interval: 30s}}\n"
                         "  - {name: b, host: 127.0.0.1}\n"));
    tasks_.runPending();
    EXPECT_EQ(runner_->count(Call::Kind::Stop, a) + runner_->count(Call::Kind::Start, a), 0U);
    EXPECT_EQ(watch_->pathWatchedLabels("127.0.0.1"), std::vector<std::string>{",target=\"a\""});
    EXPECT_TRUE(watch_->pathWatchedLabels("127.0.0.2").empty());
}

TEST_F(TargetWatchTest, ANameNotFoundIsCountedAndTriedAgainAndAMovedNameIsFollowed) {
    watch_->apply(config("targets:\n  - {name: far, host: far.example, labels: {site: b}}\n  - host: 127.0.0.1\n"));
    ASSERT_TRUE(tasks_.runUntil([&] { return idOf("far.example") && !watch_->supervisor().hosts()[0].resolving; }, 5s));
    const RunId far = idOf("far.example");
    EXPECT_EQ(runner_->count(Call::Kind::Start, far), 0U);
    std::string figures = watch_->exposition();
    EXPECT_NE(figures.find("ostrevo_resolve_errors_total{host=\"far.example\",target=\"far\",site=\"b\"} 1\n"),
              std::string::npos)
        << figures;
    EXPECT_NE(figures.find("ostrevod_targets{state=\"resolved\"} 1\n"), std::string::npos) << figures;
    EXPECT_NE(logText().find(" level=warn msg=\"cannot resolve host\" host=far.example target=far\n"),
              std::string::npos)
        << logText();
    // Its series shows it unknown, without an address, until it has one.
    const auto unknown = [&] {
        for (const SeriesSnapshot& s : registry_.snapshot().series)
            if (s.host == "far.example" && s.address.empty() && s.labels == ",target=\"far\",site=\"b\"" &&
                s.status == HostStatus::NA)
                return true;
        return false;
    };
    EXPECT_TRUE(unknown()) << registry_.snapshot();

    // Tried again: still nowhere, then found.
    watch_->resolveAgain();
    ASSERT_TRUE(tasks_.runUntil([&] { return !watch_->supervisor().find(far)->resolving; }, 5s));
    EXPECT_NE(watch_->exposition().find("target=\"far\",site=\"b\"} 2\n"), std::string::npos);
    resolver_->addName("far.example", {"far.example", {ScriptedHostResolver::address("192.0.2.7")}});
    watch_->resolveAgain();
    ASSERT_TRUE(tasks_.runUntil([&] { return started(far) != nullptr; }, 5s));
    EXPECT_EQ(started(far)->targetAddress.text(), "192.0.2.7");
    EXPECT_FALSE(unknown()) << "found, it is unknown no more";

    // Found again at the same address: the run goes on; at another: it follows.
    runner_->clear();
    watch_->resolveAgain();
    (void)tasks_.runUntil([] { return false; }, 300ms); // the look-up answers meanwhile
    EXPECT_TRUE(runner_->calls().empty());
    resolver_->addName("far.example", {"far.example", {ScriptedHostResolver::address("192.0.2.8")}});
    watch_->resolveAgain();
    ASSERT_TRUE(tasks_.runUntil([&] { return runner_->count(Call::Kind::Start, far) == 1; }, 5s));
    EXPECT_EQ(started(far)->targetAddress.text(), "192.0.2.8");
    EXPECT_EQ(runner_->count(Call::Kind::Stop, far), 1U);
    EXPECT_NE(logText().find(" msg=\"address changed\" host=far.example target=far from=192.0.2.7 to=192.0.2.8\n"),
              std::string::npos)
        << logText();

    // Removed from the file: its errors go with it.
    watch_->apply(config("targets:\n  - host: 127.0.0.1\n"));
    EXPECT_EQ(watch_->exposition().find("far.example"), std::string::npos);
}

// network: ip takes the first address the name service gives (IPv4 first), ip4 and ip6 only one of that
// family; a name without one is not found. (All targets of one name share its network.)
TEST_F(TargetWatchTest, ANamesAddressIsOfTheFamilyItsNetworkAsksFor) {
    for (const char* name : {"dual.example", "both.example"})
        resolver_->addName(
            name, {name, {ScriptedHostResolver::address("192.0.2.3"), IpAddress::parseV6("2001:db8::3").value()}});
    watch_->apply(config("targets:\n  - {name: any, host: both.example}\n"
                         "  - {name: six, host: dual.example, network: ip6}\n"
                         "  - {name: none, host: gw.example, network: ip6}\n"));
    ASSERT_TRUE(tasks_.runUntil([&] { return runner_->calls().size() == 2; }, 5s));
    (void)tasks_.runUntil([] { return false; }, 200ms); // the third look-up fails meanwhile
    EXPECT_EQ(started(idOf("both.example"))->targetAddress.text(), "192.0.2.3");
    EXPECT_EQ(started(idOf("dual.example"))->targetAddress.text(), "2001:db8::3");
    EXPECT_EQ(started(idOf("gw.example")), nullptr);
    EXPECT_NE(watch_->exposition().find("ostrevo_resolve_errors_total{host=\"gw.example\",target=\"none\"} 1\n"),
              std::string::npos);

    // The network changed: the target looks its name up again.
    watch_->apply(config("targets:\n  - {name: any, host: both.example, network: ip6}\n"
                         "  - {name: six, host: dual.example, network: ip6}\n"));
    ASSERT_TRUE(tasks_.runUntil([&] { return runner_->count(Call::Kind::Start, idOf("both.example")) == 2; }, 5s));
    EXPECT_EQ(started(idOf("both.example"))->targetAddress.text(), "2001:db8::3");
}

TEST_F(TargetWatchTest, OnlyTheEdgesIntoAndOutOfBadAreLogged) {
    watch_->apply(config("targets:\n  - {name: gw, host: 127.0.0.1}\n"));
    tasks_.runPending();
    const RunId id = idOf("127.0.0.1");
    for (const HostStatus status : {HostStatus::Good, HostStatus::Average, HostStatus::Bad, HostStatus::Bad,
                                    HostStatus::Average, HostStatus::Good})
        report(id, status);
    tasks_.runPending();
    const std::string lines = logText();
    const std::size_t down = lines.find(" level=warn msg=\"host down\" host=127.0.0.1 target=gw address=127.0.0.1 "
                                        "status=bad\n");
    const std::size_t up = lines.find(" level=info msg=\"host up\" host=127.0.0.1 target=gw address=127.0.0.1 "
                                      "status=average\n");
    EXPECT_NE(down, std::string::npos) << lines;
    EXPECT_NE(up, std::string::npos) << lines;
    EXPECT_LT(down, up);
    EXPECT_EQ(lines.find("host down", lines.find('\n', down)), std::string::npos) << "a second Bad is no news";
    EXPECT_EQ(lines.find("host up", lines.find('\n', up)), std::string::npos) << "nor is Good after Average";
}

} // namespace
