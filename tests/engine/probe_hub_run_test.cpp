// What a host on the hub keeps of a run of its own: figures and their rounding, the pause after each result,
// stop, reset and restart, log records, alerts, observers; all on a scripted network, no namespace needed.

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/ProbeStatistics.h"
#include "support/HubHarness.h"
#include "text/ProbeText.h"
#include "types/IpStatus.h"
#include "types/Rounding.h"

namespace {

using namespace std::chrono_literals;
using Kind = WindowEvent::Kind;
constexpr auto kPatience = HubHarness::kPatience;
constexpr RunId kRun = HubHarness::kRun;

EchoOutcome good(std::uint32_t rtt) {
    return EchoOutcome::good(rtt);
}
EchoOutcome lost() {
    return EchoOutcome::failure(IpStatus::RequestTimedOut);
}

IpAddress address(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return IpAddress::v4(a.s_addr);
}

bool probes(const RecordingWindowPort& window, std::size_t count) {
    return window.waitUntil(
        [count](const std::vector<WindowEvent>& events) {
            return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), [](const WindowEvent& e) {
                       return e.kind == Kind::Label && e.label == Label::Lost;
                   })) >= count;
        },
        kPatience);
}

TEST(Rounding, HalvesGoToTheEvenNeighbour) {
    const std::pair<double, std::uint32_t> cases[] = {{2.5, 2},
                                                      {3.5, 4},
                                                      {12.5, 12},
                                                      {37.5, 38},
                                                      {0.5, 0},
                                                      {1.5, 2},
                                                      {2.4999, 2},
                                                      {2.5001, 3},
                                                      {0.0, 0},
                                                      {-3.0, 0},
                                                      {4294967295.0, 4294967295u}};
    for (const auto& [value, expected] : cases)
        EXPECT_EQ(Rounding::halfEven(value), expected) << value;
    EXPECT_EQ(Rounding::quotient(5, 2), 2u);
    EXPECT_EQ(Rounding::quotient(7, 2), 4u);
    EXPECT_EQ(Rounding::quotient(7, 0), 0u);
}

TEST(ProbeStatistics, SumWrapsAndTheAverageFollowsTheWrappedSum) {
    ProbeStatistics stats;
    stats.addReply(0xFFFFFFF0u, 0xFFFFFFF0u);
    stats.addReply(0x20u, 0x20u);
    EXPECT_EQ(stats.rttSum(), 0x10u);
    RunStatistics figures = stats.figures();
    EXPECT_EQ(figures.avgMs, 8u);
    EXPECT_EQ(figures.minMs, 32u);
    EXPECT_EQ(figures.maxMs, 4294967280u);
    EXPECT_EQ(figures.avgUs, 2147483656u) << "the exact figures do not wrap";
    stats.reset();
    figures = stats.figures();
    EXPECT_EQ(stats.minRtt(), ProbeStatistics::kNoRtt);
    EXPECT_EQ(ProbeText::lost(figures), "0 (0%)");
    EXPECT_EQ(figures.minUs, 0u);
}

struct TextsCase {
    std::string name;
    std::vector<EchoOutcome> outcomes;
    std::string total, lost, avg;
};

class HostTexts : public ::testing::TestWithParam<TextsCase> {};

TEST_P(HostTexts, LabelsCoverEverythingSinceTheRunStarted) {
    HubHarness h;
    ASSERT_TRUE(h.runScript(GetParam().outcomes));
    EXPECT_EQ(h.window.lastLabel(Label::Total), GetParam().total);
    EXPECT_EQ(h.window.lastLabel(Label::Lost), GetParam().lost);
    EXPECT_EQ(h.window.lastLabel(Label::Avg).value_or("-"), GetParam().avg);
}

