// The path watch with scripted traces: a watched host is traced every interval from its run's first probe on,
// whatever its status, with its own rounds, until its run ends or it is no longer watched; a lasting change is
// reported once with the host's names, and a host probed at a new address starts a new path.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "engine/PathWatch.h"
#include "support/RecordingPathObserver.h"
#include "support/RouteHops.h"

namespace {

using namespace std::chrono_literals;

// Each trace answers at once with the next path of the script (the last one again once it runs out).
class ScriptedPaths {
public:
    explicit ScriptedPaths(std::vector<std::vector<RouteHop>> script) : script_(std::move(script)) {}

    RouteWatch::TraceFactory factory() {
        return [this] { return std::make_unique<Trace>(*this); };
    }
    std::vector<std::pair<IpAddress, std::uint32_t>> asked() const {
        std::lock_guard lock(mutex_);
        return asked_;
    }

private:
    class Trace : public RouteWatch::Trace {
    public:
        explicit Trace(ScriptedPaths& owner) : owner_(owner) {}
        RouteResult run(const IpAddress& destination, std::uint32_t rounds, std::string&) override {
            std::lock_guard lock(owner_.mutex_);
            const std::size_t n = owner_.asked_.size();
            owner_.asked_.emplace_back(destination, rounds);
            RouteResult result;
            result.destination = destination;
            result.rounds = rounds;
            result.hops = owner_.script_.at(std::min(n, owner_.script_.size() - 1));
            result.reached = true;
            return result;
        }
        void stop() override {}

    private:
        ScriptedPaths& owner_;
    };

    mutable std::mutex mutex_;
    std::vector<std::vector<RouteHop>> script_;
    std::vector<std::pair<IpAddress, std::uint32_t>> asked_;
};

std::vector<RouteHop> via(const std::string& third) {
    return {routeHop(1, {"198.18.1.2"}, 3, 0, 100, 100, 100, 100, 0),
            routeHop(2, {"198.18.2.2"}, 3, 0, 200, 200, 200, 200, 0), routeHop(3, {third}, 3, 0, 300, 300, 300, 300, 0),
            routeHop(4, {"198.18.4.2"}, 3, 0, 400, 400, 400, 400, 0)};
}

ProbeEvent probe(RunId run, const std::string& host, const std::string& address, HostStatus status) {
    ProbeEvent e;
    e.run = run;
    e.host = host;
    e.address = address;
    e.hostStatus = status;
    return e;
}

TEST(PathWatch, AWatchedHostIsTracedEveryIntervalWhateverItsStatusUntilItsRunEnds) {
    ScriptedPaths paths({via("198.18.3.2")});
    RecordingPathObserver seen;
    PathWatch watch(paths.factory(), [] { return std::int64_t{1'000}; });
    watch.addObserver(seen);
    watch.watch("watched.test", PathWatch::Settings{50, 4});
    const auto start = std::chrono::steady_clock::now();
    watch.probed(probe(1, "watched.test", "198.18.4.2", HostStatus::Bad));
    watch.probed(probe(2, "other.test", "198.18.7.2", HostStatus::Good));
    watch.probed(probe(1, "watched.test", "198.18.4.2", HostStatus::Bad));
    ASSERT_TRUE(seen.waitTraces(4));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms) << "one trace per interval, not a burst";
    for (const auto& [destination, rounds] : paths.asked()) {
        EXPECT_EQ(destination.text(), "198.18.4.2") << "only the watched host, at the address its run probes";
        EXPECT_EQ(rounds, 4u);
    }
    const PathTrace first = seen.traces().front();
    EXPECT_EQ(first, (PathTrace{"watched.test", "198.18.4.2", 1'000, via("198.18.3.2"), true}));
    EXPECT_TRUE(seen.changes().empty());

    watch.runEnded(1, 0);
    EXPECT_FALSE(watch.watching("watched.test"));
    const std::size_t afterEnd = paths.asked().size();
    std::this_thread::sleep_for(200ms);
    EXPECT_LE(paths.asked().size(), afterEnd + 1) << "at most the trace under way when the run ended";

    // A new run traces again; once no longer watched, the host is traced no more.
    watch.probed(probe(3, "watched.test", "198.18.4.2", HostStatus::Good));
    ASSERT_TRUE(seen.waitTraces(seen.traces().size() + 2));
    watch.unwatch("watched.test");
    const std::size_t afterUnwatch = paths.asked().size();
    watch.probed(probe(3, "watched.test", "198.18.4.2", HostStatus::Good));
    std::this_thread::sleep_for(200ms);
    EXPECT_LE(paths.asked().size(), afterUnwatch + 1);
}

TEST(PathWatch, ALastingChangeIsReportedOnceWithTheHostsNames) {
    ScriptedPaths paths({via("198.18.3.2"), via("198.18.3.2"), via("198.18.9.2"), via("198.18.9.2")});
    RecordingPathObserver seen;
    PathWatch watch(paths.factory());
    watch.addObserver(seen);
    watch.watch("host.test", PathWatch::Settings{10, 3});
    watch.probed(probe(1, "host.test", "198.18.4.2", HostStatus::Good));
    ASSERT_TRUE(seen.waitTraces(8));
    watch.stop();
    const std::vector<RouteChange> changes = seen.changes();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].host, "host.test");
    EXPECT_EQ(changes[0].address, "198.18.4.2");
    EXPECT_EQ(changes[0].hop, 3);
    EXPECT_EQ(changes[0].atMs, seen.traces()[3].atMs) << "found by the second trace of the new path";
}

// A name that now resolves elsewhere is another path: what was learnt of the old one makes no change.
TEST(PathWatch, AHostProbedAtANewAddressStartsANewPath) {
    ScriptedPaths paths({via("198.18.3.2"), via("198.18.9.2")});
    RecordingPathObserver seen;
    PathWatch watch(paths.factory());
    watch.addObserver(seen);
    watch.watch("host.test", PathWatch::Settings{60'000, 3}); // the old address is traced once
    watch.probed(probe(1, "host.test", "198.18.4.2", HostStatus::Good));
    ASSERT_TRUE(seen.waitTraces(1));
    watch.probed(probe(1, "host.test", "198.18.6.2", HostStatus::Good));
    watch.watch("host.test", PathWatch::Settings{10, 3});
    ASSERT_TRUE(seen.waitTraces(6));
    watch.stop();
    EXPECT_TRUE(seen.changes().empty());
    EXPECT_EQ(seen.traces().back().address, "198.18.6.2");
}

} // namespace
