#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/RouteResult.h"
#include "engine/RouteTally.h"
#include "engine/RouteTracer.h"
#include "support/NetNamespace.h"
#include "support/RouterChain.h"

// The route tracer: where loss begins (a rule on the hop figures), the running figures of a trace, and traces
// through a chain of private namespaces with routers that lose, stay silent, spare their ICMP or refuse.

namespace {

RouteHop hop(std::uint8_t number, std::uint32_t sent, std::uint32_t received) {
    RouteHop h;
    h.number = number;
    h.sent = sent;
    h.received = received;
    if (received != 0)
        h.answered.push_back(IpAddress::v4(htonl(0xc6120000U | number)));
    return h;
}

// ---- Where loss begins ----

struct LossCase {
    const char* what;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> hops; // sent, received per hop from 1
    bool reached;
    std::optional<std::uint8_t> begins;
};

TEST(RouteLoss, BeginsWhereItPersistsToTheEnd) {
    const std::vector<LossCase> cases = {
        {"no hops", {}, false, std::nullopt},
        {"clean path", {{10, 10}, {10, 10}, {10, 10}}, true, std::nullopt},
        {"loss from hop 3 on", {{30, 30}, {30, 30}, {30, 15}, {30, 14}}, true, 3},
        {"only the destination loses", {{30, 30}, {30, 30}, {30, 30}, {30, 20}}, true, 4},
        {"a middle hop spares its ICMP", {{30, 30}, {30, 12}, {30, 30}, {30, 30}}, true, std::nullopt},
        {"sparing hop, then real loss later", {{30, 30}, {30, 12}, {30, 30}, {30, 20}, {30, 21}}, true, 4},
        {"sparing hop just before the loss", {{30, 28}, {30, 30}, {30, 20}, {30, 21}}, true, 3},
        {"loss from the first hop", {{30, 25}, {30, 24}, {30, 26}}, true, 1},
        {"a silent hop inside the lossy stretch is passed over", {{30, 30}, {30, 20}, {30, 0}, {30, 19}}, true, 2},
        {"a silent hop before the loss says nothing", {{30, 30}, {30, 0}, {30, 20}, {30, 19}}, true, 3},
        {"a silent hop on a clean path", {{30, 30}, {30, 0}, {30, 30}}, true, std::nullopt},
        {"the README's example", {{30, 30}, {30, 20}, {30, 30}, {30, 0}, {30, 15}, {30, 14}}, true, 5},
        {"destination never reached: the silent end", {{10, 10}, {10, 10}, {10, 0}}, false, 3},
        {"never reached after a lossy stretch", {{10, 10}, {10, 6}, {10, 0}}, false, 2},
        {"a router refuses: the path ends there", {{10, 10}, {10, 10}}, false, 2},
    };
    for (const LossCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<RouteHop> hops;
        for (const auto& [sent, received] : c.hops)
            hops.push_back(hop(static_cast<std::uint8_t>(hops.size() + 1), sent, received));
        EXPECT_EQ(RouteLoss::beginsAt(hops, c.reached), c.begins);
    }
}

// ---- The running figures ----

const IpAddress kDestination = IpAddress::v4(inet_addr("198.18.4.2"));
const IpAddress kRouter1 = IpAddress::v4(inet_addr("198.18.1.2"));
const IpAddress kRouter2 = IpAddress::v4(inet_addr("198.18.2.2"));
const IpAddress kRouter2b = IpAddress::v4(inet_addr("198.18.9.2"));

// A hop that answers from a new address every time (a forger, a large balancer) lists the first few, for as long
// as the trace runs; every answer still counts in its figures.
TEST(RouteTally, AHopListsAFewAddressesHoweverManyAnswer) {
    RouteTally tally(kDestination, 30);
    for (std::uint32_t i = 0; i < 5000; ++i)
        tally.answered(1, RouteTally::Answer::TimeExceeded, IpAddress::v4(htonl(0x0a000000U + i % 2500)), 100 + i);
    tally.answered(2, RouteTally::Answer::Reply, kDestination, 500);
    const RouteResult result = tally.result(5000);
    ASSERT_EQ(result.hops.size(), 2u);
    const RouteHop& first = result.hops[0];
    ASSERT_EQ(first.answered.size(), RouteTally::kMostAddresses);
    for (std::size_t i = 0; i < first.answered.size(); ++i)
        EXPECT_EQ(first.answered[i], IpAddress::v4(htonl(0x0a000000U + static_cast<std::uint32_t>(i))));
    EXPECT_EQ(first.received, 5000u);
    EXPECT_EQ(first.worstUs, 5099u);
    EXPECT_EQ(result.hops[1].answered, std::vector<IpAddress>{kDestination});
}

TEST(RouteTally, TimesPerHopAreThoseOfMtr) {
    RouteTally tally(kDestination, 30);
    for (std::uint32_t us : {1000U, 3000U, 2000U, 6000U})
        tally.answered(1, RouteTally::Answer::TimeExceeded, kRouter1, us);
    tally.lost(1);
    tally.answered(2, RouteTally::Answer::Reply, kDestination, 500);
    const RouteResult result = tally.result(5);
    ASSERT_EQ(result.hops.size(), 2u) << testing::PrintToString(result);
    const RouteHop& first = result.hops[0];
    EXPECT_EQ(first.sent, 5u);
    EXPECT_EQ(first.lost(), 1u);
    EXPECT_DOUBLE_EQ(first.lossPercent(), 20.0);
    EXPECT_EQ(first.lastUs, 6000u);
    EXPECT_EQ(first.bestUs, 1000u);
    EXPECT_EQ(first.worstUs, 6000u);
    EXPECT_EQ(first.averageUs, 3000u);
    EXPECT_EQ(first.stdDevUs, 2160u) << "sample deviation of 1, 3, 2, 6 ms";
    EXPECT_EQ(result.hops[1].stdDevUs, 0u) << "one sample has no deviation";
    EXPECT_TRUE(result.reached);
    EXPECT_EQ(result.lossBeginsAt, std::nullopt) << "loss at hop 1 alone is no loss of the path";
}

TEST(RouteTally, ThePathEndsWhereTheDestinationFirstAnswers) {
    RouteTally tally(kDestination, 30);
    EXPECT_EQ(tally.hopsToProbe(), 30) << "unknown distance: all the way";
    tally.answered(1, RouteTally::Answer::TimeExceeded, kRouter1, 100);
    tally.lost(2); // the first round lost the destination at its own distance...
    for (std::uint8_t ttl = 3; ttl <= 30; ++ttl)
        tally.answered(ttl, RouteTally::Answer::Reply, kDestination, 300);
    EXPECT_EQ(tally.hopsToProbe(), 3);
    tally.answered(2, RouteTally::Answer::Reply, kDestination, 200); // ...and the next one found it there
    EXPECT_EQ(tally.hopsToProbe(), 2);
    const RouteResult result = tally.result(2);
    ASSERT_EQ(result.hops.size(), 2u);
    EXPECT_EQ(result.hops[1].answered, std::vector<IpAddress>{kDestination});
    EXPECT_EQ(result.hops[1].sent, 2u);
    EXPECT_EQ(result.lossBeginsAt, 2) << "the destination lost one of two";
}

TEST(RouteTally, SeveralAddressesAtOneHopAreKeptInTheOrderHeard) {
    RouteTally tally(kDestination, 30);
    for (const IpAddress& from : {kRouter2, kRouter2b, kRouter2, kRouter2b})
        tally.answered(1, RouteTally::Answer::TimeExceeded, from, 100);
    tally.answered(2, RouteTally::Answer::Reply, kDestination, 200);
    EXPECT_EQ(tally.result(4).hops[0].answered, (std::vector<IpAddress>{kRouter2, kRouter2b}));
}

TEST(RouteTally, AnUnreachableDestinationEndsThePathAtTheRefusingRouter) {
    RouteTally tally(kDestination, 30);
    tally.answered(1, RouteTally::Answer::TimeExceeded, kRouter1, 100);
    tally.answered(2, RouteTally::Answer::Unreachable, kRouter2, 200);
    for (std::uint8_t ttl = 3; ttl <= 30; ++ttl)
        tally.answered(ttl, RouteTally::Answer::Unreachable, kRouter2, 200);
    EXPECT_EQ(tally.hopsToProbe(), 2);
    const RouteResult result = tally.result(1);
    ASSERT_EQ(result.hops.size(), 2u);
    EXPECT_TRUE(result.hops[1].unreachable);
    EXPECT_FALSE(result.reached);
    EXPECT_EQ(result.lossBeginsAt, 2);
}

TEST(RouteTally, ASilentDestinationShowsOneHopThatNeverAnswered) {
    RouteTally tally(kDestination, 30);
    for (int round = 0; round < 2; ++round) {
        tally.answered(1, RouteTally::Answer::TimeExceeded, kRouter1, 100);
        tally.answered(2, RouteTally::Answer::TimeExceeded, kRouter2, 100);
        for (std::uint8_t ttl = 3; ttl <= 30; ++ttl)
            tally.lost(ttl);
    }
    const RouteResult result = tally.result(2);
    ASSERT_EQ(result.hops.size(), 3u) << testing::PrintToString(result);
    EXPECT_TRUE(result.hops[2].neverAnswered());
    EXPECT_EQ(result.hops[2].sent, 2u);
    EXPECT_FALSE(result.reached);
    EXPECT_EQ(result.lossBeginsAt, 3);
}

// ---- Through a chain of routers ----

enum class Kind { Datagram, Raw };

struct TraceCase {
    Kind kind;
    RouterChain::Family family;
};

std::string caseName(const testing::TestParamInfo<TraceCase>& info) {
    return std::string(info.param.kind == Kind::Raw ? "Raw" : "Datagram") +
           (info.param.family == RouterChain::Family::V4 ? "V4" : "V6");
}

// client - r1 - r2 - r3 - server, the test thread in the client. Rounds are short: the figures, not the pace,
// are the point here.
class RouteTracerInAChain : public testing::TestWithParam<TraceCase> {
protected:
    // One chain serves every case: making ten namespaces costs more than the traces themselves.
    static void SetUpTestSuite() {
        if (NetNamespace::unavailableReason().empty())
            chain_ = std::make_unique<RouterChain>("trace", 3);
    }
    static void TearDownTestSuite() { chain_.reset(); }