INSTANTIATE_TEST_SUITE_P(
    Rounded, HostTexts,
    ::testing::Values(TextsCase{"AverageTwoPointFive", {good(2), good(3)}, "2", "0 (0%)", "2ms"},
                      TextsCase{"AverageThreePointFive", {good(3), good(4)}, "2", "0 (0%)", "4ms"},
                      TextsCase{"OneInEight",
                                {lost(), good(1), good(1), good(1), good(1), good(1), good(1), good(1)},
                                "8",
                                "1 (12%)",
                                "1ms"},
                      TextsCase{"ThreeInEight",
                                {lost(), lost(), lost(), good(1), good(1), good(1), good(1), good(1)},
                                "8",
                                "3 (38%)",
                                "1ms"},
                      TextsCase{"OneInThree", {lost(), good(5), good(6)}, "3", "1 (33%)", "6ms"},
                      TextsCase{"TwoInThree", {lost(), EchoOutcome::errorReply(11003), good(6)}, "3", "2 (67%)", "6ms"},
                      TextsCase{"OnlyLosses", {lost(), lost()}, "2", "2 (100%)", "-"}),
    [](const auto& info) { return info.param.name; });

TEST(HostOnTheHub, EachProbeWritesItsLabelsInOrder) {
    HubHarness h;
    h.settings.analysisMode = static_cast<AnalysisMode>(3); // keep the analysis out of this record
    ASSERT_TRUE(
        h.runScript({EchoOutcome::good(14, 32, 57), lost(), EchoOutcome::errorReply(11003, address("192.0.2.1")),
                     EchoOutcome::failure(IpStatus::GeneralFailure)}));
    const std::vector<WindowEvent> expected = {
        WindowEvent::labelSet(Label::Min, "14ms"),
        WindowEvent::labelSet(Label::Max, "14ms"),
        WindowEvent::labelSet(Label::Avg, "14ms"),
        WindowEvent::labelSet(Label::Status, "Replay from 127.0.0.1: bytes=32 time=14ms TTL=57"),
        WindowEvent::labelSet(Label::Total, "1"),
        WindowEvent::labelSet(Label::Lost, "0 (0%)"),
        // A timeout has no address and leaves the times alone.
        WindowEvent::labelSet(Label::Status, "Request Timed Out"),
        WindowEvent::labelSet(Label::Total, "2"),
        WindowEvent::labelSet(Label::Lost, "1 (50%)"),
        WindowEvent::labelSet(Label::Status, "Replay from 192.0.2.1: Destination Host Unreachable"),
        WindowEvent::labelSet(Label::Total, "3"),
        WindowEvent::labelSet(Label::Lost, "2 (67%)"),
        // A send the kernel refused.
        WindowEvent::labelSet(Label::Status, "General Failure"),
        WindowEvent::labelSet(Label::Total, "4"),
        WindowEvent::labelSet(Label::Lost, "3 (75%)"),
    };
    EXPECT_EQ(h.window.events(), expected);
}

TEST(HostOnTheHub, MinimumAndMaximumTrackEveryGoodReply) {
    HubHarness h;
    ASSERT_TRUE(h.runScript({good(5), good(3), lost(), good(7), good(7), good(4)}));
    EXPECT_EQ(h.window.labels(Label::Min), (std::vector<std::string>{"5ms", "3ms", "3ms", "3ms", "3ms"}));
    EXPECT_EQ(h.window.labels(Label::Max), (std::vector<std::string>{"5ms", "5ms", "7ms", "7ms", "7ms"}));
    EXPECT_EQ(h.window.lastLabel(Label::Avg), "5ms"); // 26 / 5 = 5.2
}

TEST(HostOnTheHub, ResetClearsTheCountersButNotTheAnalysis) {
    HubHarness h;
    h.settings.tries = 3;
    ASSERT_TRUE(h.runScript({good(10), good(20), good(30)}));
    ASSERT_EQ(h.status(), HostStatus::Good);

    h.hub->resetRun(kRun); // taken after the request now under way
    ASSERT_TRUE(h.probe({good(40), lost()}));
    EXPECT_EQ(h.window.lastLabel(Label::Total), "1");
    EXPECT_EQ(h.window.lastLabel(Label::Lost), "1 (100%)");
    EXPECT_EQ(h.window.lastLabel(Label::Min), "10ms") << "times keep their texts until the next good reply";
    EXPECT_EQ(h.window.lastLabel(Label::Avg), "25ms");
    // The ring still holds two of the good replies: the window of three is mixed, so Average.
    EXPECT_EQ(h.status(), HostStatus::Average);

    ASSERT_TRUE(h.probe({good(90)}));
    EXPECT_EQ(h.window.lastLabel(Label::Min), "90ms");
    EXPECT_EQ(h.window.lastLabel(Label::Max), "90ms");
    EXPECT_EQ(h.window.lastLabel(Label::Avg), "90ms");
    EXPECT_EQ(h.window.lastLabel(Label::Lost), "1 (50%)");
}

