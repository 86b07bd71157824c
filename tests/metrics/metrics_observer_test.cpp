#include "metrics/Exposition.h"
#include "metrics/MetricsObserver.h"
#include "metrics/MetricsRegistry.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>

namespace {

ProbeEvent loss(std::uint32_t status, HostStatus hostStatus, const char* host = "web") {
    ProbeEvent e;
    e.host = host;
    e.address = "127.0.0.1";
    e.status = status;
    e.hostStatus = hostStatus;
    return e;
}

ProbeEvent reply(std::uint32_t rttUs, HostStatus hostStatus, const char* host = "web",
                 std::optional<std::uint8_t> ttl = 64) {
    ProbeEvent e = loss(0, hostStatus, host);
    e.replier = e.address;
    e.rttUs = rttUs;
    e.rttMs = rttUs / 1000;
    e.ttl = ttl;
    return e;
}

class MetricsObserverTest : public ::testing::Test {
protected:
    MetricsRegistry registry{"2.2.2.58"};
    MetricsObserver observer{registry};

    SeriesSnapshot series(const std::string& host = "web") const {
        for (const SeriesSnapshot& s : registry.snapshot().series)
            if (s.host == host)
                return s;
        ADD_FAILURE() << "no series for " << host;
        return {};
    }

    // The states of the host's ostrevo_host_status in the exposition, "good=0 average=0 bad=1 unknown=0".
    std::string exportedStates(const std::string& host = "web") const {
        const std::string text = writeExposition(registry.snapshot());
        const std::string prefix = "ostrevo_host_status{host=\"" + host + "\",address=\"127.0.0.1\",status=\"";
        std::istringstream lines(text);
        std::string states;
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(prefix, 0) != 0)
                continue;
            const std::string rest = line.substr(prefix.size());
            states +=
                (states.empty() ? "" : " ") + rest.substr(0, rest.find('"')) + "=" + rest.substr(rest.find(' ') + 1);
        }
        return states;
    }
};

const HostStatus kNa = HostStatus::NA, kBad = HostStatus::Bad, kAverage = HostStatus::Average, kGood = HostStatus::Good;

TEST_F(MetricsObserverTest, EveryProbeCountsAndTheStateSetFollowsTheAnalysis) {
    const struct {
        ProbeEvent event;
        const char* states;
        std::optional<unsigned> ttl;
    } steps[] = {
        {reply(400, kNa), "good=0 average=0 bad=0 unknown=1", 64},
        {reply(1'500, kGood, "web", 63), "good=1 average=0 bad=0 unknown=0", 63},
        {loss(11010, kAverage), "good=0 average=1 bad=0 unknown=0", 63}, // a loss leaves the last reply's TTL
        {loss(11003, kBad), "good=0 average=0 bad=1 unknown=0", 63},
        {reply(2'500'000, kBad, "web", std::nullopt), "good=0 average=0 bad=1 unknown=0", std::nullopt},
        // A code outside the enum judges nothing: still exactly one state, unknown.
        {reply(900, static_cast<HostStatus>(9)), "good=0 average=0 bad=0 unknown=1", 64},
    };
    for (const auto& step : steps) {
        observer.probed(step.event);
        EXPECT_EQ(series().status, step.event.hostStatus) << ::testing::PrintToString(step.event);
        EXPECT_EQ(exportedStates(), step.states) << ::testing::PrintToString(step.event);
        const std::optional<std::uint8_t> ttl = series().lastTtl;
        EXPECT_EQ(ttl ? std::optional<unsigned>(*ttl) : std::nullopt, step.ttl) << ::testing::PrintToString(step.event);
    }
    const SeriesSnapshot s = series();
    EXPECT_EQ(s.requests, 6u);
    EXPECT_EQ(s.lost, 2u);
    EXPECT_EQ(s.rttSumMicros, 400u + 1'500u + 2'500'000u + 900u);
    EXPECT_EQ(s.lastRttMicros, 900u);
    EXPECT_EQ(s.rttBuckets[3], 1u);                   // 0.25 to 0.5 ms
    EXPECT_EQ(s.rttBuckets[4], 1u);                   // 0.5 to 1 ms
    EXPECT_EQ(s.rttBuckets[5], 1u);                   // 1 to 2.5 ms
    EXPECT_EQ(s.rttBuckets[kRttBucketCount - 1], 1u); // beyond 2 s
}

TEST_F(MetricsObserverTest, AnEndedRunLeavesTheCountersAndSetsTheStatusToUnknown) {
    observer.probed(reply(800, kGood));
    observer.probed(loss(11010, kGood));
    observer.runEnded(1, 0);
    SeriesSnapshot s = series();
    EXPECT_EQ(s.status, HostStatus::NA);
    EXPECT_EQ(exportedStates(), "good=0 average=0 bad=0 unknown=1");
    EXPECT_EQ(s.requests, 2u);
    EXPECT_EQ(s.lost, 1u);

    // The next run watches another host; an end with no probe of its own must not touch the first one's pair.
    observer.probed(reply(700, kBad, "db"));
    observer.runEnded(1, 0);
    observer.runEnded(1, 0);
    observer.probed(reply(700, kGood, "db"));
    EXPECT_EQ(exportedStates("db"), "good=1 average=0 bad=0 unknown=0");
    EXPECT_EQ(series("db").requests, 2u);
    EXPECT_EQ(series("web").requests, 2u);
    EXPECT_EQ(registry.snapshot().series.size(), 2u);
}

} // namespace
