#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "monitor/HostSupervisor.h"
#include "support/PostedTasks.h"
#include "support/ScriptedHostResolver.h"
#include "support/ScriptedHostRunner.h"

namespace {

using Call = ScriptedHostRunner::Call;
using namespace std::chrono_literals;

// What the listeners heard, in order, as short words: "probe 2", "start 2 gw [192.0.2.1]", "failed 2 found
// asked", "ended 2", "list", "statuses".
class HeardListener : public HostSupervisor::Listener {
public:
    std::vector<std::string> heard;
    void probed(const WatchedHost& host, const ProbeEvent&) override { add("probe " + std::to_string(host.id)); }
    void logDue(const WatchedHost& host, const ProbeEvent&) override { add("log " + std::to_string(host.id)); }
    void started(const WatchedHost& host) override {
        add("start " + std::to_string(host.id) + " " + LookupAnswer{{}, host.address, host.officialName}.shown());
    }
    void startFailed(const WatchedHost& host, HostSupervisor::StartFailure why, bool asked) override {
        add("failed " + std::to_string(host.id) +
            (why == HostSupervisor::StartFailure::NotFound ? " found" : " channel") + (asked ? " asked" : " quiet"));
    }
    void runEnded(const WatchedHost& host) override { add("ended " + std::to_string(host.id)); }
    void listChanged() override { add("list"); }
    void statusesChanged() override { add("statuses"); }
    [[nodiscard]] std::size_t count(const std::string& word) const {
        return static_cast<std::size_t>(std::count(heard.begin(), heard.end(), word));
    }

private:
    void add(std::string word) { heard.push_back(std::move(word)); }
};

class HostSupervisorTest : public ::testing::Test {
protected:
    HostSupervisorTest() {
        resolver_->addName("gw.example", {"gw", {ScriptedHostResolver::address("192.0.2.1")}});
        resolver_->addAddress("192.0.2.9", {"nine.example", {ScriptedHostResolver::address("192.0.2.9")}});
        HostSupervisor::Services services;
        services.resolver = resolver_;
        services.post = tasks_.poster();
        services.makeRunner = [this](WindowPort& face) {
            auto runner = std::make_unique<ScriptedHostRunner>(face);
            runner_ = runner.get();
            return runner;
        };
        services.nowMs = [] { return std::int64_t{5'000}; };
        supervisor_ = std::make_unique<HostSupervisor>(std::move(services));
        supervisor_->addListener(heard_);
    }

    static Settings host(const std::string& name, std::int32_t intervalMs = 1000) {
        Settings s;
        s.host = name;
        s.interval = intervalMs;
        return s;
    }

    // A probe as the run reports it, from the runner's side.
    void report(RunId run, HostStatus status, std::uint32_t requests, std::int64_t atMs = 10'000) {
        ProbeEvent event;
        event.run = run;
        event.unixMs = atMs;
        event.replier = event.address = "192.0.2.1";
        event.rttUs = 1500;
        event.hostStatus = status;
        event.stats.requests = requests;
        runner_->face().probed(event);
    }
    void answerStop(RunId run, RunEnd end = RunEnd::Stopped) { runner_->face().runEnded(run, end); }
    [[nodiscard]] const WatchedHost& row(RunId id) const { return *supervisor_->find(id); }

    std::shared_ptr<ScriptedHostResolver> resolver_ = std::make_shared<ScriptedHostResolver>();
    PostedTasks tasks_;
    HeardListener heard_;
    ScriptedHostRunner* runner_ = nullptr;
    std::unique_ptr<HostSupervisor> supervisor_;
};

TEST_F(HostSupervisorTest, ABurstOfReportsIsOneTaskForTheOwnerAndKeepsEachHostsFigures) {
    const RunId a = supervisor_->add(host("127.0.0.1"), true);
    const RunId b = supervisor_->add(host("127.0.0.2"), true);
    ASSERT_EQ(runner_->count(Call::Kind::Start, a), 1U) << "a literal address starts at once";
    EXPECT_EQ(runner_->calls().at(0).settings.targetAddress, ScriptedHostResolver::address("127.0.0.1"));
    EXPECT_TRUE(row(a).main);
    EXPECT_EQ(tasks_.posted(), 0U);

    std::thread hub([&] {
        for (std::uint32_t i = 1; i <= 300; ++i)
            report(i % 2 ? a : b, i < 290 ? HostStatus::Good : HostStatus::Bad, i, 10'000 + i);
        ProbeEvent log;
        log.run = b;
        runner_->face().postLog(log);
    });
    hub.join();
    EXPECT_EQ(tasks_.posted(), 1U) << "one drain for the whole burst";
    heard_.heard.clear();
    EXPECT_EQ(tasks_.runPending(), 1U);
    EXPECT_EQ(heard_.count("probe " + std::to_string(a)), 150U);
    EXPECT_EQ(heard_.count("log " + std::to_string(b)), 1U);
    EXPECT_EQ(heard_.count("statuses"), 1U) << "told once per drain";
    EXPECT_EQ(row(a).stats.requests, 299U);
    EXPECT_EQ(row(b).stats.requests, 300U);
    EXPECT_EQ(row(b).status, HostStatus::Bad);
    EXPECT_EQ(row(b).statusSinceMs, 10'290) << "since the probe that changed it";
    EXPECT_EQ(row(a).recent.size(), 150U);
    EXPECT_EQ(row(a).last->unixMs, 10'299);
    EXPECT_EQ(supervisor_->worstStatus(), HostStatus::Bad);

    supervisor_->stop(b);
    EXPECT_EQ(supervisor_->worstStatus(), HostStatus::Bad) << "a stopped host no longer counts";
    EXPECT_EQ(row(b).status, HostStatus::NA);

    report(a, HostStatus::Good, 400);
    EXPECT_EQ(tasks_.posted(), 2U) << "the next burst is a new task";
}

TEST_F(HostSupervisorTest, AStopOrAnEditDropsWhatTheOldRunStillReports) {
    const RunId id = supervisor_->add(host("127.0.0.1", 1000), true);
    report(id, HostStatus::Good, 1);
    tasks_.runPending();

    // The edit of a running host: stopped, then started with the new settings.
    ASSERT_TRUE(supervisor_->edit(id, host("127.0.0.1", 3000)));
    const std::vector<Call> calls = runner_->calls();
    ASSERT_EQ(calls.size(), 3U);
    EXPECT_EQ(calls[1].kind, Call::Kind::Stop);
    EXPECT_EQ(calls[2].kind, Call::Kind::Start);
    EXPECT_EQ(calls[2].settings.intervalMs, 3000);
    EXPECT_TRUE(row(id).running);
    EXPECT_EQ(row(id).stats.requests, 0U) << "a new run's figures";

    heard_.heard.clear();
    report(id, HostStatus::Bad, 2);  // the old run, before the stop's answer
    answerStop(id);                  // the answer: still running, so no "ended"
    report(id, HostStatus::Good, 1); // the new run
    tasks_.runPending();
    EXPECT_EQ(heard_.heard, (std::vector<std::string>{"probe 1", "statuses"}));
    EXPECT_EQ(row(id).status, HostStatus::Good);

    // A plain stop: the host shows stopped at once, and the answer says the run is over.
    supervisor_->stop(id);
    EXPECT_FALSE(row(id).running);
    heard_.heard.clear();
    report(id, HostStatus::Bad, 2);
    answerStop(id, RunEnd::ChannelFailed); // a failed start of the stopped run: not this host's news either
    answerStop(id);
    tasks_.runPending();
    EXPECT_EQ(heard_.heard, (std::vector<std::string>{"ended 1"}));
    EXPECT_EQ(row(id).stats.requests, 1U);

    // A channel that did not open, for a start the user asked for.
    supervisor_->start(id);
    answerStop(id, RunEnd::ChannelFailed);
    heard_.heard.clear();
    tasks_.runPending();
    EXPECT_EQ(heard_.heard, (std::vector<std::string>{"failed 1 channel asked", "statuses"}));
    EXPECT_FALSE(row(id).running);
}

// The service numbers its targets itself: an entry's id that names no host becomes the new host's, and an entry
// with an id never takes another host for sharing its host text (one host watched twice, with other sizes).
TEST_F(HostSupervisorTest, EntriesWithIdsOfTheirOwnKeepThemAndMatchByIdAlone) {
    HostSupervisor::Services services;
    services.resolver = resolver_;
    services.post = tasks_.poster();
    ScriptedHostRunner* runner = nullptr;
    services.makeRunner = [&runner](WindowPort& face) {
        auto made = std::make_unique<ScriptedHostRunner>(face);
        runner = made.get();
        return made;
    };
    services.tuneRun = [](RunId id, RunSettings& run) { run.ttl = static_cast<std::uint8_t>(id); };
    HostSupervisor supervisor(std::move(services));
    supervisor.apply({{40, host("127.0.0.1"), true}, {41, host("127.0.0.1", 5000), true}});
    ASSERT_EQ(supervisor.hosts().size(), 2U);
    EXPECT_EQ(supervisor.hosts()[0].id, 40U);
    EXPECT_EQ(supervisor.hosts()[1].id, 41U);
    runner->clear();

    // 40 goes, a new 42 with the same host text comes first: it does not take 40's run.
    supervisor.apply({{42, host("127.0.0.1"), true}, {41, host("127.0.0.1", 5000), true}});
    EXPECT_EQ(supervisor.find(40), nullptr);
    EXPECT_EQ(runner->count(Call::Kind::Stop, 40), 1U);
    EXPECT_EQ(runner->count(Call::Kind::Start, 42), 1U);
    EXPECT_TRUE(runner->count(Call::Kind::Stop, 41) + runner->count(Call::Kind::Start, 41) == 0U);
    for (const Call& call : runner->calls()) {
        if (call.kind == Call::Kind::Start) {
            EXPECT_EQ(call.settings.ttl, call.run) << "the owner's options go with each start";
        }
    }
    EXPECT_EQ(supervisor.add(host("127.0.0.9")), 43U) << "the supervisor's own numbers come after the owner's";
}

TEST_F(HostSupervisorTest, ANewListKeepsTheRunsOfUnchangedHostsAndMakeMainSwapsWithoutARestart) {
    const RunId kept = supervisor_->add(host("127.0.0.1"), true);
    const RunId changed = supervisor_->add(host("127.0.0.2"), true);
    const RunId removed = supervisor_->add(host("127.0.0.3"), true);
    const RunId halted = supervisor_->add(host("127.0.0.4"), true);
    for (RunId id : {kept, changed, removed, halted})
        report(id, HostStatus::Good, 7);
    tasks_.runPending();
    runner_->clear();

    // By id, and by host text for an entry without one (as a reloaded file gives it).
    supervisor_->apply({{0, host("127.0.0.5"), true},
                        {0, host("127.0.0.1"), true},
                        {changed, host("127.0.0.2", 5000), true},
                        {halted, host("127.0.0.4"), false},
                        {0, host(""), true}});
    const std::vector<WatchedHost>& hosts = supervisor_->hosts();
    ASSERT_EQ(hosts.size(), 4U);
    const RunId added = hosts[0].id;
    EXPECT_EQ((std::vector<RunId>{hosts[1].id, hosts[2].id, hosts[3].id}), (std::vector<RunId>{kept, changed, halted}));
    EXPECT_TRUE(hosts[0].main);
    EXPECT_FALSE(hosts[1].main);
    EXPECT_EQ(supervisor_->find(removed), nullptr);

    EXPECT_EQ(runner_->calls().size(), 5U);
    EXPECT_EQ(runner_->count(Call::Kind::Stop, removed), 1U);
    EXPECT_EQ(runner_->count(Call::Kind::Stop, halted), 1U);
    EXPECT_EQ(runner_->count(Call::Kind::Stop, changed), 1U);
    EXPECT_EQ(runner_->count(Call::Kind::Start, changed), 1U);
    EXPECT_EQ(runner_->count(Call::Kind::Start, added), 1U);
    EXPECT_EQ(row(kept).stats.requests, 7U) << "an unchanged host keeps its run and figures";
    EXPECT_TRUE(row(kept).running);
    EXPECT_FALSE(row(halted).running);

    // The removed host's answer and late probes belong to nobody.
    report(removed, HostStatus::Bad, 8);
    answerStop(removed);
    report(kept, HostStatus::Bad, 8);
    heard_.heard.clear();
    tasks_.runPending();
    EXPECT_EQ(heard_.heard, (std::vector<std::string>{"probe " + std::to_string(kept), "statuses"}));

    // Make main: places swap, runs go on.
    runner_->clear();
    ASSERT_TRUE(supervisor_->makeMain(kept));
    EXPECT_TRUE(runner_->calls().empty()) << "neither run restarts";
    EXPECT_EQ(hosts[0].id, kept);
    EXPECT_EQ(hosts[1].id, added);
    EXPECT_TRUE(hosts[0].main);
    EXPECT_EQ(row(kept).stats.requests, 8U);
    EXPECT_EQ(row(kept).status, HostStatus::Bad);
    report(added, HostStatus::Good, 1);
    tasks_.runPending();
    EXPECT_EQ(row(added).stats.requests, 1U) << "reports still reach the host by its id";
    EXPECT_FALSE(supervisor_->makeMain(removed));
}

TEST_F(HostSupervisorTest, NamesAreLookedUpAwayFromTheOwnerAndAnAnswerAfterAStopOrRemovalIsDropped) {
    Settings byName = host("gw.example");
    Settings reverse = host("192.0.2.9");
    reverse.resolveIp = true;
    const RunId named = supervisor_->add(byName);
    const RunId reversed = supervisor_->add(reverse);
    const RunId missing = supervisor_->add(host("nowhere.example"));
    const RunId broadcast = supervisor_->add(host("255.255.255.255"));

    supervisor_->start(named);
    supervisor_->start(reversed);
    supervisor_->start(missing);
    supervisor_->startAll(); // the broadcast address quietly (as a name: inet_addr takes it for none); the others
                             // are busy already
    EXPECT_TRUE(row(named).resolving);
    ASSERT_TRUE(tasks_.runUntil(
        [&] {
            return !row(named).resolving && !row(reversed).resolving && !row(missing).busy() && !row(broadcast).busy();
        },
        5s));
    EXPECT_EQ(heard_.count("start 1 gw [192.0.2.1]"), 1U);
    EXPECT_EQ(heard_.count("start 2 nine.example [192.0.2.9]"), 1U);
    EXPECT_EQ(heard_.count("failed 3 found asked"), 1U);
    EXPECT_EQ(heard_.count("failed " + std::to_string(broadcast) + " found quiet"), 1U)
        << "255.255.255.255 is no host, and Start all asks nothing";
    EXPECT_EQ(runner_->count(Call::Kind::Start, named), 1U);

    // A lookup that answers after its stop, or after its host is gone, starts nothing.
    supervisor_->stop(named);
    supervisor_->stop(reversed);
    resolver_->hold();
    supervisor_->start(named);
    supervisor_->start(reversed);
    ASSERT_TRUE(resolver_->waitForLookups(6, 5s));
    heard_.heard.clear();
    supervisor_->stop(named);
    EXPECT_EQ(heard_.count("ended 1"), 1U) << "a stop during the lookup is answered at once";
    supervisor_->remove(reversed);
    runner_->clear();
    const std::size_t posted = tasks_.posted();
    resolver_->release();
    EXPECT_FALSE(tasks_.runUntil([&] { return tasks_.posted() > posted; }, 300ms)) << "nothing posted once cancelled";
    EXPECT_TRUE(runner_->calls().empty());
    EXPECT_FALSE(row(named).busy());

    // Gone with a lookup under way and a drain posted: neither reaches the supervisor afterwards.
    resolver_->hold();
    supervisor_->start(named);
    ASSERT_TRUE(resolver_->waitForLookups(7, 5s));
    report(named, HostStatus::Good, 1);
    supervisor_.reset();
    resolver_->release();
    tasks_.runPending();
}

// A desktop's main host is there before anyone types it: first of the list however late it comes, kept without a
// host text (which no other host may have), and given one by an edit. The hook before each run sees it first.
TEST_F(HostSupervisorTest, TheMainHostComesFirstEvenWithoutAHostText) {
    int runsAhead = 0;
    const RunId other = supervisor_->add(host("127.0.0.2"));
    const RunId main = supervisor_->addMain(Settings{});
    ASSERT_NE(main, 0U);
    EXPECT_EQ(supervisor_->hosts().front().id, main);
    EXPECT_TRUE(row(main).main);
    EXPECT_FALSE(row(other).main);
    EXPECT_FALSE(supervisor_->edit(other, Settings{})) << "only the main host may be left without a host";
    EXPECT_TRUE(supervisor_->edit(main, Settings{}));

    supervisor_->start(main);
    EXPECT_EQ(heard_.heard.back(), "failed " + std::to_string(main) + " found asked");
    EXPECT_EQ(runner_->calls().size(), 0U);

    HostSupervisor::Services services;
    services.resolver = resolver_;
    services.post = tasks_.poster();
    services.makeRunner = [this](WindowPort& face) {
        auto runner = std::make_unique<ScriptedHostRunner>(face);
        runner_ = runner.get();
        return runner;
    };
    services.beforeRun = [&] {
        ++runsAhead;
        EXPECT_EQ(runner_->calls().size(), 0U) << "the hook comes before the run is handed over";
    };
    supervisor_ = std::make_unique<HostSupervisor>(std::move(services));
    const RunId first = supervisor_->addMain(host("127.0.0.1"));
    supervisor_->start(first);
    EXPECT_EQ(runsAhead, 1);
    EXPECT_EQ(runner_->count(Call::Kind::Start, first), 1U);
    EXPECT_EQ(row(first).target, ScriptedHostResolver::address("127.0.0.1"));
}

} // namespace

// The same on the real hub, over loopback: two hosts probed together, the second made main while both run.
TEST(HostSupervisorOnTheHub, TwoLoopbackHostsRunOnAndSwapPlacesWithoutARestart) {
    PostedTasks tasks;
    HeardListener heard;
    HostSupervisor::Services services;
    services.resolver = std::make_shared<ScriptedHostResolver>();
    services.post = tasks.poster();
    services.makeRunner = [](WindowPort& face) { return makeHubRunner(face, nullptr, {}); };
    HostSupervisor supervisor(std::move(services));
    supervisor.addListener(heard);
    Settings first;
    first.host = "127.0.0.1";
    first.interval = 100;
    Settings second = first;
    second.host = "127.0.0.2";
    const RunId a = supervisor.add(first, true);
    const RunId b = supervisor.add(second, true);
    const auto requests = [&](RunId id) { return supervisor.find(id)->stats.requests; };
    ASSERT_TRUE(tasks.runUntil([&] { return !supervisor.find(a)->running || requests(b) >= 3; }, 10s));
    if (heard.count("failed 1 channel quiet") > 0)
        GTEST_SKIP() << "no ICMP socket here (neither a datagram one nor CAP_NET_RAW)";
    EXPECT_EQ(supervisor.find(b)->status, HostStatus::Good);
    EXPECT_EQ(supervisor.find(b)->address, "127.0.0.2");

    const std::uint32_t before = requests(b);
    ASSERT_TRUE(supervisor.makeMain(b));
    ASSERT_TRUE(tasks.runUntil([&] { return requests(b) >= before + 2 && requests(a) >= 3; }, 10s))
        << "the figures go on counting: no new run";
    EXPECT_EQ(supervisor.hosts().front().id, b);
    EXPECT_EQ(heard.count("start 2 127.0.0.2"), 1U);

    supervisor.stopAll();
    ASSERT_TRUE(tasks.runUntil([&] { return heard.count("ended 1") == 1 && heard.count("ended 2") == 1; }, 10s));
}