TEST(HostOnTheHub, SendsTheRequestAsConfigured) {
    for (std::int32_t buffer : {32, 0, 65507}) {
        SCOPED_TRACE(buffer);
        HubHarness h;
        h.settings.buffer = buffer;
        h.target = address("127.0.0.9");
        ASSERT_TRUE(h.runScript({EchoOutcome::good(1, static_cast<std::uint16_t>(buffer))}));
        const std::vector<ScriptedSend> sends = h.network.sends();
        ASSERT_EQ(sends.size(), 2u) << "the reply, then the request waiting on the script";
        EXPECT_EQ(sends[0].destination, address("127.0.0.9"));
        EXPECT_EQ(sends[0].data, std::vector<std::uint8_t>(static_cast<std::size_t>(buffer), 0x20));
        EXPECT_EQ(sends[0].ttl, 255);
        EXPECT_NE(sends[0].sequence, sends[1].sequence);
        EXPECT_EQ(h.network.openSource(), "") << "the kernel chooses";
        EXPECT_EQ(h.window.lastLabel(Label::Status),
                  "Replay from 127.0.0.9: bytes=" + std::to_string(buffer) + " time=1ms TTL=64");
    }
}

// Hosts share a socket per family and source, yet each request carries its own host's time to live and TOS.
TEST(HostOnTheHub, EachRequestGoesWithItsOwnHostsTtlTosAndSource) {
    HubHarness h;
    h.network.setFallback(good(1));
    RunSettings near = h.run();
    near.ttl = 1;
    RunSettings far = h.run();
    far.targetAddress = address("127.0.0.2");
    far.ttl = 64;
    RunSettings bound = h.run();
    bound.targetAddress = address("127.0.0.3");
    bound.source = "eth1";
    bound.ttl = 7;
    bound.tos = 0xb8;
    h.started().startRun(1, near);
    h.hub->startRun(2, far);
    h.hub->startRun(3, bound);
    ASSERT_TRUE(h.network.waitForSends(30, kPatience));
    h.quit();
    EXPECT_EQ(h.network.opens(), 2u) << "one socket for the kernel's source, one for eth1";
    for (const ScriptedSend& send : h.network.sends()) {
        const bool toFar = send.destination == far.targetAddress;
        const bool toBound = send.destination == bound.targetAddress;
        EXPECT_EQ(send.ttl, toFar ? 64 : toBound ? 7 : 1) << send.destination.text();
        EXPECT_EQ(send.source, toBound ? "eth1" : "");
        EXPECT_EQ(send.tos, toBound ? 0xb8 : 0);
    }
}

// Many hosts started at once spread over their interval: a host's first request waits its start delay, while
// the others go on.
TEST(HostOnTheHub, AFirstRequestWaitsItsStartDelay) {
    HubHarness h;
    h.network.setFallback(good(1));
    RunSettings prompt = h.run();
    prompt.intervalMs = 20;
    RunSettings late = prompt;
    late.targetAddress = address("127.0.0.2");
    late.startDelayMs = 300;
    timespec before{};
    clock_gettime(CLOCK_MONOTONIC, &before);
    h.started().startRun(1, prompt);
    h.hub->startRun(2, late);
    std::optional<ScriptedSend> first;
    for (int i = 0; i < 200 && !first; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (const ScriptedSend& send : h.network.sends())
            if (send.destination == late.targetAddress && !first)
                first = send;
    }
    h.quit();
    ASSERT_TRUE(first) << "the delayed host never sent";
    const std::int64_t startNs = std::int64_t{before.tv_sec} * 1'000'000'000 + before.tv_nsec;
    // A send due within 2 ms goes out with those of the same wake-up.
    EXPECT_GE(first->atNs - startNs, 298'000'000);
    const auto sends = h.network.sends();
    EXPECT_GE(std::count_if(
                  sends.begin(), sends.end(),
                  [&](const ScriptedSend& s) { return s.destination == prompt.targetAddress && s.atNs < first->atNs; }),
              3)
        << "the other host waited too";
}

