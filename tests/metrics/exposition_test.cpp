#include "metrics/Exposition.h"
#include "metrics/MetricsRegistry.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using std::chrono::microseconds;

TEST(Exposition, GoldenTextForOneTargetWithEscapedHostAndCumulativeBuckets) {
    MetricsRegistry registry("2.2.2.58", 1'765'000'000'250'000);
    const std::string host = "a\"b\\c\nd";
    registry.recordProbe(host, "127.0.0.1", microseconds(50), 0, 64); // on the first bound: counted in it
    registry.recordProbe(host, "127.0.0.1", microseconds(400), 0, 64);
    registry.recordProbe(host, "127.0.0.1", microseconds(500), 0, 64);
    registry.recordProbe(host, "127.0.0.1", std::nullopt, 11010);
    registry.recordProbe(host, "127.0.0.1", microseconds(2'001), 0, 63);
    registry.recordProbe(host, "127.0.0.1", microseconds(3'000'000), 0, 57); // beyond the last bound: +Inf only
    registry.recordProbe(host, "127.0.0.1", microseconds(7), 11003, 250);    // an error reply is a loss
    registry.setHostStatus(host, "127.0.0.1", HostStatus::Bad);
    registry.setRouteLossBegins(host, "127.0.0.1", 3);

    // LABELS stands for the escaped labels of the one target.
    std::string expected = R"(# HELP ostrevo_build_info Version of the running Ostrevo.
# TYPE ostrevo_build_info gauge
ostrevo_build_info{version="2.2.2.58"} 1
# HELP process_start_time_seconds Start time of the process since unix epoch in seconds.
# TYPE process_start_time_seconds gauge
process_start_time_seconds 1765000000.25
# HELP ostrevo_probe_requests_total Echo requests sent since the process started.
# TYPE ostrevo_probe_requests_total counter
ostrevo_probe_requests_total{LABELS} 7
# HELP ostrevo_probe_lost_total Echo requests without a reply since the process started.
# TYPE ostrevo_probe_lost_total counter
ostrevo_probe_lost_total{LABELS} 2
# HELP ostrevo_probe_rtt_seconds Round-trip times of the echo replies.
# TYPE ostrevo_probe_rtt_seconds histogram
ostrevo_probe_rtt_seconds_bucket{LABELS,le="0.00005"} 1
ostrevo_probe_rtt_seconds_bucket{LABELS,le="0.0001"} 1
ostrevo_probe_rtt_seconds_bucket{LABELS,le="0.00025"} 1
ostrevo_probe_rtt_seconds_bucket{LABELS,le="0.0005"} 3
ostrevo_probe_rtt_seconds_bucket{LABELS,le="0.001"} 3
ostrevo_probe_rtt_seconds_bucket{LABELS,le="0.0025"} 4
ostrevo_probe_rtt_seconds_bucket{LABELS,le="0.005"} 4
ostrevo_probe_rtt_seconds_bucket{LABELS,le="0.01"} 4
ostrevo_probe_rtt_seconds_bucket{LABELS,le="0.025"} 4
ostrevo_probe_rtt_seconds_bucket{LABELS,le="0.05"} 4
ostrevo_probe_rtt_seconds_bucket{LABELS,le="0.1"} 4
ostrevo_probe_rtt_seconds_bucket{LABELS,le="0.25"} 4
ostrevo_probe_rtt_seconds_bucket{LABELS,le="0.5"} 4
ostrevo_probe_rtt_seconds_bucket{LABELS,le="1"} 4
ostrevo_probe_rtt_seconds_bucket{LABELS,le="2"} 4
ostrevo_probe_rtt_seconds_bucket{LABELS,le="+Inf"} 5
ostrevo_probe_rtt_seconds_sum{LABELS} 3.002951
ostrevo_probe_rtt_seconds_count{LABELS} 5
# HELP ostrevo_probe_last_rtt_seconds Round-trip time of the latest echo reply.
# TYPE ostrevo_probe_last_rtt_seconds gauge
ostrevo_probe_last_rtt_seconds{LABELS} 3
# HELP ostrevo_probe_reply_ttl Time to live (IPv6: hop limit) of the latest good echo reply.
# TYPE ostrevo_probe_reply_ttl gauge
ostrevo_probe_reply_ttl{LABELS} 57
# HELP ostrevo_host_status Host status as a state set: 1 for the current status, 0 for the others; unknown when nothing judges the host (no run, or no decision yet).
# TYPE ostrevo_host_status gauge
ostrevo_host_status{LABELS,status="good"} 0
ostrevo_host_status{LABELS,status="average"} 0
ostrevo_host_status{LABELS,status="bad"} 1
ostrevo_host_status{LABELS,status="unknown"} 0
# HELP ostrevo_route_loss_begins_hop Hop from which loss persists to the host on its latest route trace (taken when the host went from Good to Bad); 0 when that trace found no loss on the path; absent while no trace was taken.
# TYPE ostrevo_route_loss_begins_hop gauge
ostrevo_route_loss_begins_hop{LABELS} 3
)";
    const std::string labels = R"(host="a\"b\\c\nd",address="127.0.0.1")";
    for (std::size_t at; (at = expected.find("LABELS")) != std::string::npos;)
        expected.replace(at, 6, labels);
    EXPECT_EQ(writeExposition(registry.snapshot()), expected);
}

TEST(Exposition, ATargetWithoutRepliesHasNoRttOrTtlSampleButAllItsStates) {
    MetricsRegistry registry("v", 0);
    registry.recordProbe("quiet", "127.0.0.9", std::nullopt, 11010);
    const std::string text = writeExposition(registry.snapshot());
    EXPECT_NE(text.find("\nprocess_start_time_seconds 0\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("ostrevo_probe_last_rtt_seconds{"), std::string::npos) << text;
    EXPECT_EQ(text.find("ostrevo_probe_reply_ttl{"), std::string::npos) << text;
    EXPECT_NE(text.find("ostrevo_host_status{host=\"quiet\",address=\"127.0.0.9\",status=\"unknown\"} 1\n"),
              std::string::npos)
        << text;
}

TEST(Exposition, LabelValuesAreEscapedAndInvalidUtf8Replaced) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain.example", "plain.example"},
        {"back\\slash \"quoted\"\nline", "back\\\\slash \\\"quoted\\\"\\nline"},
        {"tab\tand\rcr", "tab\tand\rcr"},
        {"h\xC3\xA9te \xE2\x82\xAC \xF0\x9F\x98\x80", "h\xC3\xA9te \xE2\x82\xAC \xF0\x9F\x98\x80"}, // kept as they are
        {"bad\xFFz", "bad\xEF\xBF\xBDz"},
        {"cut\xC3", "cut\xEF\xBF\xBD"},                                 // sequence cut short at the end
        {"over\xC0\xAF", "over\xEF\xBF\xBD\xEF\xBF\xBD"},               // overlong '/'
        {"sur\xED\xA0\x80", "sur\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // UTF-16 surrogate
    };
    for (const auto& c : cases)
        EXPECT_EQ(escapeLabelValue(c.in), c.out) << c.in;
}

TEST(Registry, AnotherTargetKeepsTheFirstOnesCountersAndClearsItsStatus) {
    MetricsRegistry registry("v");
    registry.recordProbe("one", "127.0.0.1", microseconds(100), 0);
    registry.setHostStatus("one", "127.0.0.1", HostStatus::Good);
    registry.recordProbe("one", "127.0.0.2", std::nullopt, 11010); // the name now resolves elsewhere
    registry.setHostStatus("one", "127.0.0.2", HostStatus::Average);

    const MetricsSnapshot snap = registry.snapshot();
    ASSERT_EQ(snap.series.size(), 2u);
    EXPECT_EQ(snap.series[0].requests, 1u);
    EXPECT_EQ(snap.series[0].status, HostStatus::NA);
    EXPECT_EQ(snap.series[0].lastRttMicros, 100u);
    EXPECT_EQ(snap.series[1].lost, 1u);
    EXPECT_EQ(snap.series[1].status, HostStatus::Average);
    EXPECT_FALSE(snap.series[1].lastRttMicros.has_value());
}

// A trace ends after newer probes: it sets its own pair's gauge and leaves the current pair and its status be.
TEST(Registry, ARouteTraceTouchesOnlyItsOwnPair) {
    MetricsRegistry registry("v");
    registry.recordProbe("one", "127.0.0.1", microseconds(100), 0);
    registry.recordProbe("two", "127.0.0.2", microseconds(100), 0);
    registry.setHostStatus("two", "127.0.0.2", HostStatus::Bad);
    registry.setRouteLossBegins("one", "127.0.0.1", 4);
    registry.setRouteLossBegins("two", "127.0.0.2", std::nullopt);
    registry.setRouteLossBegins("gone", "127.0.0.9", 2);

    const MetricsSnapshot snap = registry.snapshot();
    ASSERT_EQ(snap.series.size(), 2u);
    EXPECT_EQ(snap.series[0].routeLossBeginsHop, 4u);
    EXPECT_EQ(snap.series[1].routeLossBeginsHop, 0u) << "no loss on the path";
    EXPECT_EQ(snap.series[1].status, HostStatus::Bad);
    const std::string text = writeExposition(snap);
    EXPECT_NE(text.find("ostrevo_route_loss_begins_hop{host=\"one\",address=\"127.0.0.1\"} 4\n"), std::string::npos);
    EXPECT_NE(text.find("ostrevo_route_loss_begins_hop{host=\"two\",address=\"127.0.0.2\"} 0\n"), std::string::npos);
    EXPECT_EQ(text.find("gone"), std::string::npos);
}

// Path watching: a watched pair counts its route changes from 0 and gives its hop count; a pair nobody watches,
// or one no longer kept, shows neither, and a program that watches no path has neither family at all.
TEST(Registry, PathWatchingCountsRouteChangesAndHopsOfWatchedPairsOnly) {
    MetricsRegistry registry("v");
    registry.recordProbe("one", "127.0.0.1", microseconds(100), 0);
    registry.recordProbe("two", "127.0.0.2", microseconds(100), 0);
    EXPECT_EQ(writeExposition(registry.snapshot()).find("ostrevo_route_hops"), std::string::npos);
    registry.setRouteHops("one", "127.0.0.1", 4);
    registry.setRouteHops("one", "127.0.0.1", std::nullopt); // a trace that did not reach the host
    registry.countRouteChange("one", "127.0.0.1");
    registry.setRouteHops("gone", "127.0.0.9", 3);
    registry.countRouteChange("gone", "127.0.0.9");

    const MetricsSnapshot snap = registry.snapshot();
    ASSERT_EQ(snap.series.size(), 2u);
    EXPECT_EQ(snap.series[0].routeChanges, 1u);
    EXPECT_EQ(snap.series[0].routeHops, 4u) << "the last hop count that reached the host";
    EXPECT_FALSE(snap.series[1].routeChanges.has_value());
    const std::string text = writeExposition(snap);
    EXPECT_NE(text.find("# TYPE ostrevo_route_changes_total counter\n"
                        "ostrevo_route_changes_total{host=\"one\",address=\"127.0.0.1\"} 1\n"
                        "# HELP ostrevo_route_hops "),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("ostrevo_route_hops{host=\"one\",address=\"127.0.0.1\"} 4\n"), std::string::npos);
    EXPECT_EQ(text.find("ostrevo_route_hops{host=\"two\""), std::string::npos);
    EXPECT_EQ(text.find("gone"), std::string::npos);
}

TEST(Registry, KeepsABoundedNumberOfTargetsDroppingTheLongestUnused) {
    MetricsRegistry registry("v");
    registry.recordProbe("first", "127.0.0.1", std::nullopt, 1);
    for (std::size_t i = 0; i < MetricsRegistry::kMaxSeries; ++i) {
        registry.recordProbe("host" + std::to_string(i), "127.0.0.1", std::nullopt, 1);
        if (i == 0)
            registry.recordProbe("first", "127.0.0.1", std::nullopt, 1); // used again: not the oldest any more
    }
    const MetricsSnapshot snap = registry.snapshot();
    ASSERT_EQ(snap.series.size(), MetricsRegistry::kMaxSeries);
    EXPECT_EQ(snap.series[0].host, "first");
    EXPECT_EQ(snap.series[0].requests, 2u);
    for (const SeriesSnapshot& s : snap.series)
        EXPECT_NE(s.host, "host0");
}

} // namespace