    void SetUp() override {
        if (const std::string reason = NetNamespace::unavailableReason(); !reason.empty())
            GTEST_SKIP() << reason;
        ASSERT_TRUE(chain_ && chain_->ok()) << (chain_ ? chain_->error() : "");
        if (GetParam().kind == Kind::Datagram) {
            ASSERT_TRUE(chain_->client().allowPingSockets());
        }
        NetNamespace::Entered inside(chain_->client());
        ASSERT_TRUE(inside.ok());
        tracer_ = std::make_unique<RouteTracer>(GetParam().kind == Kind::Raw ? TraceSocket::Preference::RawOnly
                                                                             : TraceSocket::Preference::DatagramOnly);
        ASSERT_TRUE(tracer_->open(v6() ? IpAddress::Family::V6 : IpAddress::Family::V4)) << tracer_->error();
    }

    void TearDown() override {
        if (!chain_)
            return;
        for (int k = 1; k <= chain_->routers(); ++k)
            EXPECT_TRUE(chain_->router(k).flushNft());
        EXPECT_TRUE(chain_->server().flushNft());
    }

    [[nodiscard]] bool v6() const { return GetParam().family == RouterChain::Family::V6; }

    [[nodiscard]] IpAddress address(const std::string& text) const {
        return v6() ? *IpAddress::parseV6(text) : IpAddress::v4(inet_addr(text.c_str()));
    }
    [[nodiscard]] IpAddress hopAddress(int k) const { return address(RouterChain::hopAddress(k, GetParam().family)); }

