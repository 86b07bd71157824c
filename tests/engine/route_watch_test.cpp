// The route watch beside a real probe worker: a Good to Bad edge starts exactly one trace of the probed
// address, and the run's probes, figures and alerts are what they are without the watch.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "engine/RouteWatch.h"
#include "support/NetNamespace.h"
#include "support/WorkerHarness.h"

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
            owner_.changed_.notify_all();
            owner_.changed_.wait(lock, [this] { return owner_.released_ > 0 || stopped_; });
            if (!stopped_)
                --owner_.released_;
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
std::vector<ProbeEvent> timeless(std::vector<ProbeEvent> events) {
    for (ProbeEvent& e : events)
        e.unixMs = 0;
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
    WorkerHarness plain;
    ASSERT_TRUE(plain.runScript(kScript));
    ASSERT_TRUE(plain.probe(kThirdOutage));
    ASSERT_EQ(goodToBadEdges(plain.observer.events()), 3) << "the script has three outages";

    ScriptedTraces traces;
    FinishedTraces finished;
    RouteWatch watch(finished.done(), traces.factory(), [] { return std::int64_t{1234}; });
    watch.setRounds(7);
    WorkerHarness h;
    h.worker = std::make_unique<ProbeWorker>(h.channel, h.window, &h.alerts);
    h.worker->addObserver(h.observer);
    h.worker->addObserver(watch);
    h.worker->start();
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
    ASSERT_TRUE(h.quit());
    ASSERT_TRUE(plain.quit());
}

// No edge, no trace: a run that begins Bad, Average on the way, or RouteRounds 0.
TEST(RouteWatch, OnlyAGoodToBadEdgeStartsATrace) {
    const struct {
        const char* what;
        std::uint32_t rounds;
        std::vector<EchoOutcome> script;
        std::uint64_t traces;
    } cases[] = {
        {"down from the start", 10, {lost(), lost(), lost(), lost(), good(), good(), good()}, 0},
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
        WorkerHarness h;
        h.worker = std::make_unique<ProbeWorker>(h.channel, h.window, &h.alerts);
        h.worker->addObserver(watch);
        h.worker->start();
        ASSERT_TRUE(h.runScript(c.script));
        EXPECT_EQ(watch.started(), c.traces);
        ASSERT_TRUE(h.quit());
        // Stopping ends the trace under way without reporting it.
        watch.stop();
        EXPECT_FALSE(watch.tracing(h.settings.host));
        EXPECT_TRUE(finished.list().empty());
    }
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
