// What follows a route trace taken at an outage: it is kept, counted and notified on the window thread, the
// notification only while the host is still Bad, and a kept trace comes back to the Route window as it was.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "AppTestSupport.h"
#include "app/route/OutageRoutes.h"

namespace {

IpAddress address(const char* text) {
    return RouteWatch::parseAddress(text).value();
}

// The result of a trace with every kind of hop: balanced, silent, and the destination answering unreachable.
RouteResult sampleResult() {
    RouteResult r;
    r.destination = address("198.18.4.2");
    r.rounds = 10;
    r.reached = false;
    r.lossBeginsAt = 3;
    RouteHop first;
    first.number = 1;
    first.answered = {address("198.18.1.2")};
    first.sent = first.received = 10;
    first.lastUs = 310;
    first.bestUs = 250;
    first.averageUs = 300;
    first.worstUs = 420;
    first.stdDevUs = 51;
    RouteHop silent;
    silent.number = 2;
    silent.sent = 10;
    RouteHop balanced;
    balanced.number = 3;
    balanced.answered = {address("198.18.3.2"), address("2001:2:0:3::2")};
    balanced.sent = 10;
    balanced.received = 6;
    balanced.lastUs = balanced.bestUs = balanced.averageUs = balanced.worstUs = 900;
    balanced.unreachable = true;
    r.hops = {first, silent, balanced};
    return r;
}

// A trace that waits to be let go, then gives the sample result.
class HeldTrace : public RouteWatch::Trace {
public:
    struct Gate {
        std::mutex mutex;
        std::condition_variable open;
        bool released = false;
        void release() {
            std::lock_guard lock(mutex);
            released = true;
            open.notify_all();
        }
    };
    explicit HeldTrace(Gate& gate) : gate_(gate) {}
    RouteResult run(const IpAddress&, std::uint32_t, std::string&) override {
        std::unique_lock lock(gate_.mutex);
        gate_.open.wait(lock, [this] { return gate_.released || stopped_; });
        return sampleResult();
    }
    void stop() override {
        std::lock_guard lock(gate_.mutex);
        stopped_ = true;
        gate_.open.notify_all();
    }

private:
    Gate& gate_;
    bool stopped_ = false;
};

ProbeEvent probe(HostStatus status) {
    ProbeEvent e;
    e.run = 1;
    e.host = "far.test";
    e.address = "198.18.4.2";
    e.hostStatus = status;
    return e;
}

struct Heard {
    std::vector<RouteSnapshot> kept;
    std::vector<std::string> traced;
    std::vector<std::string> notified;
};

OutageRoutes::Services recordInto(Heard& heard) {
    OutageRoutes::Services s;
    s.keep = [&heard](RouteSnapshot snapshot) { heard.kept.push_back(std::move(snapshot)); };
    s.traced = [&heard](const std::string& host, const std::string& address, std::optional<std::uint32_t> hop) {
        heard.traced.push_back(host + " " + address + " " + (hop ? std::to_string(*hop) : "none"));
    };
    s.notify = [&heard](const std::string& host, const std::string& line) {
        heard.notified.push_back(host + ": " + line);
    };
    return s;
}

TEST(OutageRoutes, ATraceIsKeptCountedAndNotifiedOnlyWhileTheHostIsBad) {
    TestApp();
    const struct {
        const char* what;
        bool recoversFirst;
        std::size_t notifications;
    } cases[] = {{"still Bad", false, 1}, {"Good again before the trace ended", true, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Heard heard;
        HeldTrace::Gate gate;
        OutageRoutes routes(recordInto(heard), [&gate] { return std::make_unique<HeldTrace>(gate); });
        routes.setRounds(4);
        routes.watch().probed(probe(HostStatus::Good));
        routes.watch().probed(probe(HostStatus::Bad));
        if (c.recoversFirst)
            routes.watch().probed(probe(HostStatus::Good));
        gate.release();
        ASSERT_TRUE(waitFor([&] { return !heard.kept.empty(); }));
        EXPECT_EQ(heard.traced, std::vector<std::string>{"far.test 198.18.4.2 3"});
        ASSERT_EQ(heard.notified.size(), c.notifications);
        if (c.notifications != 0) {
            EXPECT_EQ(heard.notified[0], "far.test: Loss begins at hop 3 (198.18.3.2)");
        }
        EXPECT_EQ(heard.kept[0].host, "far.test");
        EXPECT_EQ(heard.kept[0].reason, RouteReason::Outage);
    }
}

// Nothing follows a trace that the program's exit cut short.
TEST(OutageRoutes, AStoppedTraceIsDropped) {
    TestApp();
    Heard heard;
    HeldTrace::Gate gate;
    OutageRoutes routes(recordInto(heard), [&gate] { return std::make_unique<HeldTrace>(gate); });
    routes.watch().probed(probe(HostStatus::Good));
    routes.watch().probed(probe(HostStatus::Bad));
    routes.stop();
    spin(std::chrono::milliseconds(50));
    EXPECT_TRUE(heard.kept.empty());
    EXPECT_TRUE(heard.traced.empty());
    EXPECT_TRUE(heard.notified.empty());
}

// The trace as kept, read back for the Route window, is the trace as taken.
TEST(OutageRoutes, AKeptTraceComesBackAsItWasTaken) {
    RouteWatch::Finished finished;
    finished.host = "far.test";
    finished.address = "198.18.4.2";
    finished.startedMs = 1'796'684'400'000;
    finished.result = sampleResult();
    const RouteSnapshot snapshot = OutageRoutes::snapshotOf(finished);
    EXPECT_EQ(snapshot.takenMs, finished.startedMs);
    EXPECT_EQ(snapshot.lossBeginsAt, 3);
    ASSERT_EQ(snapshot.hops.size(), 3u);
    EXPECT_EQ(snapshot.hops[1].lost(), 10u);
    ASSERT_EQ(snapshot.hops[2].answered.size(), 2u);
    EXPECT_EQ(snapshot.hops[2].answered[1].text(), "2001:2:0:3::2");
    EXPECT_EQ(OutageRoutes::resultOf(snapshot), sampleResult());
}

} // namespace
