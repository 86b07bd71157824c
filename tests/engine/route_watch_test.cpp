// The route watch beside a real hub: a Good to Bad edge starts exactly one trace of the probed
// address, and the run's probes, figures and alerts are what they are without the watch.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "engine/RouteWatch.h"
#include "support/HubHarness.h"
#include "support/NetNamespace.h"

namespace {

using namespace std::chrono_literals;

EchoOutcome good() {
    return EchoOutcome::good(5);
}
EchoOutcome lost() {
    return EchoOutcome::failure(11010);
}

// Traces that hold until the test lets them end (or the watch stops them), and say what they were asked.
class ScriptedTraces {
public:
    class Trace : public RouteWatch::Trace {
    public:
        explicit Trace(ScriptedTraces& owner) : owner_(owner) {}
        RouteResult run(const IpAddress& destination, std::uint32_t rounds, std::string&) override {
            std::unique_lock lock(owner_.mutex_);
            owner_.asked_.push_back({destination, rounds});
            owner_.most_ = std::max(owner_.most_, ++owner_.running_);
            owner_.changed_.notify_all();
            owner_.changed_.wait(lock, [this] { return owner_.released_ > 0 || owner_.all_ || stopped_; });
            if (!stopped_ && !owner_.all_)
                --owner_.released_;
            --owner_.running_;
            owner_.changed_.notify_all();
            RouteResult result;
            result.destination = destination;
            result.rounds = rounds;
            result.lossBeginsAt = 3;
            return result;
        }
        void stop() override {
            std::lock_guard lock(owner_.mutex_);
            stopped_ = true;
            owner_.changed_.notify_all();
        }

    private:
        ScriptedTraces& owner_;
        bool stopped_ = false;
    };

    RouteWatch::TraceFactory factory() {
        return [this] { return std::make_unique<Trace>(*this); };
    }
    void release() {
        std::lock_guard lock(mutex_);
        ++released_;
        changed_.notify_all();
    }
    // Every trace, under way or to come, ends at once.
    void releaseAll() {
        std::lock_guard lock(mutex_);
        all_ = true;
        changed_.notify_all();
    }
    // Traces from now on hold again until released.
    void hold() {
        std::lock_guard lock(mutex_);
        all_ = false;
        released_ = 0;
    }
    bool waitRunning(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return running_ == count; });
    }
    int mostAtOnce() const {
        std::lock_guard lock(mutex_);
        return most_;
    }
    bool waitAsked(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return asked_.size() >= count; });
    }
    std::vector<std::pair<IpAddress, std::uint32_t>> asked() const {
        std::lock_guard lock(mutex_);
        return asked_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<IpAddress, std::uint32_t>> asked_;
    int released_ = 0;
    bool all_ = false;
    int running_ = 0;
    int most_ = 0;
};

class FinishedTraces {
public:
    RouteWatch::Done done() {
        return [this](const RouteWatch::Finished& f) {
            std::lock_guard lock(mutex_);
            finished_.push_back(f);
            changed_.notify_all();
        };
    }
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return finished_.size() >= count; });
    }
    std::vector<RouteWatch::Finished> list() const {
        std::lock_guard lock(mutex_);
        return finished_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<RouteWatch::Finished> finished_;
};

// Good, then Bad: the first edge. A second outage while the first trace still runs, then a third after it ended.
const std::vector<EchoOutcome> kScript = {good(), good(), good(), lost(), lost(), lost(), lost(), good(),
                                          good(), good(), lost(), lost(), lost(), good(), good(), good()};
const std::vector<EchoOutcome> kThirdOutage = {lost(), lost(), lost(), good()};

// The probes as the run reports them, without the wall clock.
// The events with what the machine's timing decides left out: the wall clock, and round trips finer than the
// whole milliseconds the window shows (a scripted 5 ms reply takes a few microseconds more or less each time).
std::vector<ProbeEvent> timeless(std::vector<ProbeEvent> events) {
    for (ProbeEvent& e : events) {
        e.unixMs = 0;
        e.rttUs.reset();
        e.stats.minUs = e.stats.maxUs = e.stats.avgUs = 0;
    }
    return events;
}

int goodToBadEdges(const std::vector<ProbeEvent>& events) {
    int edges = 0;
    HostStatus last = HostStatus::NA;
    for (const ProbeEvent& e : events) {
        if (e.hostStatus == HostStatus::Bad && last == HostStatus::Good)
            ++edges;
        if (e.hostStatus == HostStatus::Good || e.hostStatus == HostStatus::Bad)
            last = e.hostStatus;
    }
    return edges;
}

