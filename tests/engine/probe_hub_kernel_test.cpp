#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/IcmpPacket.h"
#include "support/ChildProcess.h"
#include "support/EchoResponder.h"
#include "support/KernelHub.h"
#include "support/NetNamespace.h"
#include "types/IpStatus.h"

// What the kernel really sends and answers, as the hub reads it: each test in a namespace of its own with the
// hub's thread inside it, so 127.0.0.1 and ::1 are the namespace's loopback.

using namespace std::chrono_literals;

namespace {

using Kind = IcmpSocket::Kind;
using Family = IpAddress::Family;

constexpr std::uint32_t status(std::int32_t code) {
    return static_cast<std::uint32_t>(code);
}

void expectGoodReply(const ProbeEvent& p, const std::string& from, std::uint32_t bytes, std::uint8_t ttl = 64) {
    SCOPED_TRACE(testing::PrintToString(p));
    ASSERT_TRUE(p.good());
    EXPECT_EQ(p.replier, from);
    EXPECT_EQ(p.bytes, bytes);
    EXPECT_EQ(p.ttl, std::optional<std::uint8_t>(ttl)) << "the reply's own time to live (hop limit)";
    ASSERT_TRUE(p.rttUs.has_value()) << "a good reply is timed in microseconds";
    EXPECT_EQ(*p.rttUs / 1000, p.rttMs) << "the same clock readings";
}

std::string kindName(const testing::TestParamInfo<Kind>& info) {
    return info.param == Kind::Raw ? "Raw" : "Datagram";
}

// The rule sees only IPv6.
std::string ip6InputRule(const std::string& rule) {
    return "table ip6 ostrevo_test {\n    chain input {\n        type filter hook input priority 0;\n        " + rule +
           "\n    }\n}\n";
}

class HubOnTheKernel : public testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        ns_ = std::make_unique<NetNamespace>("hubk");
        if (!ns_->ok())
            GTEST_SKIP() << ns_->error();
        ASSERT_TRUE(ns_->allowPingSockets()) << "the IPv4 range governs ICMPv6 ping sockets too";
        // Errors on loopback are not rate-limited for IPv6, but a kernel that did would fail the reject rows.
        ASSERT_TRUE(ns_->sysctl("net.ipv6.icmp.ratelimit", "0"));
        hub_ = std::make_unique<KernelHub>(GetParam() == Kind::Raw ? IcmpSocket::Preference::RawOnly
                                                                   : IcmpSocket::Preference::DatagramOnly,
                                           ns_.get());
        ASSERT_TRUE(hub_->ok());
    }

    void TearDown() override {
        if (hub_) {
            for (Kind kind : hub_->openedKinds())
                EXPECT_EQ(kind, GetParam()) << "every socket of the hub is of the kind asked for";
        }
        hub_.reset();
        ns_.reset();
    }

    std::unique_ptr<EchoResponder> respond(EchoResponder::Options options, Family family = Family::V4) {
        auto responder = std::make_unique<EchoResponder>(ns_->name(), options, family);
        EXPECT_TRUE(responder->ok()) << responder->error();
        return responder;
    }

    [[nodiscard]] ProbeEvent probe(const std::string& to, std::uint16_t size = 32) {
        RunSettings host = KernelHub::host(to);
        host.payloadSize = size;
        return hub_->probeOnce(host);
    }

    std::unique_ptr<NetNamespace> ns_;
    std::unique_ptr<KernelHub> hub_;
};

constexpr const char* kV4 = KernelHub::kLoopback;
constexpr const char* kV6 = KernelHub::kLoopbackV6;

TEST_P(HubOnTheKernel, EverySizeUpToTheLargestEchoIsAnsweredAndOneByteMoreIsTooBig) {
    for (std::uint16_t size : {32, 0, 1472, 65507}) {
        SCOPED_TRACE(size);
        expectGoodReply(probe(kV4, size), kV4, size);
        expectGoodReply(probe(kV6, size), kV6, size);
    }
    // IPv6 could carry 20 bytes more; the Buffer limit is one for both families.
    for (const char* to : {kV4, kV6})
        for (std::uint16_t size : {65508, 65535}) {
            SCOPED_TRACE(std::string(to) + " " + std::to_string(size));
            const ProbeEvent p = probe(to, size);
            EXPECT_FALSE(p.answered()) << testing::PrintToString(p);
            EXPECT_EQ(p.status, status(IpStatus::PacketTooBig));
            EXPECT_EQ(p.rttUs, std::nullopt);
        }
    expectGoodReply(probe(kV4), kV4, 32);
    expectGoodReply(probe(kV6), kV6, 32);
}