TEST(HostOnTheHub, EachRunStartsWithClearEdgesCountersAndRing) {
    HubHarness h;
    h.settings.tries = 1;
    ASSERT_TRUE(h.runAndStop({good(5)}));
    EXPECT_EQ(h.window.icons(), (std::vector<HostStatus>{HostStatus::Good, HostStatus::NA}));

    // Bad would reverse the last run's Good, but a new run's first move raises nothing.
    ASSERT_TRUE(h.runAndStop({lost()}));
    EXPECT_TRUE(h.alerts.alerts().empty());
    EXPECT_EQ(h.window.lastLabel(Label::Total), "1");
    EXPECT_EQ(h.window.lastLabel(Label::Lost), "1 (100%)");

    // Within a run the reversal alerts, with the reply line and reply area of that probe.
    ASSERT_TRUE(h.runAndStop({good(5), EchoOutcome::errorReply(11003)}));
    ASSERT_EQ(h.alerts.alerts().size(), 1u) << testing::PrintToString(h.window.events());
    EXPECT_EQ(h.alerts.alerts()[0], (RaisedAlert{AlertEdge::StopResponding, HostStatus::Bad,
                                                 "Replay from 127.0.0.1: Destination Host Unreachable", 11003}));
    EXPECT_EQ(h.network.openSockets(), 0u) << "each stop gives the socket back";
}

TEST(HostOnTheHub, LogsStatusChangesAtLevelOneAndEveryProbeAtLevelTwo) {
    HubHarness h;
    h.settings.tries = 1;
    h.settings.logLevel = LogLevel::StatusChanges;
    ASSERT_TRUE(h.runAndStop({good(3), good(4), lost()}));
    EXPECT_EQ(
        h.window.eventsOf(Kind::Log),
        (std::vector<WindowEvent>{WindowEvent::log(HostStatus::Good, "Replay from 127.0.0.1: bytes=32 time=3ms TTL=64"),
                                  WindowEvent::log(HostStatus::Bad, "Request Timed Out")}))
        << "one record per change, none for the return to N/A";

    h.window.clear();
    h.settings.logLevel = LogLevel::EveryRequest;
    ASSERT_TRUE(h.runAndStop({good(3), lost(), lost()}));
    EXPECT_EQ(
        h.window.eventsOf(Kind::Log),
        (std::vector<WindowEvent>{WindowEvent::log(HostStatus::Good, "Replay from 127.0.0.1: bytes=32 time=3ms TTL=64"),
                                  WindowEvent::log(HostStatus::Bad, "Request Timed Out"),
                                  WindowEvent::log(HostStatus::Bad, "Request Timed Out")}));

    h.window.clear();
    h.settings.logLevel = LogLevel::Off;
    ASSERT_TRUE(h.runAndStop({good(3), lost()}));
    EXPECT_TRUE(h.window.eventsOf(Kind::Log).empty());
}

