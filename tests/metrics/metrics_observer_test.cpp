#include "metrics/MetricsObserver.h"
#include "metrics/MetricsRegistry.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

ProbeEvent loss(std::uint32_t status, std::uint8_t hostStatus, const char* host = "web") {
    ProbeEvent e;
    e.host = host;
    e.address = "127.0.0.1";
    e.status = status;
    e.hostStatus = static_cast<HostStatus>(hostStatus);
    return e;
}

ProbeEvent reply(std::uint32_t rttUs, std::uint8_t hostStatus, const char* host = "web") {
    ProbeEvent e = loss(0, hostStatus, host);
    e.replier = e.address;
    e.rttUs = rttUs;
    e.rttMs = rttUs / 1000;
    e.ttl = 64;
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
};

TEST_F(MetricsObserverTest, EveryProbeCountsAndTheGaugeFollowsTheAnalysis) {
    // The exported number is the one %code% and the history file use for the same status.
    const struct {
        ProbeEvent event;
        StatusGauge gauge;
        unsigned exported;
    } steps[] = {
        {reply(400, 0), StatusGauge::NA, 0},
        {reply(1'500, 3), StatusGauge::Good, 3},
        {loss(11010, 2), StatusGauge::Average, 2},
        {loss(11003, 1), StatusGauge::Bad, 1},
        {reply(2'500'000, 1), StatusGauge::Bad, 1},
        {reply(900, 9), StatusGauge::NA, 0}, // an unknown code judges nothing
    };
    for (const auto& step : steps) {
        observer.probed(step.event);
        EXPECT_EQ(series().status, step.gauge) << ::testing::PrintToString(step.event);
        EXPECT_EQ(static_cast<unsigned>(series().status), step.exported) << ::testing::PrintToString(step.event);
    }
    const SeriesSnapshot s = series();
    EXPECT_EQ(s.requests, 6u);
    EXPECT_EQ(s.lost, 2u);
    EXPECT_EQ(s.rttSumMicros, 400u + 1'500u + 2'500'000u + 900u);
    EXPECT_EQ(s.lastRttMicros, 900u);
    EXPECT_EQ(s.rttBuckets[0], 1u);                   // up to 0.5 ms
    EXPECT_EQ(s.rttBuckets[1], 1u);                   // up to 1 ms
    EXPECT_EQ(s.rttBuckets[2], 1u);                   // up to 2.5 ms
    EXPECT_EQ(s.rttBuckets[kRttBucketCount - 1], 1u); // beyond 2 s
}

TEST_F(MetricsObserverTest, AnEndedRunLeavesTheCountersAndSetsTheGaugeToNa) {
    observer.probed(reply(800, 3));
    observer.probed(loss(11010, 3));
    observer.runEnded(1, 0);
    SeriesSnapshot s = series();
    EXPECT_EQ(s.status, StatusGauge::NA);
    EXPECT_EQ(s.requests, 2u);
    EXPECT_EQ(s.lost, 1u);

    // The next run watches another host; an end with no probe of its own must not touch the first one's pair.
    observer.probed(reply(700, 1, "db"));
    observer.runEnded(1, 0);
    observer.runEnded(1, 0);
    observer.probed(reply(700, 3, "db"));
    EXPECT_EQ(series("db").status, StatusGauge::Good);
    EXPECT_EQ(series("db").requests, 2u);
    EXPECT_EQ(series("web").requests, 2u);
    EXPECT_EQ(registry.snapshot().series.size(), 2u);
}

} // namespace