TEST_P(HubOnTheKernel, ARejectedRequestGivesTheErrorReplyFromTheRejectingHost) {
    const struct {
        const char* to;
        const char* rule;
        std::int32_t status;
    } rows[] = {
        {kV4, "host-unreachable", IpStatus::DestHostUnreachable},
        {kV4, "net-unreachable", IpStatus::DestNetUnreachable},
        {kV4, "prot-unreachable", IpStatus::DestProtocolUnreachable},
        {kV4, "port-unreachable", IpStatus::DestPortUnreachable},
        {kV4, "admin-prohibited", IpStatus::DestHostUnreachable},
        {kV6, "no-route", IpStatus::DestNetUnreachable},
        {kV6, "admin-prohibited", IpStatus::DestHostUnreachable},
        {kV6, "addr-unreachable", IpStatus::DestHostUnreachable},
        {kV6, "port-unreachable", IpStatus::DestPortUnreachable},
    };
    for (const auto& row : rows) {
        const bool v6 = std::string(row.to) == kV6;
        SCOPED_TRACE(std::string(row.to) + " " + row.rule);
        ASSERT_TRUE(ns_->flushNft());
        std::string complaint;
        ASSERT_TRUE(ns_->nft(
            v6 ? ip6InputRule(std::string("icmpv6 type echo-request reject with icmpv6 type ") + row.rule)
               : NetNamespace::inputRule(std::string("icmp type echo-request reject with icmp type ") + row.rule),
            &complaint))
            << complaint;
        // Two requests of one run: the first error must not linger for the second.
        const std::vector<ProbeEvent> probes = hub_->probe(KernelHub::host(row.to), v6 ? 2 : 1);
        ASSERT_EQ(probes.size(), v6 ? 2u : 1u);
        for (const ProbeEvent& p : probes) {
            EXPECT_TRUE(p.answered()) << testing::PrintToString(p);
            EXPECT_EQ(p.status, status(row.status)) << testing::PrintToString(p);
            EXPECT_EQ(p.replier, row.to);
            EXPECT_EQ(p.bytes, 0u);
            EXPECT_EQ(p.rttUs, std::nullopt) << "an error reply is no round trip";
        }
        if (!v6)
            std::this_thread::sleep_for(1100ms); // the kernel rate-limits the IPv4 errors it makes
    }
    ASSERT_TRUE(ns_->flushNft());
    expectGoodReply(probe(kV4), kV4, 32);
    expectGoodReply(probe(kV6), kV6, 32);
}

TEST_P(HubOnTheKernel, LocalSendFailuresTellNoRouteFromAnUnreachableHost) {
    // 127.0.0.9 loses its route; 127.0.0.1 keeps its own.
    std::string output;
    ASSERT_EQ(ns_->run("ip route del table local local 127.0.0.0/8 dev lo", &output), 0) << output;
    const ProbeEvent noRoute = probe("127.0.0.9");
    EXPECT_FALSE(noRoute.answered()) << testing::PrintToString(noRoute);
    EXPECT_EQ(noRoute.status, status(IpStatus::DestNetUnreachable)) << testing::PrintToString(noRoute);

    ASSERT_EQ(ns_->run("ip route add unreachable 127.0.0.9/32", &output), 0) << output;
    const ProbeEvent unreachable = probe("127.0.0.9");
    EXPECT_FALSE(unreachable.answered()) << testing::PrintToString(unreachable);
    EXPECT_EQ(unreachable.status, status(IpStatus::DestHostUnreachable)) << testing::PrintToString(unreachable);
    expectGoodReply(probe(kV4), kV4, 32);
}

// A peer answering from user space may echo more or less than it was sent: the reply keeps its full size, even
// past what the kernel echoes, and says how it differs; changed bytes say where.
TEST_P(HubOnTheKernel, RepliesOfAnotherSizeOrWithChangedDataAreGoodAndSayWhereTheyDiffer) {
    const struct {
        Family family;
        const char* to;
        std::size_t size;
    } sizes[] = {{Family::V4, kV4, 1000}, {Family::V4, kV4, 60000}, {Family::V6, kV6, 10}, {Family::V6, kV6, 1000}};
    for (const auto& row : sizes) {
        SCOPED_TRACE(std::string(row.to) + " " + std::to_string(row.size));
        auto responder = respond({0ms, row.size, false}, row.family);
        const ProbeEvent p = probe(row.to);
        expectGoodReply(p, row.to, static_cast<std::uint32_t>(row.size));
        EXPECT_EQ(p.wrongData, (WrongData{static_cast<std::uint32_t>(std::min<std::size_t>(row.size, 32)), 0, 0,
                                          static_cast<std::int32_t>(row.size) - 32, false}));
        EXPECT_EQ(responder->lastRequestTtl(), 255) << "requests go out with TTL (hop limit) 255";
    }
    const struct {
        Family family;
        const char* to;
        long changed;
    } changes[] = {{Family::V4, kV4, 5}, {Family::V6, kV6, 31}};
    for (const auto& row : changes) {
        SCOPED_TRACE(row.to);
        const ProbeEvent kernel = probe(row.to);
        expectGoodReply(kernel, row.to, 32);
        EXPECT_EQ(kernel.wrongData, std::nullopt) << "the kernel echoes what it got";
        auto responder = respond({0ms, std::nullopt, false}, row.family);
        responder->setChangedByte(row.changed);
        const ProbeEvent changed = probe(row.to);
        expectGoodReply(changed, row.to, 32);
        EXPECT_EQ(changed.wrongData, (WrongData{static_cast<std::uint32_t>(row.changed), 0x20, 0x41, 0, true}));
        responder.reset();
        const ProbeEvent after = probe(row.to);
        expectGoodReply(after, row.to, 32);
        EXPECT_EQ(after.wrongData, std::nullopt) << "told of its own reply only";
    }
}

