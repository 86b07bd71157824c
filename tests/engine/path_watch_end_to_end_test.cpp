// Path watching on a real routed path, client - three routers - server, with the ledger and the metrics as the
// program wires them: the path is kept hop by hop without loss; router 2 dropping 30 % of what it forwards shows
// loss from hop 3 on and nowhere before; router 2 rerouted through a fourth router is one route change, kept and
// counted once.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>

#include "engine/PathWatch.h"
#include "history/HistoryLedger.h"
#include "history/HistoryRecorder.h"
#include "metrics/MetricsObserver.h"
#include "metrics/MetricsRegistry.h"
#include "support/RecordingPathObserver.h"
#include "support/RouterChain.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kHost = "server.test";

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Sent and lost per hop over the minutes from `fromMs` on, and the addresses each hop answered from.
struct HopTotals {
    std::uint32_t sent = 0;
    std::uint32_t lost = 0;
    std::vector<IpAddress> answered;
};
std::map<int, HopTotals> totals(const std::vector<PathMinute>& minutes) {
    std::map<int, HopTotals> out;
    for (const PathMinute& m : minutes) {
        HopTotals& t = out[m.hop];
        t.sent += m.sent;
        t.lost += m.lost;
        for (const IpAddress& a : m.answered)
            if (std::find(t.answered.begin(), t.answered.end(), a) == t.answered.end())
                t.answered.push_back(a);
    }
    return out;
}

std::vector<IpAddress> addresses(std::initializer_list<std::string> texts) {
    std::vector<IpAddress> out;
    for (const std::string& t : texts)
        out.push_back(IpAddress::parse(t).value_or(IpAddress{}));
    return out;
}

TEST(PathWatchEndToEnd, KeepsThePathSeesLossFromTheHopItBeginsAtAndCountsOneRouteChange) {
    if (const std::string reason = NetNamespace::unavailableReason(); !reason.empty())
        GTEST_SKIP() << reason;
    RouterChain chain("pathwatch", 3);
    ASSERT_TRUE(chain.ok()) << chain.error();
    ASSERT_TRUE(chain.client().allowPingSockets());
    const std::string server = chain.serverAddress();

    TempDir dir;
    HistoryOptions options;
    options.path = dir.file("history.sqlite");
    const auto ledger = std::make_shared<HistoryLedger>(options);
    HistoryRecorder recorder(ledger);
    MetricsRegistry registry("test");
    MetricsObserver metrics(registry);
    RecordingPathObserver seen;
    // The rounds of a trace ten times the program's pace, each request given half a second: a few seconds make
    // what a few minutes make in the program.
    RouteTracer::Options pace;
    pace.intervalMs = 100;
    pace.waitMs = 500;
    PathWatch watch(RouteWatch::tracerFactory(pace));
    for (PathObserver* observer : std::initializer_list<PathObserver*>{&recorder, &metrics, &seen})
        watch.addObserver(*observer);
    watch.watch(kHost, PathWatch::Settings{1000, 10});

    // The run's probe, as the hub reports it, from the client's namespace: the traces start there.
    ProbeEvent probe;
    probe.run = 1;
    probe.host = kHost;
    probe.address = server;
    probe.status = 0;
    probe.rttUs = 300;
    probe.replier = server;
    probe.hostStatus = HostStatus::Good;
    {
        NetNamespace::Entered inside(chain.client());
        ASSERT_TRUE(inside.ok());
        metrics.probed(probe);
        watch.probed(probe);
    }
    const std::int64_t start = nowMs();
    ASSERT_TRUE(seen.waitTraces(3, 30s));
    const std::vector<IpAddress> usual =
        addresses({RouterChain::hopAddress(1), RouterChain::hopAddress(2), RouterChain::hopAddress(3), server});
    {
        const std::map<int, HopTotals> clean = totals(ledger->pathMinutes(kHost, start - 60'000, nowMs() + 60'000));
        ASSERT_EQ(clean.size(), 4u) << "three routers and the server";
        for (const auto& [hop, t] : clean) {
            SCOPED_TRACE(hop);
            EXPECT_GE(t.sent, 30u);
            EXPECT_EQ(t.lost, 0u);
            EXPECT_EQ(t.answered, std::vector<IpAddress>{usual[static_cast<std::size_t>(hop - 1)]});
        }
    }

    ASSERT_TRUE(chain.router(2).nft("table ip t {\n chain c {\n  type filter hook forward priority 0;\n"
                                    "  numgen random mod 100 < 30 drop\n }\n}\n"));
    const std::size_t before = seen.traces().size();
    ASSERT_TRUE(seen.waitTraces(before + 4, 60s));
    ASSERT_TRUE(chain.router(2).flushNft());
    {
        // Requests and answers both cross router 2 from hop 3 on: about half of them go.
        std::map<int, HopTotals> lossy;
        const std::vector<PathTrace> traces = seen.traces();
        for (std::size_t i = before; i < traces.size(); ++i)
            for (const RouteHop& hop : traces[i].hops) {
                lossy[hop.number].sent += hop.sent;
                lossy[hop.number].lost += hop.lost();
            }
        EXPECT_EQ(lossy[1].lost, 0u);
        EXPECT_EQ(lossy[2].lost, 0u);
        EXPECT_GT(lossy[3].lost, lossy[3].sent / 5);
        EXPECT_GT(lossy[4].lost, lossy[4].sent / 5);
        // The ledger's minutes hold the same: no loss before hop 3, loss at hop 3 and on.
        const std::map<int, HopTotals> kept = totals(ledger->pathMinutes(kHost, start - 60'000, nowMs() + 60'000));
        EXPECT_EQ(kept.at(1).lost, 0u);
        EXPECT_EQ(kept.at(2).lost, 0u);
        EXPECT_GE(kept.at(3).lost, lossy[3].lost);
        EXPECT_GE(kept.at(4).lost, lossy[4].lost);
    }
    EXPECT_TRUE(seen.changes().empty()) << "loss alone is no route change";

    ASSERT_TRUE(chain.detour(2)) << chain.error();
    const std::size_t rerouted = seen.traces().size();
    ASSERT_TRUE(seen.waitTraces(rerouted + 5, 60s));
    watch.stop();
    const std::vector<RouteChange> changes = ledger->routeChanges(kHost, start - 60'000, nowMs() + 60'000);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].hop, 3);
    EXPECT_EQ(changes[0].address, server);
    EXPECT_EQ(changes[0].before, usual);
    EXPECT_EQ(changes[0].after, addresses({RouterChain::hopAddress(1), RouterChain::hopAddress(2),
                                           RouterChain::detourAddress(2), RouterChain::hopAddress(3), server}));
    EXPECT_EQ(seen.changes().size(), 1u);
    const MetricsSnapshot snapshot = registry.snapshot();
    ASSERT_EQ(snapshot.series.size(), 1u);
    EXPECT_EQ(snapshot.series[0].routeChanges, 1u);
    EXPECT_EQ(snapshot.series[0].routeHops, 5u);
}

} // namespace
