#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/QtWindowPort.h"
#include "tests/app/AppTestSupport.h"

namespace {

using namespace std::chrono_literals;

// What reached the window thread, in order.
struct Received {
    std::vector<std::string> events;
    std::thread::id lastThread;
    int stops = 0;
};

QtWindowPort::Handlers recording(Received& r) {
    QtWindowPort::Handlers h;
    h.probed = [&r](const ProbeEvent& e) {
        r.events.push_back("probe" + std::to_string(e.stats.requests) + ":" + e.replier);
        r.lastThread = std::this_thread::get_id();
    };
    h.postLog = [&r](const ProbeEvent& e) {
        r.events.push_back("log" + std::to_string(static_cast<int>(e.hostStatus)) + ":" + e.replier);
    };
    h.runEnded = [&r](RunId run, RunEnd end) {
        ++r.stops;
        r.events.push_back((end == RunEnd::ChannelFailed ? "stopped:failed " : "stopped ") + std::to_string(run));
    };
    return h;
}

ProbeEvent probe(std::uint32_t requests, std::string replier = "127.0.0.1") {
    ProbeEvent e;
    e.stats.requests = requests;
    e.replier = std::move(replier);
    e.hostStatus = HostStatus::Good;
    return e;
}

TEST(QtWindowPort, WorkerCallsArriveOnTheWindowThreadInOrder) {
    TestApp();
    Received r;
    QtWindowPort port(recording(r));
    std::thread worker([&] {
        for (std::uint32_t i = 0; i < 200; ++i)
            port.probed(probe(i));
        port.postLog(probe(200));
        port.probed(probe(201, "last"));
    });
    worker.join(); // nothing the worker does waits for the window
    EXPECT_TRUE(r.events.empty());
    ASSERT_TRUE(waitFor([&] { return r.events.size() == 202; }));
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(r.events[i], "probe" + std::to_string(i) + ":127.0.0.1");
    EXPECT_EQ(r.events[200], "log3:127.0.0.1");
    EXPECT_EQ(r.events[201], "probe201:last");
    EXPECT_EQ(r.lastThread, std::this_thread::get_id());
}

TEST(QtWindowPort, StopAnswerWaitsUntilTheWindowHandledIt) {
    TestApp();
    Received r;
    QtWindowPort port(recording(r));
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        port.probed(probe(1, "before"));
        port.runEnded(7, RunEnd::ChannelFailed);
        returned = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned); // the window thread has not run its queue yet
    ASSERT_TRUE(waitFor([&] { return returned.load(); }));
    worker.join();
    EXPECT_EQ(r.events, (std::vector<std::string>{"probe1:before", "stopped:failed 7"}));
}

TEST(QtWindowPort, ShutdownReleasesAWaitingWorkerAndDropsTheRest) {
    TestApp();
    Received r;
    QtWindowPort port(recording(r));
    auto answered = std::async(std::launch::async, [&] { port.runEnded(1, RunEnd::Stopped); });
    ASSERT_EQ(answered.wait_for(50ms), std::future_status::timeout);
    port.shutdown(); // the window is going away without running its queue
    EXPECT_EQ(answered.wait_for(5s), std::future_status::ready);
    port.probed(probe(1, "late"));
    port.runEnded(1, RunEnd::Stopped); // returns at once
    spin(50ms);
    EXPECT_TRUE(r.events.empty());
    EXPECT_EQ(r.stops, 0);
}

TEST(QtWindowPort, PortDestroyedWithCallsQueuedIsSafe) {
    TestApp();
    Received r;
    {
        QtWindowPort port(recording(r));
        std::thread([&] { port.probed(probe(1, "queued")); }).join();
    }
    spin(50ms);
    EXPECT_TRUE(r.events.empty());
}

} // namespace