TEST(HostOnTheHub, AReplyWithOtherDataCountsAsAReplyAndTheWindowIsToldBesideTheLine) {
    HubHarness h;
    h.settings.tries = 1;
    h.settings.logLevel = LogLevel::EveryRequest;
    EchoOutcome changed = good(3);
    changed.wrongData = WrongData{5, 0x20, 0x41, 0, true};
    EchoOutcome shorter = good(4);
    shorter.wrongData = WrongData{30, 0, 0, -2, false};
    ASSERT_TRUE(h.runAndStop({changed, shorter, good(4)}));
    EXPECT_EQ(h.window.labels(Label::Status),
              (std::vector<std::string>{"Replay from 127.0.0.1: bytes=32 time=3ms TTL=64",
                                        "Replay from 127.0.0.1: bytes=30 time=4ms TTL=64",
                                        "Replay from 127.0.0.1: bytes=32 time=4ms TTL=64"}));
    EXPECT_EQ(h.window.eventsOf(Kind::Log).front(),
              WindowEvent::log(HostStatus::Good, "Replay from 127.0.0.1: bytes=32 time=3ms TTL=64"));
    EXPECT_EQ(h.window.lastLabel(Label::Lost), "0 (0%)");
    EXPECT_EQ(h.window.wrongData(), (std::vector<WrongData>{*changed.wrongData, *shorter.wrongData}))
        << "once each, for its own probe";
}

TEST(HostOnTheHub, ObserversHearOfEveryProbeAndTheStatusItLeft) {
    HubHarness h;
    h.settings.host = "router.lan";
    h.settings.tries = 2;
    h.target = address("127.0.0.9");
    const auto now = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    const std::int64_t before = now();
    ASSERT_TRUE(h.runScript({EchoOutcome::good(14, 32, 57), EchoOutcome::errorReply(11003, address("192.0.2.1")),
                             lost(), lost(), good(5)}));
    const std::int64_t after = now();
    std::vector<ProbeEvent> events = h.observer.events();
    ASSERT_EQ(events.size(), 5u);
    std::vector<std::uint8_t> statuses;
    for (ProbeEvent& e : events) {
        EXPECT_GE(e.unixMs, before);
        EXPECT_LE(e.unixMs, after);
        e.unixMs = 0;
        EXPECT_EQ(e.run, kRun);
        EXPECT_EQ(e.host, "router.lan");
        EXPECT_EQ(e.address, "127.0.0.9") << "the address is the one probed, not the replier";
        statuses.push_back(static_cast<std::uint8_t>(e.hostStatus));
    }
    // Each event carries the status its own probe led to, so the history dates an outage to the probe that began it.
    EXPECT_EQ(statuses, (std::vector<std::uint8_t>{0, 0, 1, 1, 2}));
    EXPECT_EQ(events[0].replier, "127.0.0.9");
    EXPECT_EQ(events[0].status, 0u);
    EXPECT_EQ(events[0].rttMs, 14u);
    EXPECT_GE(events[0].rttUs, 14000u);
    EXPECT_LT(events[0].rttUs, 15000u);
    EXPECT_EQ(events[0].bytes, 32u);
    EXPECT_EQ(events[0].ttl, std::uint8_t{57});
    EXPECT_EQ(events[1].replier, "192.0.2.1");
    EXPECT_EQ(events[1].status, 11003u);
    EXPECT_EQ(events[1].rttUs, std::nullopt);
    EXPECT_EQ(events[1].ttl, std::nullopt);
    EXPECT_EQ(events[2].replier, "");
    EXPECT_EQ(events[2].status, 11010u);
    EXPECT_EQ(events[3].stats.requests, 4u);
    EXPECT_EQ(events[3].stats.lost, 3u);
    EXPECT_EQ(h.window.probes(), h.observer.events()) << "the window hears of the same probes";
}

TEST(HostOnTheHub, ObserversHearWhenEachRunEnds) {
    HubHarness h;
    ASSERT_TRUE(h.runAndStop({good(3), good(4)})); // stopped after its last reply
    ASSERT_TRUE(h.runScript({good(5), good(5)}));
    h.start(); // a fresh start over the run drops the request under way
    ASSERT_TRUE(h.probe({lost(), lost()}));
    ASSERT_TRUE(h.runAndStop({good(6)}, true));
    h.network.failOpens(1);
    h.start(); // no run begins, so none ends
    ASSERT_TRUE(h.runScript({good(7)}));
    h.quit(); // the run ends with the hub, its request under way dropped
    EXPECT_EQ(h.observer.runEnds(), (std::vector<std::size_t>{2, 4, 6, 7}));
}

