#include <gtest/gtest.h>

#include <netinet/in.h>
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

// Echo replies that answer nobody here: sent to `to` from a raw socket of the calling thread's namespace, so
// they come from the destination itself, with identifiers of their own. The first thousand or so overfill an
// unread socket's buffer. Returns how many went out.
std::size_t sendForgedReplies(const IpAddress& to, std::size_t count) {
    const bool v6 = to.isV6();
    const int fd =
        socket(v6 ? AF_INET6 : AF_INET, SOCK_RAW | SOCK_CLOEXEC, v6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP});
    if (fd < 0)
        return 0;
    sockaddr_storage target{};
    const socklen_t length = IcmpSocket::socketAddress(to, target);
    const std::vector<std::uint8_t> data(32, 0x20);
    std::vector<std::uint8_t> packet;
    std::size_t sent = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const auto id = static_cast<std::uint16_t>(0xA5A0 + i % 16);
        const auto sequence = static_cast<std::uint16_t>(i);
        if (v6) {
            IcmpPacket::buildEchoRequestV6(packet, id, sequence, data.data(), 32);
            packet[0] = IcmpPacket::kV6EchoReply; // the kernel sums ICMPv6 itself
        } else {
            IcmpPacket::buildEchoRequest(packet, id, sequence, data.data(), 32, false);
            packet[0] = IcmpPacket::kEchoReply;
            packet[2] = packet[3] = 0;
            const std::uint16_t sum = IcmpPacket::checksum(packet);
            packet[2] = static_cast<std::uint8_t>(sum >> 8);
            packet[3] = static_cast<std::uint8_t>(sum);
        }
        if (sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&target), length) ==
            static_cast<ssize_t>(packet.size()))
            ++sent;
    }
    ::close(fd);
    return sent;
}

// Floods `to` with forged replies from a thread inside `ns` until destroyed (at most `limit` packets, so a hung
// test cannot flood for ever).
class ForgedFlood {
public:
    ForgedFlood(const NetNamespace& ns, const IpAddress& to, std::size_t limit) {
        thread_ = std::thread([this, &ns, to, limit] {
            NetNamespace::Entered inside(ns);
            if (inside.ok())
                for (std::size_t sent = 0; sent < limit && !stop_.load(); sent += 500)
                    packets_ += sendForgedReplies(to, 500);
        });
    }
    ~ForgedFlood() {
        stop_ = true;
        thread_.join();
    }
    ForgedFlood(const ForgedFlood&) = delete;
    ForgedFlood& operator=(const ForgedFlood&) = delete;
    [[nodiscard]] std::size_t packets() const { return packets_.load(); }

private:
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> packets_{0};
    std::thread thread_;
};

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

    // Another host, so that the tested one is not alone: the hub then waits on its socket all the time.
    static constexpr RunId kBesideRun = 1;
    [[nodiscard]] static RunSettings besideHost() {
        RunSettings host = KernelHub::host("127.0.0.5");
        host.intervalMs = 20;
        return host;
    }

    std::unique_ptr<NetNamespace> ns_;
    std::unique_ptr<KernelHub> hub_;
};

constexpr const char* kV4 = KernelHub::kLoopback;
constexpr const char* kV6 = KernelHub::kLoopbackV6;

