#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "support/WorkerHarness.h"

namespace {

using namespace std::chrono_literals;
using Kind = WindowEvent::Kind;
constexpr auto kPatience = WorkerHarness::kPatience;

bool cycles(const RecordingWindowPort& window, std::size_t count) {
    return window.waitUntil(
        [count](const std::vector<WindowEvent>& events) {
            std::size_t n = 0;
            for (const WindowEvent& e : events)
                n += e.kind == Kind::Label && e.label == Label::Lost ? 1 : 0;
            return n >= count;
        },
        kPatience);
}

TEST(WorkerLifecycle, AStartPostedRightAwayIsNeverLost) {
    for (int i = 0; i < 200; ++i) {
        Settings settings;
        settings.interval = 0;
        ScriptedEchoChannel channel;
        channel.setFallback(EchoOutcome::good(1));
        RecordingWindowPort window;
        {
            ProbeWorker worker(channel, window, nullptr);
            // Half of the runs post before the thread exists at all.
            if (i % 2 == 0)
                worker.start();
            worker.post(StartCommand{RunSettings::from(settings, EchoOutcome::loopback())});
            worker.post(StopCommand{});
            worker.post(QuitCommand{});
            if (i % 2 == 1)
                worker.start();
            ASSERT_TRUE(worker.joinFor(kPatience)) << "iteration " << i;
        }
        ASSERT_EQ(channel.opens(), 1u) << "iteration " << i;
        // Queued before the thread ran, the three take a turn each: the start's cycle, the stop, the quit.
        if (i % 2 == 1) {
            ASSERT_EQ(channel.sends(), 1u) << "iteration " << i;
        } else {
            ASSERT_GE(channel.sends(), 1u) << "iteration " << i;
        }
        ASSERT_EQ(window.stops(), std::vector<bool>{false}) << "iteration " << i;
        ASSERT_FALSE(channel.isOpen());
    }
}

TEST(WorkerLifecycle, HundredsOfRunsStartAndStopCleanly) {
    WorkerHarness h;
    // A long pause makes the count of probes exact: every turn of a run probes once, and only the queued
    // stop ends the pause early.
    h.settings.interval = 3'600'000;
    h.channel.setFallback(EchoOutcome::good(1));
    ProbeWorker& worker = h.started();
    constexpr std::size_t kRuns = 300;
    for (std::size_t run = 0; run < kRuns; ++run) {
        worker.post(h.startCommand());
        if (run % 3 == 0)
            worker.post(ResetCommand{});
        if (run % 5 == 0)
            worker.post(LoggingOffCommand{}); // a notice: it takes no turn
        worker.post(StopCommand{});
        if (run % 2 == 0) { // half the time let the answer come first, half the time pile the requests up
            ASSERT_TRUE(h.window.waitForStops(run + 1, kPatience)) << "run " << run;
        }
    }
    ASSERT_TRUE(h.window.waitForStops(kRuns, kPatience));
    EXPECT_EQ(h.window.stops(), std::vector<bool>(kRuns, false));
    EXPECT_EQ(h.channel.sends(), kRuns + kRuns / 3) << "one probe per turn, one request per turn";
    EXPECT_EQ(h.channel.opens(), kRuns);
    EXPECT_EQ(h.channel.closes(), kRuns);
    EXPECT_FALSE(h.channel.openedWhileOpen());
    EXPECT_FALSE(h.channel.sentWhileClosed());
    EXPECT_TRUE(h.quit());
}

TEST(WorkerLifecycle, StopOrQuitCutsALongIntervalShort) {
    WorkerHarness h;
    h.settings.interval = 3'600'000; // an hour
    h.channel.setFallback(EchoOutcome::good(1));
    ProbeWorker& worker = h.started();
    for (int run = 0; run < 20; ++run) {
        worker.post(h.startCommand());
        ASSERT_TRUE(cycles(h.window, static_cast<std::size_t>(run) + 1));
        worker.post(StopCommand{});
        ASSERT_TRUE(h.window.waitForStops(static_cast<std::size_t>(run) + 1, kPatience)) << "run " << run;
    }
    EXPECT_EQ(h.channel.sends(), 20u) << "a stop ends the pause, it does not start another probe";

    worker.post(h.startCommand());
    ASSERT_TRUE(cycles(h.window, 21));
    EXPECT_TRUE(h.quit()) << "quit during the pause";
    EXPECT_EQ(h.window.stops().size(), 20u) << "no answer at exit";
    EXPECT_FALSE(h.channel.isOpen());
}

TEST(WorkerLifecycle, ResetWaitsForTheNextTurnDuringAPause) {
    WorkerHarness h;
    h.settings.interval = 3'600'000;
    h.channel.setFallback(EchoOutcome::good(1));
    ProbeWorker& worker = h.started();
    worker.post(h.startCommand());
    ASSERT_TRUE(cycles(h.window, 1));
    worker.post(ResetCommand{});
    worker.post(LoggingOffCommand{});
    std::this_thread::sleep_for(50ms); // give a wrongly woken worker the chance to probe
    EXPECT_EQ(h.channel.sends(), 1u);
    EXPECT_TRUE(h.quit());
}

TEST(WorkerLifecycle, AnIdleWorkerTakesAStartUpAtOnceAndLogsItsFirstChange) {
    // The first status change of a run is logged: the worker needs nothing from the window thread for it.
    WorkerHarness h;
    h.settings.analysisMode = AnalysisMode::Percent; // the first outcome decides
    h.settings.logLevel = LogLevel::StatusChanges;
    h.channel.setFallback(EchoOutcome::good(1));
    ProbeWorker& worker = h.started();
    worker.post(StopCommand{}); // answered at once; the worker then sleeps on its queue
    ASSERT_TRUE(h.window.waitForStops(1, kPatience));
    worker.post(h.startCommand());
    ASSERT_TRUE(h.window.waitUntil(
        [](const std::vector<WindowEvent>& events) {
            return std::any_of(events.begin(), events.end(), [](const WindowEvent& e) { return e.kind == Kind::Log; });
        },
        kPatience));
    const std::vector<WindowEvent> logs = h.window.eventsOf(Kind::Log);
    EXPECT_EQ(logs.front(), WindowEvent::log(HostStatus::Good, "Replay from 127.0.0.1: bytes=32 time=1ms TTL=64"));
    EXPECT_TRUE(h.quit());
}

TEST(WorkerLifecycle, AStopWaitsForTheProbeUnderWay) {
    WorkerHarness h;
    ASSERT_TRUE(h.runScript({EchoOutcome::good(3)})); // the second probe now waits on the script
    h.worker->post(StopCommand{});
    h.channel.push(EchoOutcome::good(4));
    ASSERT_TRUE(h.window.waitForStops(1, kPatience));
    const std::vector<WindowEvent> events = h.window.events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.back(), WindowEvent::stopped(false));
    EXPECT_EQ(events[events.size() - 2], WindowEvent::labelSet(Label::Lost, "0 (0%)"));
    EXPECT_EQ(h.window.lastLabel(Label::Total), "2");
    EXPECT_EQ(h.channel.sends(), 2u);
}