TEST(HostOnTheHub, AFailedLogStopsTheRecordsOfTheRun) {
    HubHarness h;
    h.settings.logLevel = LogLevel::EveryRequest;
    ASSERT_TRUE(h.runScript({good(3)})); // the next request now waits on the script
    h.hub->loggingOff(kRun);
    ASSERT_TRUE(h.probe({lost(), lost()}));
    EXPECT_EQ(
        h.window.eventsOf(Kind::Log),
        (std::vector<WindowEvent>{WindowEvent::log(HostStatus::NA, "Replay from 127.0.0.1: bytes=32 time=3ms TTL=64"),
                                  WindowEvent::log(HostStatus::NA, "Request Timed Out")}))
        << "the probe under way when the log failed still posts its record, none after it";
    EXPECT_EQ(h.window.lastLabel(Label::Total), "3");
}

TEST(HostOnTheHub, Ipv6TargetsGetAnIcmpv6SocketAndTheirRepliersShownInFull) {
    HubHarness h;
    h.settings.host = "::1";
    h.settings.logLevel = LogLevel::EveryRequest;
    const IpAddress target = *IpAddress::parseV6("::1");
    const IpAddress router = *IpAddress::parseV6("2001:db8::9"); // a scripted replier; nothing is sent
    h.target = target;
    ASSERT_TRUE(h.runScript({good(3), EchoOutcome::errorReply(11002, router), lost()}));
    EXPECT_EQ(h.network.openFamily(), IpAddress::Family::V6);
    EXPECT_EQ(h.network.sends().front().destination, target);
    EXPECT_EQ(h.window.labels(Label::Status),
              (std::vector<std::string>{"Replay from ::1: bytes=32 time=3ms TTL=64",
                                        "Replay from 2001:db8::9: Destination Net Unreachable", "Request Timed Out"}));
    EXPECT_EQ(h.window.eventsOf(Kind::Log).size(), 3u);
    for (const ProbeEvent& e : h.observer.events())
        EXPECT_EQ(e.address, "::1");
}

// The timeout is the host's to the full: a reply that comes a moment before it counts, one that comes after it
// counts for nobody (not for the next request either), and neither does a second copy of a reply.
TEST(HostOnTheHub, AReplyJustBeforeTheTimeoutIsGoodAndLateOrRepeatedOnesCountForNobody) {
    HubHarness h;
    h.timeoutMs = 100;
    h.settings.interval = 20;
    EchoOutcome twice = good(2);
    twice.copies = 3;
    ASSERT_TRUE(h.runScript({good(99), good(140), twice, good(98)}));
    for (int i = 1; i < 5; ++i)
        ASSERT_TRUE(h.probe({good(99), good(140), twice, good(98)}));
    const std::vector<ProbeEvent> probes = h.window.probes();
    ASSERT_EQ(probes.size(), 20u);
    for (std::size_t i = 0; i < probes.size(); ++i) {
        SCOPED_TRACE(i);
        if (i % 4 == 1) {
            EXPECT_EQ(probes[i].status, static_cast<std::uint32_t>(IpStatus::RequestTimedOut));
        } else {
            EXPECT_TRUE(probes[i].good()) << testing::PrintToString(probes[i]);
            EXPECT_EQ(probes[i].rttMs, i % 4 == 0 ? 99u : i % 4 == 2 ? 2u : 98u);
        }
    }
    EXPECT_EQ(probes.back().stats.requests, 20u) << "one outcome per request";
}

