// A host that sends on a cadence, as the console probe does after ping: a request goes out every interval
// whether or not the one before has its answer, each waits to its own deadline, the count bounds the sends,
// and a stop after the requests under way lets all of them count. On a scripted network.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "support/HubHarness.h"
#include "types/IpStatus.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kPatience = HubHarness::kPatience;
constexpr RunId kRun = HubHarness::kRun;

EchoOutcome good(std::uint32_t rtt) {
    return EchoOutcome::good(rtt);
}
const EchoOutcome kLost = EchoOutcome::failure(IpStatus::RequestTimedOut);

RunSettings onCadence(const HubHarness& h, std::uint64_t count) {
    RunSettings run = h.run();
    run.pacing = RunSettings::Pacing::FromSend;
    run.count = count;
    return run;
}

bool probed(const HubHarness& h, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (h.window.probes().size() < count && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(2ms);
    return h.window.probes().size() >= count;
}

// The replies to later requests come in while the first and third still wait: those two are lost at their own
// deadlines, after the replies, and the count ends the sends.
TEST(HostOnACadence, ARequestStillWaitingIsLostAtItsOwnDeadlineWhileTheNextGoOut) {
    HubHarness h;
    h.timeoutMs = 600;
    h.settings.interval = 60;
    h.network.push(std::vector<EchoOutcome>{kLost, good(5), kLost, good(5), good(5)});
    h.started().startRun(kRun, onCadence(h, 5));
    ASSERT_TRUE(probed(h, 5));
    std::this_thread::sleep_for(150ms); // a sixth request would be due by now
    EXPECT_EQ(h.network.sends().size(), 5u) << "no request beyond the count";

    const std::vector<ProbeEvent> probes = h.window.probes();
    ASSERT_EQ(probes.size(), 5u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(probes[i].good()) << i << ": " << testing::PrintToString(probes[i]);
    for (std::size_t i = 3; i < 5; ++i)
        EXPECT_EQ(probes[i].status, static_cast<std::uint32_t>(IpStatus::RequestTimedOut)) << i;
    EXPECT_EQ(probes.back().stats.requests, 5u);
    EXPECT_EQ(probes.back().stats.replies(), 3u);
    std::vector<std::uint64_t> numbers;
    for (const ProbeEvent& p : probes)
        numbers.push_back(p.request);
    EXPECT_EQ(numbers, (std::vector<std::uint64_t>{2, 4, 5, 1, 3})) << "each result names its request";
    const std::vector<ScriptedSend> sends = h.network.sends();
    for (std::size_t i = 1; i < sends.size(); ++i)
        EXPECT_NE(sends[i].sequence, sends[i - 1].sequence) << "each request has a number of its own";
}

// A console's Ctrl+C: every request under way comes back or times out and counts, and nothing goes out after.
TEST(HostOnACadence, AStopAfterTheRequestsUnderWayCountsEveryOneOfThem) {
    HubHarness h;
    h.timeoutMs = 400;
    h.settings.interval = 50;
    h.network.setFallback(kLost);
    h.started().startRun(kRun, onCadence(h, 0));
    ASSERT_TRUE(h.network.waitForSends(3, kPatience));
    EXPECT_TRUE(h.window.probes().empty()) << "three requests out before the first one's deadline";
    h.hub->stopRun(kRun, ProbeHub::StopMode::AfterRequestUnderWay);
    ASSERT_TRUE(h.window.waitForStops(1, kPatience));
    const std::size_t sent = h.network.sends().size();
    const std::vector<ProbeEvent> probes = h.window.probes();
    ASSERT_EQ(probes.size(), sent) << "each request under way counted before the stop's answer";
    EXPECT_EQ(probes.back().stats.requests, sent);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(h.network.sends().size(), sent);
}

} // namespace