TEST(RouteWatch, OneTracePerEdgeAndHostWhileTheProbesGoOnUnchanged) {
    HubHarness plain;
    ASSERT_TRUE(plain.runScript(kScript));
    ASSERT_TRUE(plain.probe(kThirdOutage));
    ASSERT_EQ(goodToBadEdges(plain.observer.events()), 3) << "the script has three outages";

    ScriptedTraces traces;
    FinishedTraces finished;
    RouteWatch watch(finished.done(), traces.factory(), [] { return std::int64_t{1234}; });
    watch.setRounds(7);
    HubHarness h;
    h.hub = std::make_unique<ProbeHub>(h.window, &h.alerts, h.network.opener());
    h.hub->addObserver(h.observer);
    h.hub->addObserver(watch);
    h.hub->start();
    ASSERT_TRUE(h.runScript(kScript));
    ASSERT_TRUE(traces.waitAsked(1));
    EXPECT_EQ(watch.started(), 1u) << "the second outage came while the first trace ran";
    EXPECT_TRUE(watch.tracing(h.settings.host));
    traces.release();
    ASSERT_TRUE(finished.waitFor(1));

    ASSERT_TRUE(h.probe(kThirdOutage));
    ASSERT_TRUE(traces.waitAsked(2));
    traces.release();
    ASSERT_TRUE(finished.waitFor(2));
    EXPECT_EQ(watch.started(), 2u);

    EXPECT_EQ(timeless(h.observer.events()), timeless(plain.observer.events()));
    EXPECT_EQ(h.alerts.alerts(), plain.alerts.alerts());
    EXPECT_EQ(h.window.events().size(), plain.window.events().size());

    const auto asked = traces.asked();
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].first, EchoOutcome::loopback());
    EXPECT_EQ(asked[0].second, 7u);
    const auto done = finished.list();
    EXPECT_EQ(done[0].host, h.settings.host);
    EXPECT_EQ(done[0].address, "127.0.0.1");
    EXPECT_EQ(done[0].startedMs, 1234);
    EXPECT_EQ(done[0].result.lossBeginsAt, 3);
    h.quit();
    plain.quit();
}