TEST_P(HubOnTheKernel, BrokenRepliesAreNotTakenForTheAnswer) {
    for (const auto& [family, to] : {std::pair{Family::V4, kV4}, std::pair{Family::V6, kV6}}) {
        auto responder = respond({150ms, std::nullopt, false}, family);
        for (auto fault :
             {EchoResponder::Fault::WrongId, EchoResponder::Fault::WrongSequence, EchoResponder::Fault::Truncated}) {
            SCOPED_TRACE(std::string(to) + " fault " + std::to_string(static_cast<int>(fault)));
            responder->setFault(fault);
            const ProbeEvent p = probe(to);
            expectGoodReply(p, to, 32);
            EXPECT_GE(p.rttMs, 150u) << "the broken reply came at once; the true one 150 ms later";
            EXPECT_EQ(p.wrongData, std::nullopt);
        }
        EXPECT_EQ(responder->lastRequestTtl(), 255);
    }
}

TEST_P(HubOnTheKernel, ALateReplyIsNotTakenForTheNextRequest) {
    auto responder = respond({1500ms, std::nullopt, false});
    // The first request times out at 1000 ms and the second goes out 400 ms later; the first reply arrives
    // 100 ms into it, and the second is answered only at 600 ms.
    RunSettings host = KernelHub::host(kV4);
    host.timeoutMs = 1000;
    host.intervalMs = 400;
    const std::vector<ProbeEvent> probes = hub_->probe(host, 2, [&](const ProbeEvent&) { responder->setDelay(600ms); });
    ASSERT_EQ(probes.size(), 2u);
    EXPECT_FALSE(probes[0].answered()) << testing::PrintToString(probes[0]);
    EXPECT_EQ(probes[0].status, status(IpStatus::RequestTimedOut));
    EXPECT_EQ(probes[0].rttUs, std::nullopt) << "a timeout has no round trip";
    expectGoodReply(probes[1], kV4, 32);
    EXPECT_GE(probes[1].rttMs, 600u) << "the first request's reply was taken for the second's";
    EXPECT_EQ(probes[1].stats.lost, 1u);
    EXPECT_GE(responder->answered(), 2u);
}

TEST_P(HubOnTheKernel, AnotherPingBesideItDoesNotDisturbTheReplies) {
    std::vector<std::unique_ptr<ChildProcess>> pings;
    for (const char* to : {kV4, kV6}) {
        auto argv = ns_->execPrefix();
        argv.insert(argv.end(), {"ping", "-q", "-i", "0.01", to});
        pings.push_back(std::make_unique<ChildProcess>(argv));
        ASSERT_TRUE(pings.back()->started());
    }
    std::this_thread::sleep_for(200ms);
    for (const auto& ping : pings)
        ASSERT_TRUE(ping->running());
    for (const char* to : {kV4, kV6}) {
        RunSettings host = KernelHub::host(to);
        host.intervalMs = 10;
        const std::vector<ProbeEvent> probes = hub_->probe(host, 30);
        ASSERT_EQ(probes.size(), 30u);
        for (const ProbeEvent& p : probes) {
            expectGoodReply(p, to, 32); // ping's replies carry 56 bytes
            EXPECT_EQ(p.wrongData, std::nullopt);
        }
        EXPECT_EQ(probes.back().stats.lost, 0u);
    }
    for (const auto& ping : pings)
        EXPECT_TRUE(ping->running());
}

} // namespace

INSTANTIATE_TEST_SUITE_P(BothSocketKinds, HubOnTheKernel, testing::Values(Kind::Datagram, Kind::Raw), kindName);
