#include "metrics/Exposition.h"
#include "metrics/MetricsObserver.h"
#include "metrics/MetricsRegistry.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <sstream>
#include <string>

namespace {

ProbeEvent loss(std::uint32_t status, HostStatus hostStatus, const char* host = "web") {
    ProbeEvent e;
    e.run = 1;
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

// Several runs at once, as one engine thread reports them: each its own host, address and status.
class InterleavedRunsTest : public MetricsObserverTest {
protected:
    static ProbeEvent of(RunId run, ProbeEvent e) {
        e.run = run;
        e.address = "127.0.0." + std::to_string(run);
        if (e.answered())
            e.replier = e.address;
        return e;
    }

    // "web=good db=bad dns=unknown": each host's state set at its own address, read from the exposition.
    std::string states() const {
        const std::string text = writeExposition(registry.snapshot());
        std::string out;
        for (const auto& [run, host] : {std::pair{1, "web"}, std::pair{2, "db"}, std::pair{3, "dns"}}) {
            const std::string prefix = std::string("ostrevo_host_status{host=\"") + host + "\",address=\"127.0.0." +
                                       std::to_string(run) + "\",status=\"";
            std::istringstream lines(text);
            std::string current;
            int ones = 0;
            for (std::string line; std::getline(lines, line);) {
                if (line.rfind(prefix, 0) != 0 || !line.ends_with("} 1"))
                    continue;
                const std::string rest = line.substr(prefix.size());
                current = rest.substr(0, rest.find('"'));
                ++ones;
            }
            out += (out.empty() ? "" : " ") + std::string(host) + "=" + (ones == 1 ? current : "?");
        }
        return out;
    }

    // The value of `metric` for the series of `host` at its run's address; empty when it has no line.
    std::string value(const std::string& metric, const std::string& host, RunId run) const {
        const std::string prefix = metric + "{host=\"" + host + "\",address=\"127.0.0." + std::to_string(run) + "\"} ";
        std::istringstream lines(writeExposition(registry.snapshot()));
        for (std::string line; std::getline(lines, line);)
            if (line.rfind(prefix, 0) == 0)
                return line.substr(prefix.size());
        return {};
    }
};

TEST_F(InterleavedRunsTest, EachRunKeepsItsOwnSeriesAndAnEndTouchesOnlyItsOwn) {
    const struct {
        std::optional<ProbeEvent> event; // none: the run ends
        RunId ended;
        const char* states;
    } steps[] = {
        {of(1, reply(500, kGood, "web", 64)), 0, "web=good db=? dns=?"},
        {of(2, loss(11010, kBad, "db")), 0, "web=good db=bad dns=?"},
        {of(3, reply(30'000, kAverage, "dns", 50)), 0, "web=good db=bad dns=average"},
        {of(1, reply(700, kGood, "web", 64)), 0, "web=good db=bad dns=average"},
        {of(2, loss(11010, kBad, "db")), 0, "web=good db=bad dns=average"},
        {std::nullopt, 2, "web=good db=unknown dns=average"},
        {std::nullopt, 2, "web=good db=unknown dns=average"}, // told twice: nothing more happens
        {of(3, reply(900, kGood, "dns", 50)), 0, "web=good db=unknown dns=good"},
        {of(1, loss(11003, kAverage, "web")), 0, "web=average db=unknown dns=good"},
        {std::nullopt, 7, "web=average db=unknown dns=good"}, // a run that never probed
        {std::nullopt, 3, "web=average db=unknown dns=unknown"},
        {of(2, reply(800, kNa, "db", 61)), 0, "web=average db=unknown dns=unknown"},
        {of(2, reply(800, kGood, "db", 61)), 0, "web=average db=good dns=unknown"},
    };
    int step = 0;
    for (const auto& s : steps) {
        if (s.event)
            observer.probed(*s.event);
        else
            observer.runEnded(s.ended, 0);
        EXPECT_EQ(states(), s.states) << "step " << step;
        ++step;
    }
    ASSERT_EQ(registry.snapshot().series.size(), 3u);
    EXPECT_EQ(value("ostrevo_probe_requests_total", "web", 1), "3");
    EXPECT_EQ(value("ostrevo_probe_lost_total", "web", 1), "1");
    EXPECT_EQ(value("ostrevo_probe_requests_total", "db", 2), "4");
    EXPECT_EQ(value("ostrevo_probe_lost_total", "db", 2), "2");
    EXPECT_EQ(value("ostrevo_probe_requests_total", "dns", 3), "2");
    // Each gauge tells its own host's latest reply, whatever the others did since.
    EXPECT_EQ(value("ostrevo_probe_reply_ttl", "web", 1), "64");
    EXPECT_EQ(value("ostrevo_probe_reply_ttl", "db", 2), "61");
    EXPECT_EQ(value("ostrevo_probe_reply_ttl", "dns", 3), "50");
    EXPECT_EQ(value("ostrevo_probe_last_rtt_seconds", "web", 1), "0.0007");
    EXPECT_EQ(value("ostrevo_probe_last_rtt_seconds", "dns", 3), "0.0009");
    EXPECT_EQ(value("ostrevo_probe_rtt_seconds_count", "dns", 3), "2");
    EXPECT_EQ(value("ostrevo_probe_rtt_seconds_sum", "dns", 3), "0.0309");
}

// A run started again on another host leaves the old one unknown; a pair two runs probe stays judged until
// both have ended.
TEST_F(InterleavedRunsTest, AStatusGoesUnknownOnlyWhenNoRunProbesThePairAnyMore) {
    observer.probed(of(1, reply(500, kGood, "web")));
    observer.probed(of(3, reply(500, kGood, "dns")));
    ProbeEvent twin = of(3, reply(600, kGood, "dns"));
    twin.run = 5;
    observer.probed(twin);
    ProbeEvent moved = of(2, reply(500, kBad, "db"));
    moved.run = 1;
    observer.probed(moved);
    EXPECT_EQ(states(), "web=unknown db=bad dns=good");
    observer.runEnded(5, 0);
    EXPECT_EQ(states(), "web=unknown db=bad dns=good");
    observer.runEnded(1, 0);
    observer.runEnded(3, 0);
    EXPECT_EQ(states(), "web=unknown db=unknown dns=unknown");
}

TEST(RegistryOfManyHosts, EveryHostKeepsItsSeriesAndOnlyAMovedHostLosesItsStatus) {
    MetricsRegistry registry("v");
    constexpr int kHosts = 1000;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < kHosts; ++i) {
            const std::string host = "host" + std::to_string(i);
            registry.recordProbe(host, "127.0.1." + std::to_string(i % 250), std::chrono::microseconds(100 + i), 0);
            registry.setHostStatus(host, "127.0.1." + std::to_string(i % 250), HostStatus::Good);
        }
    }
    registry.recordProbe("host7", "127.0.2.7", std::nullopt, 11010); // host7's name now resolves elsewhere
    const MetricsSnapshot snap = registry.snapshot();
    ASSERT_EQ(snap.series.size(), static_cast<std::size_t>(kHosts + 1));
    for (int i = 0; i < kHosts; ++i) {
        const SeriesSnapshot& s = snap.series[static_cast<std::size_t>(i)];
        EXPECT_EQ(s.host, "host" + std::to_string(i)); // in order of first use
        EXPECT_EQ(s.requests, 2u) << s.host;
        EXPECT_EQ(s.status, i == 7 ? HostStatus::NA : HostStatus::Good) << s.host;
    }
    EXPECT_EQ(snap.series.back().host, "host7");
    EXPECT_EQ(snap.series.back().lost, 1u);
}

// Past the registry's room: 5,000 hosts probed in turn keep counting on every scrape (none is dropped while it
// runs), and once runs end, the pairs of the runs that ended first make room for new hosts, oldest first.
TEST(RegistryOfManyHosts, RunningHostsAreNeverDroppedAndStoppedOnesGoOldestFirst) {
    MetricsRegistry registry("v");
    MetricsObserver observer(registry);
    constexpr int kHosts = 5000;
    static_assert(kHosts > MetricsRegistry::kMaxSeries);
    auto probeOf = [](int i) {
        ProbeEvent e = reply(100, kGood, "");
        e.run = static_cast<RunId>(i + 1);
        e.host = "host" + std::to_string(i);
        e.address = e.replier = "127.0." + std::to_string(i / 250) + "." + std::to_string(i % 250);
        return e;
    };
    auto requestsOf = [&registry] {
        std::map<std::string, std::uint64_t> out;
        for (const SeriesSnapshot& s : registry.snapshot().series)
            out[s.host] = s.requests;
        return out;
    };
    for (int round = 1; round <= 3; ++round) {
        for (int i = 0; i < kHosts; ++i)
            observer.probed(probeOf(i));
        const std::map<std::string, std::uint64_t> requests = requestsOf(); // a scrape
        ASSERT_EQ(requests.size(), static_cast<std::size_t>(kHosts));
        for (const auto& [host, count] : requests)
            ASSERT_EQ(count, static_cast<std::uint64_t>(round)) << host << " started counting again";
    }
    for (int i = 0; i < 200; ++i)
        observer.runEnded(static_cast<RunId>(i + 1), 0);
    for (int i = kHosts; i < kHosts + 100; ++i)
        observer.probed(probeOf(i));
    const std::map<std::string, std::uint64_t> requests = requestsOf();
    EXPECT_EQ(requests.size(), static_cast<std::size_t>(kHosts));
    for (int i = 0; i < kHosts + 100; ++i)
        EXPECT_EQ(requests.count("host" + std::to_string(i)), i < 100 ? 0u : 1u) << i;
    EXPECT_EQ(requests.at("host150"), 3u); // stopped, not yet needed for room: its figures stay
}

} // namespace

// The service's way: one host watched twice is two series told apart by their labels, and a series goes as soon
// as no run probes it (a removed target, an old address), while the others keep counting.
TEST(LabelledSeries, OneHostTwiceKeepsTwoSeriesAndAReleasedOneGoesAtOnce) {
    MetricsRegistry registry{"2.2.2.58"};
    registry.setDropReleased(true);
    const std::map<RunId, std::string> labels{{1, ",site=\"lab\""}, {2, ",target=\"jumbo\",site=\"lab\""}};
    MetricsObserver observer(registry, [&](RunId run) { return labels.at(run); });
    ProbeEvent plain = reply(300, HostStatus::Good, "gw");
    ProbeEvent jumbo = loss(11010, HostStatus::Bad, "gw");
    jumbo.run = 2;
    observer.probed(plain);
    observer.probed(jumbo);
    observer.probed(plain);
    const std::string text = writeExposition(registry.snapshot());
    EXPECT_NE(text.find("ostrevo_probe_requests_total{host=\"gw\",address=\"127.0.0.1\",site=\"lab\"} 2\n"),
              std::string::npos)
        << text;
    EXPECT_NE(
        text.find("ostrevo_probe_lost_total{host=\"gw\",address=\"127.0.0.1\",target=\"jumbo\",site=\"lab\"} 1\n"),
        std::string::npos);
    EXPECT_NE(
        text.find("ostrevo_probe_rtt_seconds_bucket{host=\"gw\",address=\"127.0.0.1\",site=\"lab\",le=\"0.0005\"} 2\n"),
        std::string::npos);
    EXPECT_NE(text.find("ostrevo_host_status{host=\"gw\",address=\"127.0.0.1\",target=\"jumbo\",site=\"lab\","
                        "status=\"bad\"} 1\n"),
              std::string::npos);

    // Run 1 moves to another address: its old series goes, as does run 2's when it ends.
    plain.address = "127.0.0.2";
    observer.probed(plain);
    observer.runEnded(2, 0);
    const MetricsSnapshot left = registry.snapshot();
    ASSERT_EQ(left.series.size(), 1U) << left;
    EXPECT_EQ(left.series[0].address, "127.0.0.2");
    EXPECT_EQ(left.series[0].requests, 1U);
}