// Every entry into Bad is traced, a host down from its start too; a loss short of Bad or RouteRounds 0 is not.
TEST(RouteWatch, AnEntryIntoBadStartsATrace) {
    const struct {
        const char* what;
        std::uint32_t rounds;
        std::vector<EchoOutcome> script;
        std::uint64_t traces;
    } cases[] = {
        {"down from the start", 10, {lost(), lost(), lost(), lost()}, 1},
        {"a loss short of Bad", 10, {good(), good(), good(), lost(), good(), good(), good()}, 0},
        {"an outage with rounds 0", 0, {good(), good(), good(), lost(), lost(), lost()}, 0},
        {"an outage", 10, {good(), good(), good(), lost(), lost(), lost()}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedTraces traces;
        FinishedTraces finished;
        RouteWatch watch(finished.done(), traces.factory());
        watch.setRounds(c.rounds);
        HubHarness h;
        h.hub = std::make_unique<ProbeHub>(h.window, &h.alerts, h.network.opener());
        h.hub->addObserver(watch);
        h.hub->start();
        ASSERT_TRUE(h.runScript(c.script));
        EXPECT_EQ(watch.started(), c.traces);
        h.quit();
        // Stopping ends the trace under way without reporting it.
        watch.stop();
        EXPECT_FALSE(watch.tracing(h.settings.host));
        EXPECT_TRUE(finished.list().empty());
    }
}

ProbeEvent verdict(RunId run, HostStatus status, const std::string& host = "far.test",
                   const std::string& address = "198.18.4.2") {
    ProbeEvent event;
    event.run = run;
    event.host = host;
    event.address = address;
    event.hostStatus = status;
    return event;
}

// Runs may take rounds of their own (the service's targets set theirs): each trace takes its run's, and a run
// with 0 is not traced.
TEST(RouteWatch, EachRunMayTakeRoundsOfItsOwn) {
    ScriptedTraces traces;
    FinishedTraces finished;
    RouteWatch watch(finished.done(), traces.factory());
    watch.setRoundsOf([](RunId run) { return run == 1 ? 3U : run == 2 ? 7U : 0U; });
    traces.releaseAll();
    for (const RunId run : {1U, 2U, 3U})
        watch.probed(verdict(run, HostStatus::Bad));
    ASSERT_TRUE(traces.waitAsked(2));
    watch.stop();
    std::vector<std::uint32_t> rounds;
    for (const auto& [destination, asked] : traces.asked())
        rounds.push_back(asked);
    std::sort(rounds.begin(), rounds.end());
    EXPECT_EQ(rounds, (std::vector<std::uint32_t>{3, 7}));
    EXPECT_EQ(watch.started(), 2U);
}

// The verdicts as a lossy link or a host down at its start gives them: each entry into Bad is one trace, and
// a run that stays Bad is traced once.
TEST(RouteWatch, EveryEntryIntoBadWhateverItCameFrom) {
    using enum HostStatus;
    const struct {
        const char* what;
        std::vector<HostStatus> verdicts;
        std::size_t traces;
    } cases[] = {
        {"N/A, then Bad", {NA, NA, Bad, Bad}, 1},
        {"Bad from the first verdict", {Bad}, 1},
        {"Good, Average, Bad", {Good, Average, Bad}, 1},
        {"Average, Bad, Average, Bad", {Average, Bad, Average, Bad}, 2},
        {"Good, Average, Good", {Good, Average, Good}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedTraces traces;
        traces.releaseAll();
        FinishedTraces finished;
        RouteWatch watch(finished.done(), traces.factory());
        for (HostStatus status : c.verdicts) {
            watch.probed(verdict(1, status));
            // Each trace ends before the next verdict, so that the next entry is not the same trace's.
            const auto until = std::chrono::steady_clock::now() + 10s;
            while (watch.tracing("far.test") && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(1ms);
        }
        EXPECT_EQ(traces.asked().size(), c.traces);
        EXPECT_EQ(watch.started(), c.traces);
    }
}

// This process's threads of that name.
long threadsNamed(const std::string& wanted) {
    long count = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr)
        return -1;
    while (const dirent* entry = readdir(tasks)) {
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        if (entry->d_name[0] != '.' && std::getline(comm, name) && name == wanted)
            ++count;
    }
    closedir(tasks);
    return count;
}

// Each run probes an address of its own, so that a trace tells whose it is.
std::string addressOf(RunId run) {
    return "198.18." + std::to_string(run / 250) + "." + std::to_string(run % 250 + 1);
}

// 300 hosts behind one router go Bad at once: a few traces run at a time, the rest wait in the order they went
// Bad, those recovered or stopped by their turn are passed over, and a stop ends everything at once.
TEST(RouteWatch, ManyHostsGoingBadAtOnceAreTracedAFewAtATime) {
    constexpr RunId kHosts = 300;
    ScriptedTraces traces;
    FinishedTraces finished;
    std::atomic<std::int64_t> turns{0};
    auto watch = std::make_unique<RouteWatch>(finished.done(), traces.factory(), [&turns] { return ++turns; });
    const auto host = [](RunId run) { return "h" + std::to_string(run); };
    for (RunId run = 1; run <= kHosts; ++run)
        watch->probed(verdict(run, HostStatus::Good, host(run), addressOf(run)));
    for (RunId run = 1; run <= kHosts; ++run)
        watch->probed(verdict(run, HostStatus::Bad, host(run), addressOf(run)));
    ASSERT_TRUE(traces.waitRunning(static_cast<int>(RouteWatch::kMostTraces)));
    EXPECT_EQ(threadsNamed("ostrevo-route"), static_cast<long>(RouteWatch::kMostTraces));
    EXPECT_TRUE(watch->tracing(host(kHosts))) << "the last waits its turn";

    // Before their turn: 101-150 recover, 151-160 are stopped, 161 recovers and goes Bad again (still one trace).
    for (RunId run = 101; run <= 150; ++run)
        watch->probed(verdict(run, HostStatus::Average, host(run)));
    for (RunId run = 151; run <= 160; ++run)
        watch->runEnded(run, 0);
    watch->probed(verdict(161, HostStatus::Good, host(161), addressOf(161)));
    watch->probed(verdict(161, HostStatus::Bad, host(161), addressOf(161)));
    // One by one, as a router answers: never more than the pool at once.
    for (int i = 0; i < 40; ++i)
        traces.release();
    ASSERT_TRUE(finished.waitFor(40));
    ASSERT_TRUE(traces.waitRunning(static_cast<int>(RouteWatch::kMostTraces)));
    traces.releaseAll();
    const std::size_t expected = kHosts - 60;
    ASSERT_TRUE(finished.waitFor(expected));
    EXPECT_EQ(traces.mostAtOnce(), static_cast<int>(RouteWatch::kMostTraces));
    const std::vector<RouteWatch::Finished> done = finished.list();
    ASSERT_EQ(done.size(), expected);
    EXPECT_EQ(watch->started(), expected);
    for (const RouteWatch::Finished& f : done) {
        EXPECT_EQ(f.host, host(f.run));
        EXPECT_EQ(f.address, addressOf(f.run));
        EXPECT_TRUE(f.stillBad);
        EXPECT_TRUE(f.run <= 100 || f.run > 160) << f.run << " was traced after it recovered or stopped";
    }
    // Taken in turn: the clock is read as each trace's turn comes, so it numbers the turns.
    std::vector<RouteWatch::Finished> byTurn = done;
    std::sort(byTurn.begin(), byTurn.end(), [](const auto& a, const auto& b) { return a.startedMs < b.startedMs; });
    for (std::size_t i = 0; i < byTurn.size(); ++i)
        EXPECT_EQ(byTurn[i].run, i < 100 ? i + 1 : i + 61);
    EXPECT_FALSE(watch->tracing(host(kHosts)));

    // A second wave stopped while it runs and waits: the stop returns at once and reports none of it.
    traces.hold();
    for (RunId run = kHosts + 1; run <= 2 * kHosts; ++run)
        watch->probed(verdict(run, HostStatus::Bad, host(run), addressOf(run)));
    ASSERT_TRUE(traces.waitAsked(expected + RouteWatch::kMostTraces));
    // Bounded so that a stop waiting for the queue to drain fails here instead of hanging.
    auto stopped = std::async(std::launch::async, [&watch] { watch.reset(); });
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(finished.list().size(), expected);
    EXPECT_EQ(threadsNamed("ostrevo-route"), 0);
}

TEST(RouteWatch, ReadsTheAddressesARunReports) {
    EXPECT_EQ(RouteWatch::parseAddress("198.18.4.2"), RouteWatch::parseAddress("198.18.4.2"));
    ASSERT_TRUE(RouteWatch::parseAddress("198.18.4.2"));
    EXPECT_TRUE(RouteWatch::parseAddress("198.18.4.2")->isV4());
    ASSERT_TRUE(RouteWatch::parseAddress("2001:2:0:4::2"));
    EXPECT_TRUE(RouteWatch::parseAddress("2001:2:0:4::2")->isV6());
    for (const char* bad : {"", "host.test", "198.18.4", "198.18.4.2 "})
        EXPECT_FALSE(RouteWatch::parseAddress(bad)) << bad;
}

// Real traces of addresses nothing answers for (a namespace with no route to them, v4 and v6), stopped at once
// as a program's exit stops them: the stop returns without waiting for their rounds, and none is reported.
TEST(RouteWatch, AStopEndsRealTracesUnderWayAndReportsNone) {
    NetNamespace ns("watch");
    if (!ns.ok())
        GTEST_SKIP() << ns.error();
    ASSERT_TRUE(ns.allowPingSockets());
    NetNamespace::Entered inside(ns); // the traces' threads are made from this one
    ASSERT_TRUE(inside.ok());
    FinishedTraces finished;
    auto watch = std::make_unique<RouteWatch>(finished.done());
    watch->setRounds(1000);
    const std::pair<const char*, const char*> hosts[] = {{"far.test", "198.18.0.1"}, {"far6.test", "2001:2::1"}};
    RunId run = 1;
    for (const auto& [host, address] : hosts) {
        for (HostStatus status : {HostStatus::Good, HostStatus::Bad}) {
            ProbeEvent event;
            event.run = run;
            event.host = host;
            event.address = address;
            event.hostStatus = status;
            watch->probed(event);
        }
        EXPECT_TRUE(watch->tracing(host));
        ++run;
    }
    EXPECT_EQ(watch->started(), 2u);
    watch->stop(); // a hang here fails the test by its time limit
    EXPECT_FALSE(watch->tracing("far.test"));
    EXPECT_FALSE(watch->tracing("far6.test"));
    watch.reset();
    EXPECT_TRUE(finished.list().empty()) << "a stopped trace was reported";
}

} // namespace
