#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>

#include <string>
#include <vector>

#include "support/WorkerHarness.h"
#include "text/ProbeText.h"

namespace {

using Kind = WindowEvent::Kind;

EchoOutcome good(std::uint32_t rtt) {
    return EchoOutcome::good(rtt);
}
EchoOutcome lost() {
    return EchoOutcome::failure(11010);
}

IpAddress address(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return IpAddress::v4(a.s_addr);
}

struct TextsCase {
    std::string name;
    std::vector<EchoOutcome> outcomes;
    std::string total, lost, avg;
};

class WorkerTexts : public ::testing::TestWithParam<TextsCase> {};

TEST_P(WorkerTexts, LabelsCoverEverythingSinceTheRunStarted) {
    WorkerHarness h;
    ASSERT_TRUE(h.runScript(GetParam().outcomes));
    EXPECT_EQ(h.window.lastLabel(Label::Total), GetParam().total);
    EXPECT_EQ(h.window.lastLabel(Label::Lost), GetParam().lost);
    EXPECT_EQ(h.window.lastLabel(Label::Avg).value_or("-"), GetParam().avg);
}

INSTANTIATE_TEST_SUITE_P(
    Rounded, WorkerTexts,
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

TEST(ProbeWorker, EachCycleWritesItsLabelsInOrder) {
    WorkerHarness h;
    h.settings.analysisMode = static_cast<AnalysisMode>(3); // keep the analysis out of this record
    ASSERT_TRUE(h.runScript({EchoOutcome::good(14, 32, 57), lost(),
                             EchoOutcome::errorReply(11003, address("192.0.2.1")), EchoOutcome::failure(87)}));
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
        WindowEvent::labelSet(Label::Status, "Unknown"),
        WindowEvent::labelSet(Label::Total, "4"),
        WindowEvent::labelSet(Label::Lost, "3 (75%)"),
    };
    EXPECT_EQ(h.window.events(), expected);
}

TEST(ProbeWorker, MinimumAndMaximumTrackEveryGoodReply) {
    WorkerHarness h;
    ASSERT_TRUE(h.runScript({good(5), good(3), lost(), good(7), good(7), good(4)}));
    EXPECT_EQ(h.window.labels(Label::Min), (std::vector<std::string>{"5ms", "3ms", "3ms", "3ms", "3ms"}));
    EXPECT_EQ(h.window.labels(Label::Max), (std::vector<std::string>{"5ms", "5ms", "7ms", "7ms", "7ms"}));
    EXPECT_EQ(h.window.lastLabel(Label::Avg), "5ms"); // 26 / 5 = 5.2
}

TEST(ProbeWorker, ResetClearsTheCountersButNotTheAnalysis) {
    WorkerHarness h;
    h.settings.tries = 3;
    ASSERT_TRUE(h.runScript({good(10), good(20), good(30)}));
    ASSERT_EQ(h.status(), HostStatus::Good);

    h.worker->post(ResetCommand{}); // taken after the cycle now waiting
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

TEST(ProbeWorker, SendsTheRequestAsConfigured) {
    for (std::int32_t buffer : {32, 0, 65535}) {
        SCOPED_TRACE(buffer);
        WorkerHarness h;
        h.settings.buffer = buffer;
        h.target = address("127.0.0.9");
        ASSERT_TRUE(h.runScript({EchoOutcome::good(1, static_cast<std::uint16_t>(buffer))}));
        const auto request = h.channel.lastRequest();
        ASSERT_TRUE(request.has_value());
        EXPECT_EQ(request->destination, address("127.0.0.9"));
        EXPECT_EQ(request->size, buffer);
        EXPECT_EQ(request->data, std::vector<std::uint8_t>(static_cast<std::size_t>(buffer), 0x20));
        EXPECT_EQ(request->dataWasNull, buffer == 0);
        EXPECT_EQ(request->ttl, 255);
        EXPECT_EQ(request->timeoutMs, 2000u);
        EXPECT_EQ(h.channel.openSource(), "") << "the kernel chooses";
        EXPECT_EQ(h.window.lastLabel(Label::Status),
                  "Replay from 127.0.0.1: bytes=" + std::to_string(buffer) + " time=1ms TTL=64");
    }
}

TEST(ProbeWorker, SendsWithTheRunsTtlTimeoutAndSource) {
    WorkerHarness h;
    StartCommand start = h.startCommand();
    start.run.ttl = 7;
    start.run.timeoutMs = 900;
    start.run.source = "eth1";
    h.channel.push(EchoOutcome::good(1));
    h.started().post(std::move(start));
    ASSERT_TRUE(h.channel.waitUntilStarved(WorkerHarness::kPatience));
    EXPECT_EQ(h.channel.openSource(), "eth1");
    const auto request = h.channel.lastRequest();
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->ttl, 7);
    EXPECT_EQ(request->timeoutMs, 900u);
}

TEST(ProbeWorker, EachRunStartsWithClearEdgesCountersAndRing) {
    WorkerHarness h;
    h.settings.tries = 1;
    ASSERT_TRUE(h.runAndStop({good(5)}));
    EXPECT_EQ(h.window.icons(), (std::vector<HostStatus>{HostStatus::Good, HostStatus::NA}));

    // Bad would reverse the last run's Good, but a new run's first move raises nothing.
    ASSERT_TRUE(h.runAndStop({lost()}));
    EXPECT_TRUE(h.alerts.alerts().empty());
    EXPECT_EQ(h.window.lastLabel(Label::Total), "1");
    EXPECT_EQ(h.window.lastLabel(Label::Lost), "1 (100%)");

    // Within a run the reversal alerts, with the reply line and reply area of that cycle.
    ASSERT_TRUE(h.runAndStop({good(5), EchoOutcome::errorReply(11003)}));
    ASSERT_EQ(h.alerts.alerts().size(), 1u);
    EXPECT_EQ(h.alerts.alerts()[0], (RaisedAlert{AlertEdge::StopResponding, HostStatus::Bad,
                                                 "Replay from 127.0.0.1: Destination Host Unreachable", 11003}));
    EXPECT_EQ(h.channel.opens(), 3u);
    EXPECT_EQ(h.channel.closes(), 3u);
    EXPECT_FALSE(h.channel.sentWhileClosed());
}

TEST(ProbeWorker, LogsStatusChangesAtLevelOneAndEveryProbeAtLevelTwo) {
    WorkerHarness h;
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

TEST(ProbeWorker, AReplyWithOtherDataCountsAsAReplyAndTheWindowIsToldBesideTheLine) {
    WorkerHarness h;
    h.settings.tries = 1;
    h.settings.logLevel = LogLevel::EveryRequest;
    EchoOutcome changed = good(3);
    changed.wrongData = WrongData{5, 0x20, 0x41, 0, true};
    ASSERT_TRUE(h.runAndStop({changed, good(4)}));
    // The window's texts and the log are those of any reply.
    EXPECT_EQ(h.window.labels(Label::Status),
              (std::vector<std::string>{"Replay from 127.0.0.1: bytes=32 time=3ms TTL=64",
                                        "Replay from 127.0.0.1: bytes=32 time=4ms TTL=64"}));
    EXPECT_EQ(h.window.eventsOf(Kind::Log).front(),
              WindowEvent::log(HostStatus::Good, "Replay from 127.0.0.1: bytes=32 time=3ms TTL=64"));
    EXPECT_EQ(h.window.lastLabel(Label::Lost), "0 (0%)");
    EXPECT_EQ(h.window.wrongData(), std::vector<WrongData>{*changed.wrongData}) << "once, for its own probe";
}

TEST(ProbeWorker, ObserversHearOfEveryProbe) {
    WorkerHarness h;
    h.settings.host = "router.lan";
    h.target = address("127.0.0.9");
    const auto now = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    const std::int64_t before = now();
    ASSERT_TRUE(h.runScript({EchoOutcome::good(14, 32, 57), EchoOutcome::errorReply(11003, address("192.0.2.1")),
                             EchoOutcome::failure(11010)}));
    const std::int64_t after = now();
    std::vector<ProbeEvent> events = h.observer.events();
    ASSERT_EQ(events.size(), 3u);
    for (ProbeEvent& e : events) {
        EXPECT_GE(e.unixMs, before);
        EXPECT_LE(e.unixMs, after);
        e.unixMs = 0;
    }
    for (const ProbeEvent& e : events) {
        EXPECT_EQ(e.run, 1u);
        EXPECT_EQ(e.host, "router.lan");
        EXPECT_EQ(e.address, "127.0.0.9") << "the address is the one probed, not the replier";
    }
    // The scripted channel times in whole milliseconds only.
    EXPECT_EQ(events[0].replier, "127.0.0.1");
    EXPECT_EQ(events[0].status, 0u);
    EXPECT_EQ(events[0].rttUs, 14000u);
    EXPECT_EQ(events[0].rttMs, 14u);
    EXPECT_EQ(events[0].bytes, 32u);
    EXPECT_EQ(events[0].ttl, std::uint8_t{57});
    EXPECT_EQ(events[1].replier, "192.0.2.1");
    EXPECT_EQ(events[1].status, 11003u);
    EXPECT_EQ(events[1].rttUs, std::nullopt);
    EXPECT_EQ(events[1].ttl, std::nullopt);
    EXPECT_EQ(events[2].replier, "");
    EXPECT_EQ(events[2].status, 11010u);
    EXPECT_EQ(events[2].stats, (RunStatistics{3, 2, 14, 14, 14, 14000, 14000, 14000}));
    EXPECT_EQ(h.window.probes(), h.observer.events()) << "the window hears of the same probes";
}

TEST(ProbeWorker, ObserversHearTheStatusThatEachProbeLeftBehind) {
    WorkerHarness h;
    h.settings.tries = 2;
    ASSERT_TRUE(h.runScript({good(3), good(4), lost(), lost(), good(5)}));
    std::vector<std::uint8_t> statuses;
    for (const ProbeEvent& e : h.observer.events())
        statuses.push_back(static_cast<std::uint8_t>(e.hostStatus));
    // Each event carries the status its own probe led to (two equal results decide; a mixed pair is Average),
    // so the history dates an outage to the probe that began it.
    EXPECT_EQ(statuses, (std::vector<std::uint8_t>{0, 3, 2, 1, 2}));
}

TEST(ProbeWorker, ObserversHearWhenEachRunEnds) {
    WorkerHarness h;
    ASSERT_TRUE(h.runAndStop({good(3), good(4)})); // stopped
    ASSERT_TRUE(h.runScript({good(5), good(5)}));
    h.worker->post(h.startCommand()); // replaced by a fresh start after the probe under way
    ASSERT_TRUE(h.probe({lost(), lost()}));
    ASSERT_TRUE(h.runAndStop({good(6)}, true));
    h.channel.failOpens(1);
    h.worker->post(h.startCommand()); // no run begins, so none ends
    ASSERT_TRUE(h.runScript({good(7)}));
    ASSERT_TRUE(h.quit()); // the probe under way completes, then the run ends with the worker
    EXPECT_EQ(h.observer.runEnds(), (std::vector<std::size_t>{2, 5, 7, 9}));
}

TEST(ProbeWorker, AFailedLogStopsTheRecordsOfTheRun) {
    WorkerHarness h;
    h.settings.logLevel = LogLevel::EveryRequest;
    ASSERT_TRUE(h.runScript({good(3)})); // the next probe now waits on the script
    h.worker->post(LoggingOffCommand{});
    ASSERT_TRUE(h.probe({lost(), lost()}));
    EXPECT_EQ(
        h.window.eventsOf(Kind::Log),
        (std::vector<WindowEvent>{WindowEvent::log(HostStatus::NA, "Replay from 127.0.0.1: bytes=32 time=3ms TTL=64"),
                                  WindowEvent::log(HostStatus::NA, "Request Timed Out")}))
        << "the probe under way when the log failed still posts its record, none after it";
    EXPECT_EQ(h.window.lastLabel(Label::Total), "3");
}

TEST(ProbeWorker, StartDuringARunBeginsAFreshOneWithoutLeakingTheHandle) {
    WorkerHarness h;
    ASSERT_TRUE(h.runScript({good(5), good(5)}));
    h.worker->post(h.startCommand());
    ASSERT_TRUE(h.probe({lost(), lost()}));
    EXPECT_EQ(h.window.lastLabel(Label::Total), "1") << "the second outcome went to the old run";
    EXPECT_EQ(h.channel.opens(), 2u);
    EXPECT_EQ(h.channel.closes(), 1u);
    EXPECT_FALSE(h.channel.openedWhileOpen());
}

} // namespace

TEST(ProbeWorker, Ipv6TargetsGetAnIcmpv6HandleAndTheirRepliersShownInFull) {
    WorkerHarness h;
    h.settings.host = "::1";
    h.settings.logLevel = LogLevel::EveryRequest;
    const IpAddress target = *IpAddress::parseV6("::1");
    const IpAddress router = *IpAddress::parseV6("2001:db8::9"); // a scripted replier; nothing is sent
    h.target = target;
    EchoOutcome reply = EchoOutcome::good(3);
    reply.address = target;
    ASSERT_TRUE(h.runScript({reply, EchoOutcome::errorReply(11002, router), EchoOutcome::failure(11010)}));
    EXPECT_EQ(h.channel.openFamily(), IpAddress::Family::V6);
    EXPECT_EQ(h.channel.lastRequest()->destination, target);
    EXPECT_EQ(h.window.labels(Label::Status),
              (std::vector<std::string>{"Replay from ::1: bytes=32 time=3ms TTL=64",
                                        "Replay from 2001:db8::9: Destination Net Unreachable", "Request Timed Out"}));
    EXPECT_EQ(h.window.eventsOf(Kind::Log).size(), 3u);
    for (const ProbeEvent& e : h.observer.events())
        EXPECT_EQ(e.address, "::1");
}
