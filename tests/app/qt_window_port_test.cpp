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
    h.setLabel = [&r](Label label, const QString& text) {
        r.events.push_back("label" + std::to_string(static_cast<int>(label)) + ":" + text.toStdString());
        r.lastThread = std::this_thread::get_id();
    };
    h.showStatusIcon = [&r](HostStatus s) { r.events.push_back("icon" + std::to_string(static_cast<int>(s))); };
    h.postLog = [&r](HostStatus s, const std::string& text) {
        r.events.push_back("log" + std::to_string(static_cast<int>(s)) + ":" + text);
    };
    h.runEnded = [&r](RunEnd end) {
        ++r.stops;
        r.events.push_back(end == RunEnd::ChannelFailed ? "stopped:failed" : "stopped");
    };
    return h;
}

TEST(QtWindowPort, WorkerCallsArriveOnTheWindowThreadInOrder) {
    TestApp();
    Received r;
    QtWindowPort port(recording(r));
    std::thread worker([&] {
        for (int i = 0; i < 200; ++i)
            port.setLabel(Label::Total, std::to_string(i));
        port.showStatusIcon(HostStatus::Good);
        port.postLog(HostStatus::Good, "Replay from 127.0.0.1: bytes=32 time=0ms TTL=64");
        port.setLabel(Label::Status, "last");
    });
    worker.join(); // nothing the worker does waits for the window
    EXPECT_TRUE(r.events.empty());
    ASSERT_TRUE(waitFor([&] { return r.events.size() == 203; }));
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(r.events[i], "label2:" + std::to_string(i));
    EXPECT_EQ(r.events[200], "icon3");
    EXPECT_EQ(r.events[201], "log3:Replay from 127.0.0.1: bytes=32 time=0ms TTL=64");
    EXPECT_EQ(r.events[202], "label1:last");
    EXPECT_EQ(r.lastThread, std::this_thread::get_id());
}

TEST(QtWindowPort, StopAnswerWaitsUntilTheWindowHandledIt) {
    TestApp();
    Received r;
    QtWindowPort port(recording(r));
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        port.setLabel(Label::Status, "before");
        port.runEnded(RunEnd::ChannelFailed);
        returned = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned); // the window thread has not run its queue yet
    ASSERT_TRUE(waitFor([&] { return returned.load(); }));
    worker.join();
    EXPECT_EQ(r.events, (std::vector<std::string>{"label1:before", "stopped:failed"}));
}

TEST(QtWindowPort, ShutdownReleasesAWaitingWorkerAndDropsTheRest) {
    TestApp();
    Received r;
    QtWindowPort port(recording(r));
    auto answered = std::async(std::launch::async, [&] { port.runEnded(RunEnd::Stopped); });
    ASSERT_EQ(answered.wait_for(50ms), std::future_status::timeout);
    port.shutdown(); // the window is going away without running its queue
    EXPECT_EQ(answered.wait_for(5s), std::future_status::ready);
    port.setLabel(Label::Status, "late");
    port.runEnded(RunEnd::Stopped); // returns at once
    spin(50ms);
    EXPECT_TRUE(r.events.empty());
    EXPECT_EQ(r.stops, 0);
}

TEST(QtWindowPort, PortDestroyedWithCallsQueuedIsSafe) {
    TestApp();
    Received r;
    {
        QtWindowPort port(recording(r));
        std::thread([&] { port.setLabel(Label::Status, "queued"); }).join();
    }
    spin(50ms);
    EXPECT_TRUE(r.events.empty());
}

} // namespace