// The same while another host wakes the hub a moment before the deadline: its turn must not take the waiting
// host's last milliseconds with it.
TEST(HostOnTheHub, AnotherHostsWakeUpJustBeforeTheDeadlineCutsNoWaitShort) {
    HubHarness h;
    h.timeoutMs = 100;
    h.settings.interval = 1000;
    h.network.setFallback(lost());
    const IpAddress other = address("127.0.0.2");
    for (std::size_t round = 1; round <= 5; ++round) {
        h.network.push(h.target, good(99));
        h.network.push(other, good(98));
        RunSettings second = h.run();
        second.targetAddress = other;
        h.started().startRun(1, h.run());
        h.hub->startRun(2, second);
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        const auto probedOnce = [&] {
            const auto all = h.observer.events();
            return static_cast<std::size_t>(
                       std::count_if(all.begin(), all.end(), [](const ProbeEvent& p) { return p.run == 1; })) >= round;
        };
        while (!probedOnce() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(2ms);
        ASSERT_TRUE(probedOnce());
    }
    for (const ProbeEvent& p : h.window.probes())
        EXPECT_TRUE(p.good()) << testing::PrintToString(p);
}

// A host stopped and started again waits its full timeout: what was timed for its last run is no business of
// the new one.
TEST(HostOnTheHub, AHostStartedAgainWaitsItsFullTimeout) {
    HubHarness h;
    h.timeoutMs = 150;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(h.runAndStop({good(1)}));
        std::this_thread::sleep_for(40ms);
        ASSERT_TRUE(h.runAndStop({good(130)}));
        const ProbeEvent last = h.window.probes().back();
        EXPECT_TRUE(last.good()) << testing::PrintToString(last);
    }
}

// The pause after a result is the host's interval, counted from the result: after a timeout the next request
// goes out timeout + interval after the last one, never one interval after it.
TEST(HostOnTheHub, TheNextRequestGoesOutAnIntervalAfterTheResult) {
    HubHarness h;
    h.timeoutMs = 120;
    h.settings.interval = 150;
    ASSERT_TRUE(h.runScript({lost(), lost(), good(30), lost()}));
    const std::vector<ScriptedSend> sends = h.network.sends();
    ASSERT_EQ(sends.size(), 5u);
    const std::int64_t afterTimeout = (120 + 150) * 1'000'000LL;
    const std::int64_t afterReply = (30 + 150) * 1'000'000LL;
    const std::int64_t gaps[] = {afterTimeout, afterTimeout, afterReply, afterTimeout};
    for (std::size_t i = 1; i < sends.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_GE(sends[i].atNs - sends[i - 1].atNs, gaps[i - 1]);
        EXPECT_LT(sends[i].atNs - sends[i - 1].atNs, gaps[i - 1] + 100'000'000) << "far later than due";
    }
}

TEST(HostLifecycle, AStartPostedRightAwayIsNeverLost) {
    for (int i = 0; i < 100; ++i) {
        HubHarness h;
        h.network.setFallback(good(1));
        // Half of the runs post before the thread exists at all.
        auto hub = std::make_unique<ProbeHub>(h.window, nullptr, h.network.opener());
        if (i % 2 == 0)
            hub->start();
        hub->startRun(kRun, h.run());
        hub->stopRun(kRun);
        if (i % 2 == 1)
            hub->start();
        ASSERT_TRUE(h.window.waitForStops(1, kPatience)) << "iteration " << i;
        hub.reset();
        ASSERT_EQ(h.network.opens(), 1u) << "iteration " << i;
        ASSERT_EQ(h.window.stops(), std::vector<bool>{false}) << "iteration " << i;
        ASSERT_EQ(h.network.openSockets(), 0u);
    }
}