TEST_P(HubOnTheKernel, EverySizeUpToTheLargestEchoIsAnsweredAndOneByteMoreIsTooBig) {
    for (std::uint16_t size : {32, 0, 1472, 65507}) {
        SCOPED_TRACE(size);
        for (const char* to : {kV4, kV6}) {
            const ProbeEvent p = probe(to, size);
            expectGoodReply(p, to, size);
            EXPECT_EQ(p.wrongData, std::nullopt) << "every byte came back as sent";
        }
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

// Alone, the host reads its socket only while it waits; beside another host the socket is read all the time.
TEST_P(HubOnTheKernel, ALateReplyIsNotTakenForTheNextRequest) {
    for (const bool beside : {false, true}) {
        SCOPED_TRACE(beside ? "beside another host" : "alone");
        if (beside)
            hub_->startRun(kBesideRun, besideHost());
        auto responder = respond({1500ms, std::nullopt, false});
        // The first request times out at 1000 ms and the second goes out 400 ms later; the first reply arrives
        // 100 ms into it, and the second is answered only at 600 ms.
        RunSettings host = KernelHub::host(kV4);
        host.timeoutMs = 1000;
        host.intervalMs = 400;
        const std::vector<ProbeEvent> probes =
            hub_->probe(host, 2, [&](const ProbeEvent&) { responder->setDelay(600ms); });
        if (beside)
            hub_->stopRun(kBesideRun);
        ASSERT_EQ(probes.size(), 2u);
        EXPECT_FALSE(probes[0].answered()) << testing::PrintToString(probes[0]);
        EXPECT_EQ(probes[0].status, status(IpStatus::RequestTimedOut));
        EXPECT_EQ(probes[0].rttUs, std::nullopt) << "a timeout has no round trip";
        expectGoodReply(probes[1], kV4, 32);
        EXPECT_GE(probes[1].rttMs, 600u) << "the first request's reply was taken for the second's";
        EXPECT_EQ(probes[1].stats.lost, 1u);
        EXPECT_GE(responder->answered(), 2u);
    }
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

// A request dropped after a good reply of the same run: lost after its whole wait, with nothing of that reply.
TEST_P(HubOnTheKernel, ADroppedRequestIsLostAfterItsWholeWaitWithNothingOfTheLastReply) {
    for (const char* to : {kV4, kV6}) {
        SCOPED_TRACE(to);
        const bool v6 = std::string(to) == kV6;
        RunSettings host = KernelHub::host(to);
        host.timeoutMs = 500;
        host.intervalMs = 300; // time to put the rule in place
        std::int64_t lostAfterMs = 0;
        const std::vector<ProbeEvent> probes = hub_->probe(host, 2, [&](const ProbeEvent& p) {
            if (p.request == 1) {
                std::string complaint;
                EXPECT_TRUE(ns_->nft(v6 ? ip6InputRule("icmpv6 type echo-request drop")
                                        : NetNamespace::inputRule("icmp type echo-request drop"),
                                     &complaint))
                    << complaint;
            } else {
                lostAfterMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count() -
                              p.unixMs;
            }
        });
        ASSERT_TRUE(ns_->flushNft());
        ASSERT_EQ(probes.size(), 2u);
        expectGoodReply(probes[0], to, 32);
        const ProbeEvent& lost = probes[1];
        EXPECT_FALSE(lost.answered()) << testing::PrintToString(lost);
        EXPECT_EQ(lost.status, status(IpStatus::RequestTimedOut));
        EXPECT_EQ(lost.replier, "") << "a timeout has no replier";
        EXPECT_EQ(lost.bytes, 0u);
        EXPECT_EQ(lost.rttMs, 0u);
        EXPECT_EQ(lost.rttUs, std::nullopt);
        EXPECT_EQ(lost.ttl, std::nullopt);
        EXPECT_GE(lostAfterMs, 500) << "the wait was cut short";
        EXPECT_EQ(lost.stats.lost, 1u);
        expectGoodReply(probe(to), to, 32);
    }
}

// Someone else's replies, more than the socket's buffer holds, crowd out no reply of ours: a burst between
// requests (which a lone host's socket leaves unread) and a steady flood from a second sender.
TEST_P(HubOnTheKernel, AFloodOfForgedRepliesCostsNoProbe) {
    for (const bool beside : {false, true})
        for (const char* to : {kV4, kV6}) {
            SCOPED_TRACE(std::string(to) + (beside ? " beside another host" : " alone"));
            const IpAddress target = KernelHub::address(to);
            if (beside)
                hub_->startRun(kBesideRun, besideHost());
            ForgedFlood flood(*ns_, target, 60000);
            RunSettings host = KernelHub::host(to);
            host.intervalMs = 100;
            std::size_t forged = 0;
            const std::vector<ProbeEvent> probes = hub_->probe(host, 5, [&](const ProbeEvent&) {
                NetNamespace::Entered inside(*ns_);
                forged += sendForgedReplies(target, 2000);
            });
            if (beside)
                hub_->stopRun(kBesideRun);
            ASSERT_EQ(probes.size(), 5u);
            for (const ProbeEvent& p : probes)
                expectGoodReply(p, to, 32);
            EXPECT_EQ(probes.back().stats.lost, 0u);
            EXPECT_EQ(forged, 10000u);
            EXPECT_GT(flood.packets(), 0u);
        }
}

} // namespace

INSTANTIATE_TEST_SUITE_P(BothSocketKinds, HubOnTheKernel, testing::Values(Kind::Datagram, Kind::Raw), kindName);