TEST(WorkerLifecycle, ResetsAndNoticesWhileIdleChangeNothing) {
    WorkerHarness h;
    ProbeWorker& worker = h.started();
    for (int i = 0; i < 10; ++i)
        worker.post(i % 2 == 0 ? WorkerCommand{ResetCommand{}} : WorkerCommand{LoggingOffCommand{}});
    ASSERT_TRUE(h.runScript({EchoOutcome::good(2)}));
    worker.post(LoggingOffCommand{});
    ASSERT_TRUE(h.probe({EchoOutcome::good(2), EchoOutcome::good(2), EchoOutcome::good(2), EchoOutcome::good(2)}));
    EXPECT_EQ(h.window.lastLabel(Label::Total), "5");
    EXPECT_EQ(h.channel.opens(), 1u);
    EXPECT_TRUE(h.window.stops().empty());
}

TEST(WorkerLifecycle, AFailedOpenAnswersAndALaterStartTriesAgain) {
    WorkerHarness h;
    h.channel.failOpens(2);
    h.channel.setFallback(EchoOutcome::good(1));
    ProbeWorker& worker = h.started();
    worker.post(h.startCommand());
    worker.post(h.startCommand());
    ASSERT_TRUE(h.window.waitForStops(2, kPatience));
    EXPECT_EQ(h.window.stops(), (std::vector<bool>{true, true}));
    EXPECT_EQ(h.channel.sends(), 0u);
    EXPECT_EQ(h.window.count(Kind::Label), 0u);

    h.window.clear();
    ASSERT_TRUE(h.runAndStop({EchoOutcome::good(1)}));
    EXPECT_EQ(h.window.stops(), std::vector<bool>{false});
    EXPECT_EQ(h.window.lastLabel(Label::Total), "1");
}

TEST(WorkerLifecycle, PostsFromSeveralThreadsWhileProbing) {
    WorkerHarness h;
    h.settings.logLevel = LogLevel::EveryRequest;
    h.channel.setFallback(EchoOutcome::good(1));
    ProbeWorker& worker = h.started();
    worker.post(h.startCommand());
    std::atomic<bool> go{false};
    std::vector<std::thread> posters;
    for (int t = 0; t < 3; ++t)
        posters.emplace_back([&] {
            while (!go.load())
                std::this_thread::yield();
            for (int i = 0; i < 300; ++i)
                worker.post(i % 2 == 0 ? WorkerCommand{ResetCommand{}} : WorkerCommand{LoggingOffCommand{}});
        });
    go = true;
    for (std::thread& t : posters)
        t.join();
    worker.post(StopCommand{});
    ASSERT_TRUE(h.window.waitForStops(1, kPatience));
    EXPECT_TRUE(h.quit());
}

TEST(WorkerLifecycle, DestroyingARunningWorkerEndsItsThread) {
    for (int i = 0; i < 50; ++i) {
        WorkerHarness h;
        h.settings.interval = (i % 2 == 0) ? 0 : 3'600'000;
        h.channel.setFallback(EchoOutcome::good(1));
        h.started().post(h.startCommand());
        ASSERT_TRUE(cycles(h.window, 1));
        h.worker.reset(); // the destructor posts the quit and joins
        EXPECT_FALSE(h.channel.isOpen());
    }
}

} // namespace