TEST(HostLifecycle, HundredsOfRunsStartAndStopCleanlyFromSeveralThreads) {
    HubHarness h;
    // A long pause makes the count of requests exact: each run sends once, and its stop ends the pause.
    h.settings.interval = 3'600'000;
    h.settings.logLevel = LogLevel::EveryRequest;
    h.network.setFallback(good(1));
    ProbeHub& hub = h.started();
    constexpr std::size_t kRuns = 300;
    for (std::size_t run = 0; run < kRuns; ++run) {
        h.start();
        if (run % 3 == 0)
            hub.resetRun(kRun);
        if (run % 5 == 0)
            hub.loggingOff(kRun);
        ASSERT_TRUE(probes(h.window, run + 1)) << "run " << run;
        hub.stopRun(kRun, run % 2 == 0 ? ProbeHub::StopMode::AtOnce : ProbeHub::StopMode::AfterRequestUnderWay);
        ASSERT_TRUE(h.window.waitForStops(run + 1, kPatience)) << "run " << run;
    }
    EXPECT_EQ(h.window.stops(), std::vector<bool>(kRuns, false));
    EXPECT_EQ(h.network.sends().size(), kRuns) << "a stop ends the pause, it does not start another probe";
    EXPECT_EQ(h.network.opens(), kRuns);
    EXPECT_EQ(h.network.openSockets(), 0u);

    // Commands from several threads during a run with no pause.
    h.settings.interval = 0;
    h.start();
    std::atomic<bool> go{false};
    std::vector<std::thread> posters;
    for (int t = 0; t < 3; ++t)
        posters.emplace_back([&] {
            while (!go.load())
                std::this_thread::yield();
            for (int i = 0; i < 300; ++i)
                i % 2 == 0 ? hub.resetRun(kRun) : hub.loggingOff(kRun);
        });
    go = true;
    for (std::thread& t : posters)
        t.join();
    hub.stopRun(kRun);
    ASSERT_TRUE(h.window.waitForStops(kRuns + 1, kPatience));
}

TEST(HostLifecycle, ResetAndNoticesDuringAPauseProbeNothingAndAQuitEndsIt) {
    HubHarness h;
    h.settings.interval = 3'600'000;
    h.network.setFallback(good(1));
    h.start();
    ASSERT_TRUE(probes(h.window, 1));
    h.hub->resetRun(kRun);
    h.hub->loggingOff(kRun);
    h.hub->resetRun(kRun + 1);         // nobody's: changes nothing
    std::this_thread::sleep_for(50ms); // give a wrongly woken host the chance to probe
    EXPECT_EQ(h.network.sends().size(), 1u);
    h.quit();
    EXPECT_TRUE(h.window.stops().empty()) << "no answer at exit";
    EXPECT_EQ(h.network.openSockets(), 0u);
}

TEST(HostLifecycle, AStopAfterTheRequestUnderWayCountsItAndAStopAtOnceDropsIt) {
    HubHarness h;
    ASSERT_TRUE(h.runScript({good(3)})); // the second request now waits on the script
    h.hub->stopRun(kRun, ProbeHub::StopMode::AfterRequestUnderWay);
    h.network.push(good(4));
    ASSERT_TRUE(h.window.waitForStops(1, kPatience));
    std::vector<WindowEvent> events = h.window.events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.back(), WindowEvent::stopped(false));
    EXPECT_EQ(events[events.size() - 2], WindowEvent::labelSet(Label::Lost, "0 (0%)"));
    EXPECT_EQ(h.window.lastLabel(Label::Total), "2");
    EXPECT_EQ(h.network.sends().size(), 2u);

    h.window.clear();
    h.network.push(good(60));
    h.start();
    ASSERT_TRUE(h.network.waitForSends(3, kPatience));
    h.hub->stopRun(kRun);
    ASSERT_TRUE(h.window.waitForStops(1, kPatience));
    std::this_thread::sleep_for(100ms); // past the reply, which nobody waits for any more
    EXPECT_EQ(h.window.events(), std::vector<WindowEvent>{WindowEvent::stopped(false)});
}

TEST(HostLifecycle, AFailedOpenAnswersAndALaterStartTriesAgain) {
    HubHarness h;
    h.network.failOpens(2);
    h.network.setFallback(good(1));
    h.start();
    h.start();
    ASSERT_TRUE(h.window.waitForStops(2, kPatience));
    EXPECT_EQ(h.window.stops(), (std::vector<bool>{true, true}));
    EXPECT_TRUE(h.network.sends().empty());
    EXPECT_EQ(h.window.count(Kind::Label), 0u);

    h.window.clear();
    ASSERT_TRUE(h.runAndStop({good(1)}));
    EXPECT_EQ(h.window.stops(), std::vector<bool>{false});
    EXPECT_EQ(h.window.lastLabel(Label::Total), "1");
}

} // namespace