    RouteResult trace(std::uint32_t rounds, std::uint32_t intervalMs = 20, std::uint32_t waitMs = 500) {
        RouteTracer::Options options;
        options.rounds = rounds;
        options.intervalMs = intervalMs;
        options.waitMs = waitMs;
        reported_.clear();
        RouteResult result = tracer_->trace(address(chain_->serverAddress(GetParam().family)), options,
                                            [this](const RouteResult& soFar) { reported_.push_back(soFar.rounds); });
        EXPECT_EQ(tracer_->error(), "");
        return result;
    }
    std::vector<std::uint32_t> reported_; // the rounds each report of a finished round counted

    // An nft rule on router k, in the family's table.
    void onRouter(int k, const std::string& chain, const std::string& rule) {
        const std::string table = v6() ? "ip6" : "ip";
        std::string output;
        ASSERT_TRUE(chain_->router(k).nft("table " + table + " t {\n chain c {\n  type filter hook " + chain +
                                              " priority 0;\n  " + rule + "\n }\n}\n",
                                          &output))
            << output;
    }
    [[nodiscard]] std::string icmp() const { return v6() ? "icmpv6" : "icmp"; }

    static inline std::unique_ptr<RouterChain> chain_;
    std::unique_ptr<RouteTracer> tracer_;
};

TEST_P(RouteTracerInAChain, EveryHopAnswersOnACleanPath) {
    const RouteResult result = trace(5);
    ASSERT_EQ(result.hops.size(), 4u) << testing::PrintToString(result);
    for (int k = 1; k <= 4; ++k) {
        SCOPED_TRACE(k);
        const RouteHop& hop = result.hops[static_cast<std::size_t>(k - 1)];
        EXPECT_EQ(hop.number, k);
        EXPECT_EQ(hop.answered, std::vector<IpAddress>{hopAddress(k)});
        EXPECT_EQ(hop.sent, 5u);
        EXPECT_EQ(hop.received, 5u);
        EXPECT_LE(hop.bestUs, hop.averageUs);
        EXPECT_LE(hop.averageUs, hop.worstUs);
        EXPECT_GT(hop.worstUs, 0u);
    }
    EXPECT_TRUE(result.reached);
    EXPECT_EQ(result.rounds, 5u);
    EXPECT_EQ(result.lossBeginsAt, std::nullopt);
    EXPECT_EQ(reported_, (std::vector<std::uint32_t>{1, 2, 3, 4, 5})) << "each round reported once, in order";
}

TEST_P(RouteTracerInAChain, LossFromTheSecondRouterOnBeginsAtHopThree) {
    onRouter(2, "forward", "numgen random mod 100 < 30 drop");
    const RouteResult result = trace(30);
    ASSERT_EQ(result.hops.size(), 4u) << testing::PrintToString(result);
    EXPECT_EQ(result.hops[0].lost(), 0u);
    EXPECT_EQ(result.hops[1].lost(), 0u) << "router 2 answers for itself; only what it forwards is lost";
    EXPECT_GT(result.hops[2].lost(), 0u);
    EXPECT_GT(result.hops[3].lost(), 0u);
    EXPECT_EQ(result.lossBeginsAt, 3) << testing::PrintToString(result);
}

TEST_P(RouteTracerInAChain, ASilentRouterIsShownAsSuchNotAsLoss) {
    onRouter(2, "output", icmp() + " type time-exceeded drop");
    const RouteResult result = trace(5);
    ASSERT_EQ(result.hops.size(), 4u) << testing::PrintToString(result);
    EXPECT_TRUE(result.hops[1].neverAnswered());
    EXPECT_EQ(result.hops[3].lost(), 0u);
    EXPECT_TRUE(result.reached);
    EXPECT_EQ(result.lossBeginsAt, std::nullopt);
}

TEST_P(RouteTracerInAChain, ARouterSparingItsIcmpShowsLossThatIsNotWhereLossBegins) {
    onRouter(2, "output", icmp() + " type time-exceeded numgen random mod 100 < 50 drop");
    const RouteResult result = trace(20);
    ASSERT_EQ(result.hops.size(), 4u) << testing::PrintToString(result);
    EXPECT_GT(result.hops[1].lost(), 0u);
    EXPECT_EQ(result.hops[2].lost(), 0u);
    EXPECT_EQ(result.hops[3].lost(), 0u);
    EXPECT_EQ(result.lossBeginsAt, std::nullopt) << testing::PrintToString(result);
}

TEST_P(RouteTracerInAChain, AnUnreachableDestinationEndsAtTheRefusingRouter) {
    const std::string daddr = (v6() ? "ip6 daddr " : "ip daddr ") + chain_->serverAddress(GetParam().family);
    onRouter(3, "forward",
             daddr + (v6() ? " reject with icmpv6 type addr-unreachable" : " reject with icmp type host-unreachable"));
    const RouteResult result = trace(3, 100);
    // Router 3 still answers the expired TTL 3 itself; from TTL 4 on it refuses to forward.
    ASSERT_EQ(result.hops.size(), 4u) << testing::PrintToString(result);
    EXPECT_EQ(result.hops[2].answered, std::vector<IpAddress>{hopAddress(3)});
    EXPECT_FALSE(result.hops[2].unreachable);
    EXPECT_EQ(result.hops[3].answered, std::vector<IpAddress>{hopAddress(3)});
    EXPECT_TRUE(result.hops[3].unreachable);
    EXPECT_FALSE(result.reached);
    EXPECT_EQ(result.lossBeginsAt, 4);
}

TEST_P(RouteTracerInAChain, ASilentDestinationEndsTheListWithAHopThatNeverAnswered) {
    {
        std::string output;
        ASSERT_TRUE(chain_->server().nft(
            NetNamespace::inputRule(icmp() + (v6() ? " type echo-request drop" : " type echo-request drop")), &output))
            << output;
    }
    const RouteResult result = trace(2, 50, 300);
    ASSERT_EQ(result.hops.size(), 4u) << testing::PrintToString(result);
    EXPECT_EQ(result.hops[2].answered, std::vector<IpAddress>{hopAddress(3)});
    EXPECT_TRUE(result.hops[3].neverAnswered());
    EXPECT_FALSE(result.reached);
    EXPECT_EQ(result.lossBeginsAt, 4);
}

TEST_P(RouteTracerInAChain, StopEndsATraceEarlyWithWhatItHas) {
    std::thread stopper([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        tracer_->stop();
    });
    const RouteResult result = trace(1000, 20);
    stopper.join();
    EXPECT_LT(result.rounds, 1000u);
    EXPECT_FALSE(result.hops.empty());
}

INSTANTIATE_TEST_SUITE_P(BothSocketKinds, RouteTracerInAChain,
                         testing::Values(TraceCase{Kind::Datagram, RouterChain::Family::V4},
                                         TraceCase{Kind::Raw, RouterChain::Family::V4},
                                         TraceCase{Kind::Datagram, RouterChain::Family::V6},
                                         TraceCase{Kind::Raw, RouterChain::Family::V6}),
                         caseName);

} // namespace
