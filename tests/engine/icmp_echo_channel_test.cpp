#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "engine/IcmpEchoChannel.h"
#include "engine/IcmpPacket.h"
#include "support/ChildProcess.h"
#include "support/EchoResponder.h"
#include "support/NetChain.h"
#include "support/NetNamespace.h"
#include "text/IcmpStatusText.h"

using namespace std::chrono_literals;
using Kind = IcmpEchoChannel::SocketKind;

namespace {

const std::uint32_t kLoopback = inet_addr("127.0.0.1");

// One request's result, with the data a good reply echoed.
struct Probe {
    EchoResult result;
    std::vector<std::uint8_t> echoed;
};

Probe send(IcmpEchoChannel& channel, const IpAddress& destination, std::size_t size, std::uint32_t timeoutMs = 2000) {
    const std::vector<std::uint8_t> payload(size, 0x20);
    Probe p;
    p.result = channel.sendEcho({destination, payload, 255, timeoutMs});
    const std::span<const std::uint8_t> echoed = channel.echoedData();
    p.echoed.assign(echoed.begin(), echoed.end());
    return p;
}

Probe probe(IcmpEchoChannel& channel, std::uint16_t size = 32, std::uint32_t timeoutMs = 2000) {
    return send(channel, IpAddress::v4(kLoopback), size, timeoutMs);
}

std::string describe(const Probe& p) {
    return testing::PrintToString(p.result) + " (" + icmpStatusText(p.result.status) + ")";
}

void expectGoodReply(const Probe& p, std::uint16_t dataSize, std::uint8_t ttl) {
    ASSERT_TRUE(p.result.answered) << describe(p);
    EXPECT_EQ(p.result.status, 0) << describe(p);
    EXPECT_EQ(p.result.source, IpAddress::v4(kLoopback));
    EXPECT_EQ(p.result.dataSize, dataSize);
    EXPECT_EQ(p.echoed.size(), dataSize) << "all the echoed data is there";
    EXPECT_EQ(p.result.ttl, ttl);
    EXPECT_TRUE(p.result.rttUs.has_value()) << "a good reply is timed in microseconds";
    for (std::size_t i = 0; i < std::min<std::size_t>(dataSize, 32); ++i)
        ASSERT_EQ(p.echoed[i], 0x20) << "echoed byte " << i;
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
    socklen_t length = 0;
    if (v6) {
        sockaddr_in6 sin6{};
        sin6.sin6_family = AF_INET6;
        std::memcpy(&sin6.sin6_addr, to.bytes.data(), sizeof sin6.sin6_addr);
        std::memcpy(&target, &sin6, sizeof sin6);
        length = sizeof sin6;
    } else {
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = to.v4Value();
        std::memcpy(&target, &sin, sizeof sin);
        length = sizeof sin;
    }
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

// Floods `to` with forged replies on a thread of the calling thread's namespace until destroyed (at most
// `limit` packets, so a hung test cannot flood for ever).
class ForgedFlood {
public:
    ForgedFlood(const IpAddress& to, std::size_t limit) {
        const int netns = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        thread_ = std::thread([this, to, limit, netns] {
            if (netns >= 0 && setns(netns, CLONE_NEWNET) == 0)
                for (std::size_t sent = 0; sent < limit && !stop_.load(); sent += 500)
                    packets_ += sendForgedReplies(to, 500);
            if (netns >= 0)
                ::close(netns);
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

std::string kindName(const testing::TestParamInfo<Kind>& info) {
    return info.param == Kind::Raw ? "Raw" : "Datagram";
}

// Drops CAP_NET_RAW from the calling thread's effective set (capabilities are per thread).
bool dropNetRawOnThisThread() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    data[0].effective &= ~(1U << CAP_NET_RAW);
    return syscall(SYS_capset, &header, data) == 0;
}

} // namespace

TEST(IcmpEchoChannelHost, RawSocketAnswersFromTheRootNamespace) {
    if (geteuid() != 0)
        GTEST_SKIP() << "raw ICMP sockets need root";
    IcmpEchoChannel channel(IcmpEchoChannel::Preference::RawOnly);
    ASSERT_TRUE(channel.open());
    EXPECT_EQ(channel.kind(), Kind::Raw);
    for (std::uint16_t size : {32, 0})
        expectGoodReply(probe(channel, size), size, 64);
}

TEST(IcmpEchoChannelHost, OpenNamesTheFixWhenNoSocketIsAllowed) {
    NetNamespace ns("refuse");
    if (!ns.ok())
        GTEST_SKIP() << ns.error();
    ASSERT_TRUE(ns.sysctl("net.ipv4.ping_group_range", "1 0"));
    std::thread([&] {
        NetNamespace::Entered inside(ns);
        ASSERT_TRUE(inside.ok());
        IcmpEchoChannel automatic;
        ASSERT_TRUE(automatic.open()) << "root falls back to a raw socket";
        EXPECT_EQ(automatic.kind(), Kind::Raw);

        ASSERT_TRUE(dropNetRawOnThisThread());
        testing::internal::CaptureStderr();
        IcmpEchoChannel refused;
        const bool opened = refused.open();
        const std::string message = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(opened);
        EXPECT_EQ(refused.kind(), Kind::None);
        EXPECT_NE(message.find("sysctl -w net.ipv4.ping_group_range=\"0 2147483647\""), std::string::npos) << message;
        EXPECT_NE(message.find("setcap cap_net_raw+ep"), std::string::npos) << message;
        Probe p = probe(refused);
        EXPECT_FALSE(p.result.answered);
        EXPECT_EQ(p.result.status, IpStatus::GeneralFailure);
    }).join();
}

// Each test gets its own namespace; the test thread lives in it, so 127.0.0.1 is the namespace's loopback.
class IcmpEchoChannelInNamespace : public testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        ns_ = std::make_unique<NetNamespace>("icmp");
        if (!ns_->ok())
            GTEST_SKIP() << ns_->error();
        if (GetParam() == Kind::Datagram) {
            ASSERT_TRUE(ns_->allowPingSockets());
        }
        inside_ = std::make_unique<NetNamespace::Entered>(*ns_);
        ASSERT_TRUE(inside_->ok());
        channel_ = std::make_unique<IcmpEchoChannel>(GetParam() == Kind::Raw ? IcmpEchoChannel::Preference::RawOnly
                                                                             : IcmpEchoChannel::Preference::Auto);
        ASSERT_TRUE(channel_->open());
        ASSERT_EQ(channel_->kind(), GetParam());
    }

    void TearDown() override {
        channel_.reset();
        inside_.reset();
        ns_.reset();
    }

    std::unique_ptr<EchoResponder> respond(EchoResponder::Options options) {
        auto responder = std::make_unique<EchoResponder>(ns_->name(), options);
        EXPECT_TRUE(responder->ok()) << responder->error();
        return responder;
    }

    std::unique_ptr<NetNamespace> ns_;
    std::unique_ptr<NetNamespace::Entered> inside_;
    std::unique_ptr<IcmpEchoChannel> channel_;
};

TEST_P(IcmpEchoChannelInNamespace, KernelRepliesAreGoodReplies) {
    for (std::uint16_t size : {32, 0, 1472})
        expectGoodReply(probe(*channel_, size), size, 64);
}

TEST_P(IcmpEchoChannelInNamespace, LargestEchoFitsAndOneByteMoreIsTooBig) {
    expectGoodReply(probe(*channel_, 65507), 65507, 64);
    for (std::uint16_t size : {65508, 65535}) {
        Probe p = probe(*channel_, size);
        EXPECT_FALSE(p.result.answered) << describe(p);
        EXPECT_EQ(p.result.status, IpStatus::PacketTooBig) << describe(p);
    }
    expectGoodReply(probe(*channel_), 32, 64);
}

TEST_P(IcmpEchoChannelInNamespace, ReopensAfterClose) {
    channel_->close();
    Probe closed = probe(*channel_);
    EXPECT_FALSE(closed.result.answered);
    EXPECT_EQ(closed.result.status, IpStatus::GeneralFailure);
    EXPECT_EQ(closed.result, EchoResult{});
    ASSERT_TRUE(channel_->open());
    expectGoodReply(probe(*channel_), 32, 64);
}

TEST_P(IcmpEchoChannelInNamespace, DroppedRequestTimesOut) {
    std::string complaint;
    ASSERT_TRUE(ns_->nft(NetNamespace::inputRule("icmp type echo-request drop"), &complaint)) << complaint;
    const auto started = std::chrono::steady_clock::now();
    Probe p = probe(*channel_, 32, 500);
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_FALSE(p.result.answered);
    EXPECT_EQ(p.result.status, IpStatus::RequestTimedOut);
    EXPECT_EQ(icmpStatusText(p.result.status), "Request Timed Out");
    EXPECT_EQ(p.result.rttMs, 0u) << describe(p);
    EXPECT_EQ(p.result.rttUs, std::nullopt) << "nothing of an earlier success lingers";
    EXPECT_GE(waited, 490ms);
    EXPECT_LT(waited, 1500ms);

    ASSERT_TRUE(ns_->flushNft());
    expectGoodReply(probe(*channel_), 32, 64);
}

TEST_P(IcmpEchoChannelInNamespace, RejectedRequestGivesAnErrorReplyFromTheRejectingHost) {
    const struct {
        const char* reject;
        std::int32_t status;
    } rows[] = {
        {"host-unreachable", IpStatus::DestHostUnreachable},     {"net-unreachable", IpStatus::DestNetUnreachable},
        {"prot-unreachable", IpStatus::DestProtocolUnreachable}, {"port-unreachable", IpStatus::DestPortUnreachable},
        {"admin-prohibited", IpStatus::DestHostUnreachable},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reject);
        ASSERT_TRUE(ns_->flushNft());
        std::string complaint;
        ASSERT_TRUE(
            ns_->nft(NetNamespace::inputRule(std::string("icmp type echo-request reject with icmp type ") + row.reject),
                     &complaint))
            << complaint;
        Probe p = probe(*channel_);
        ASSERT_TRUE(p.result.answered) << describe(p);
        EXPECT_EQ(p.result.status, row.status) << describe(p);
        EXPECT_EQ(p.result.source, IpAddress::v4(kLoopback));
        EXPECT_EQ(p.result.dataSize, 0u);
        std::this_thread::sleep_for(1100ms); // the kernel rate-limits the errors it makes
    }
    ASSERT_TRUE(ns_->flushNft());
    expectGoodReply(probe(*channel_), 32, 64);
}

TEST_P(IcmpEchoChannelInNamespace, LocalSendFailuresTellNoRouteFromAnUnreachableHost) {
    // 127.0.0.9 loses its route; 127.0.0.1 keeps its own.
    std::string output;
    ASSERT_EQ(ns_->run("ip route del table local local 127.0.0.0/8 dev lo", &output), 0) << output;
    const struct {
        const char* route; // added before the probe
        const char* text;
    } rows[] = {
        {nullptr, "Destination Net Unreachable"},
        {"ip route add unreachable 127.0.0.9/32", "Destination Host Unreachable"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        if (row.route != nullptr) {
            ASSERT_EQ(ns_->run(row.route, &output), 0) << output;
        }
        Probe p = send(*channel_, IpAddress::v4(inet_addr("127.0.0.9")), 32);
        EXPECT_FALSE(p.result.answered) << describe(p);
        EXPECT_EQ(icmpStatusText(p.result.status), row.text) << describe(p);
    }
    expectGoodReply(probe(*channel_), 32, 64);
}

TEST_P(IcmpEchoChannelInNamespace, RepliesLargerThanTheAreaKeepTheirFullSize) {
    for (std::size_t size : {std::size_t{1000}, std::size_t{60000}}) {
        SCOPED_TRACE(size);
        auto responder = respond({0ms, size, false});
        Probe p = probe(*channel_);
        expectGoodReply(p, static_cast<std::uint16_t>(size), 64);
        for (std::size_t i = 32; i < p.echoed.size(); ++i)
            ASSERT_EQ(p.echoed[i], static_cast<std::uint8_t>(i)) << "echoed byte " << i;
        EXPECT_EQ(responder->lastRequestTtl(), 255);
    }
}

TEST_P(IcmpEchoChannelInNamespace, ChangedDataIsAGoodReplyThatSaysWhereItDiffers) {
    const Probe kernel = probe(*channel_);
    EXPECT_EQ(kernel.result.status, 0);
    EXPECT_EQ(kernel.result.wrongData, std::nullopt) << "the kernel echoes what it got";
    auto responder = respond({0ms, std::nullopt, false});
    responder->setChangedByte(5);
    const Probe p = probe(*channel_);
    ASSERT_TRUE(p.result.answered) << describe(p);
    EXPECT_EQ(p.result.status, 0);
    ASSERT_GT(p.echoed.size(), 5u);
    EXPECT_EQ(p.echoed[5], 0x41);
    EXPECT_EQ(p.result.wrongData, (WrongData{5, 0x20, 0x41, 0, true}));
    responder.reset();
    const Probe after = probe(*channel_);
    EXPECT_EQ(after.result.status, 0);
    EXPECT_EQ(after.result.wrongData, std::nullopt) << "told of the last reply only";
}

TEST_P(IcmpEchoChannelInNamespace, LateReplyIsNotTakenForTheNextRequest) {
    auto responder = respond({1500ms, std::nullopt, false});
    Probe first = probe(*channel_, 32, 1000);
    EXPECT_FALSE(first.result.answered) << describe(first);
    EXPECT_EQ(first.result.status, IpStatus::RequestTimedOut);
    EXPECT_FALSE(first.result.rttUs.has_value()) << "a timeout has no round trip";

    // The first reply arrives 500 ms into the second request, which is answered only at 600 ms.
    responder->setDelay(600ms);
    Probe second = probe(*channel_, 32, 2000);
    expectGoodReply(second, 32, 64);
    EXPECT_GE(second.result.rttMs, 600u);
    ASSERT_TRUE(second.result.rttUs.has_value());
    EXPECT_EQ(*second.result.rttUs / 1000, second.result.rttMs) << "the same clock readings";
    EXPECT_GE(responder->answered(), 2u);
}

TEST_P(IcmpEchoChannelInNamespace, AnotherPingDoesNotDisturbTheReplies) {
    ChildProcess ping([&] {
        auto argv = ns_->execPrefix();
        argv.insert(argv.end(), {"ping", "-q", "-i", "0.01", "127.0.0.1"});
        return argv;
    }());
    ASSERT_TRUE(ping.started());
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(ping.running());
    for (int i = 0; i < 30; ++i) {
        SCOPED_TRACE(i);
        expectGoodReply(probe(*channel_), 32, 64); // ping's replies carry 56 bytes
        std::this_thread::sleep_for(10ms);
    }
}

TEST_P(IcmpEchoChannelInNamespace, AFloodOfForgedRepliesCostsNoProbe) {
    ForgedFlood flood(IpAddress::v4(kLoopback), 60000);
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        // An unread buffer filled up to the brim first: only what the kernel lets in can crowd the reply out.
        ASSERT_EQ(sendForgedReplies(IpAddress::v4(kLoopback), 2000), 2000u);
        expectGoodReply(probe(*channel_), 32, 64);
    }
    EXPECT_GT(flood.packets(), 0u);
}

INSTANTIATE_TEST_SUITE_P(BothSocketKinds, IcmpEchoChannelInNamespace, testing::Values(Kind::Raw, Kind::Datagram),
                         kindName);

namespace {

const IpAddress kLoopbackV6 = *IpAddress::parseV6("::1");

Probe probeV6(IcmpEchoChannel& channel, std::uint16_t size = 32, std::uint32_t timeoutMs = 2000) {
    return send(channel, kLoopbackV6, size, timeoutMs);
}

void expectGoodReplyV6(const Probe& p, std::uint16_t dataSize) {
    ASSERT_TRUE(p.result.answered) << describe(p);
    EXPECT_EQ(p.result.status, 0) << describe(p);
    EXPECT_EQ(p.result.source, kLoopbackV6);
    EXPECT_EQ(p.result.dataSize, dataSize);
    EXPECT_EQ(p.echoed.size(), dataSize);
    EXPECT_EQ(p.result.ttl, 64) << "the reply's hop limit";
    for (std::size_t i = 0; i < std::min<std::size_t>(dataSize, 32); ++i)
        ASSERT_EQ(p.echoed[i], 0x20) << "echoed byte " << i;
}

// The tables are ip6 ones: the rule sees only IPv6.
std::string ip6InputRule(const std::string& rule) {
    return "table ip6 ostrevo_test {\n    chain input {\n        type filter hook input priority 0;\n        " + rule +
           "\n    }\n}\n";
}

} // namespace

// The same as above on ::1: each test in a namespace of its own, the test thread inside it.
class IcmpEchoChannelV6InNamespace : public testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        ns_ = std::make_unique<NetNamespace>("icmp6");
        if (!ns_->ok())
            GTEST_SKIP() << ns_->error();
        if (GetParam() == Kind::Datagram) {
            ASSERT_TRUE(ns_->allowPingSockets()) << "the IPv4 range governs ICMPv6 ping sockets too";
        }
        // Errors on loopback are not rate-limited for IPv6, but a kernel that did would fail the reject rows.
        ASSERT_TRUE(ns_->sysctl("net.ipv6.icmp.ratelimit", "0"));
        inside_ = std::make_unique<NetNamespace::Entered>(*ns_);
        ASSERT_TRUE(inside_->ok());
        channel_ = std::make_unique<IcmpEchoChannel>(GetParam() == Kind::Raw ? IcmpEchoChannel::Preference::RawOnly
                                                                             : IcmpEchoChannel::Preference::Auto);
        ASSERT_TRUE(channel_->open(IpAddress::Family::V6));
        ASSERT_EQ(channel_->kind(), GetParam());
    }

    void TearDown() override {
        channel_.reset();
        inside_.reset();
        ns_.reset();
    }

    std::unique_ptr<NetNamespace> ns_;
    std::unique_ptr<NetNamespace::Entered> inside_;
    std::unique_ptr<IcmpEchoChannel> channel_;
};

TEST_P(IcmpEchoChannelV6InNamespace, KernelRepliesAreGoodRepliesUpToTheIpv4Limit) {
    for (std::uint16_t size : {32, 0, 65507})
        expectGoodReplyV6(probeV6(*channel_, size), size);
    // IPv6 could carry 20 bytes more; the Buffer limit is one for both families.
    Probe tooBig = probeV6(*channel_, 65508);
    EXPECT_FALSE(tooBig.result.answered) << describe(tooBig);
    EXPECT_EQ(tooBig.result.status, IpStatus::PacketTooBig);
}

TEST_P(IcmpEchoChannelV6InNamespace, OneHandleServesOneFamilyAndReopensForTheOther) {
    Probe mismatch = probe(*channel_); // 127.0.0.1 on the ICMPv6 handle
    EXPECT_FALSE(mismatch.result.answered);
    EXPECT_EQ(mismatch.result.status, IpStatus::GeneralFailure);

    ASSERT_TRUE(channel_->open(IpAddress::Family::V4));
    EXPECT_EQ(channel_->family(), IpAddress::Family::V4);
    const Probe v4 = probe(*channel_);
    expectGoodReply(v4, 32, 64);
    EXPECT_EQ(v4.result.source, IpAddress::v4(kLoopback));

    ASSERT_TRUE(channel_->open(IpAddress::Family::V6));
    expectGoodReplyV6(probeV6(*channel_), 32);
}

TEST_P(IcmpEchoChannelV6InNamespace, DroppedRequestTimesOut) {
    std::string complaint;
    ASSERT_TRUE(ns_->nft(ip6InputRule("icmpv6 type echo-request drop"), &complaint)) << complaint;
    Probe p = probeV6(*channel_, 32, 300);
    EXPECT_FALSE(p.result.answered) << describe(p);
    EXPECT_EQ(p.result.status, IpStatus::RequestTimedOut);
    EXPECT_EQ(p.result.source, IpAddress{}) << "a timeout has no replier";
    ASSERT_TRUE(ns_->flushNft());
    expectGoodReplyV6(probeV6(*channel_), 32);
}

TEST_P(IcmpEchoChannelV6InNamespace, RejectedRequestGivesTheMappedErrorFromTheRejectingHost) {
    const struct {
        const char* reject;
        const char* text;
    } rows[] = {
        {"no-route", "Destination Net Unreachable"},
        {"admin-prohibited", "Destination Host Unreachable"},
        {"addr-unreachable", "Destination Host Unreachable"},
        {"port-unreachable", "Destination Port Unreachable"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reject);
        ASSERT_TRUE(ns_->flushNft());
        std::string complaint;
        ASSERT_TRUE(ns_->nft(
            ip6InputRule(std::string("icmpv6 type echo-request reject with icmpv6 type ") + row.reject), &complaint))
            << complaint;
        for (int i = 0; i < 2; ++i) { // a second one: the first error must not linger in the socket
            Probe p = probeV6(*channel_);
            ASSERT_TRUE(p.result.answered) << describe(p);
            EXPECT_EQ(icmpStatusText(p.result.status), row.text) << describe(p);
            EXPECT_EQ(p.result.source, kLoopbackV6);
            EXPECT_EQ(p.result.dataSize, 0u);
        }
    }
    ASSERT_TRUE(ns_->flushNft());
    expectGoodReplyV6(probeV6(*channel_), 32);
}

TEST_P(IcmpEchoChannelV6InNamespace, BrokenRepliesAreNotTakenForTheAnswer) {
    EchoResponder responder(ns_->name(), {150ms, std::nullopt, false}, IpAddress::Family::V6);
    ASSERT_TRUE(responder.ok()) << responder.error();
    for (auto fault :
         {EchoResponder::Fault::WrongId, EchoResponder::Fault::WrongSequence, EchoResponder::Fault::Truncated}) {
        SCOPED_TRACE(static_cast<int>(fault));
        responder.setFault(fault);
        Probe p = probeV6(*channel_);
        expectGoodReplyV6(p, 32);
        EXPECT_GE(p.result.rttMs, 150u) << "the broken reply came at once; the true one 150 ms later";
    }
    EXPECT_EQ(responder.lastRequestTtl(), 255) << "requests go out with hop limit 255";
}

TEST_P(IcmpEchoChannelV6InNamespace, RepliesWithMoreOrLessDataKeepTheirSize) {
    for (std::size_t size : {std::size_t{10}, std::size_t{1000}}) {
        SCOPED_TRACE(size);
        EchoResponder responder(ns_->name(), {0ms, size, false}, IpAddress::Family::V6);
        ASSERT_TRUE(responder.ok()) << responder.error();
        Probe p = probeV6(*channel_);
        expectGoodReplyV6(p, static_cast<std::uint16_t>(size));
        for (std::size_t i = 32; i < p.echoed.size(); ++i)
            ASSERT_EQ(p.echoed[i], static_cast<std::uint8_t>(i)) << "echoed byte " << i;
        const auto difference = static_cast<std::int32_t>(size) - 32;
        EXPECT_EQ(p.result.wrongData,
                  (WrongData{static_cast<std::uint32_t>(std::min<std::size_t>(size, 32)), 0, 0, difference, false}));
    }
}

TEST_P(IcmpEchoChannelV6InNamespace, AFloodOfForgedRepliesCostsNoProbe) {
    ForgedFlood flood(kLoopbackV6, 60000);
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(sendForgedReplies(kLoopbackV6, 2000), 2000u);
        expectGoodReplyV6(probeV6(*channel_), 32);
    }
    EXPECT_GT(flood.packets(), 0u);
}

TEST_P(IcmpEchoChannelV6InNamespace, ChangedDataIsAGoodReplyThatSaysWhereItDiffers) {
    EchoResponder responder(ns_->name(), {0ms, std::nullopt, false}, IpAddress::Family::V6);
    ASSERT_TRUE(responder.ok()) << responder.error();
    responder.setChangedByte(31);
    const Probe p = probeV6(*channel_);
    ASSERT_TRUE(p.result.answered) << describe(p);
    EXPECT_EQ(p.result.status, 0);
    EXPECT_EQ(p.result.wrongData, (WrongData{31, 0x20, 0x41, 0, true}));
}

INSTANTIATE_TEST_SUITE_P(BothSocketKinds, IcmpEchoChannelV6InNamespace, testing::Values(Kind::Raw, Kind::Datagram),
                         kindName);

// Through a router (client - router - server in namespaces of their own), with the test thread in the client.
class IcmpEchoChannelOverARouter : public testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        if (const std::string reason = NetNamespace::unavailableReason(); !reason.empty())
            GTEST_SKIP() << reason;
        chain_ = std::make_unique<NetChain>("route");
        ASSERT_TRUE(chain_->ok()) << chain_->error();
        if (GetParam() == Kind::Datagram) {
            ASSERT_TRUE(chain_->client().allowPingSockets());
        }
        inside_ = std::make_unique<NetNamespace::Entered>(chain_->client());
        ASSERT_TRUE(inside_->ok());
        channel_ = std::make_unique<IcmpEchoChannel>(GetParam() == Kind::Raw ? IcmpEchoChannel::Preference::RawOnly
                                                                             : IcmpEchoChannel::Preference::Auto);
        ASSERT_TRUE(channel_->open());
        ASSERT_EQ(channel_->kind(), GetParam());
    }

    void TearDown() override {
        channel_.reset();
        inside_.reset();
        chain_.reset();
    }

    Probe probeServer(std::uint16_t size) { return send(*channel_, IpAddress::v4(inet_addr(NetChain::kServer)), size); }

    std::unique_ptr<NetChain> chain_;
    std::unique_ptr<NetNamespace::Entered> inside_;
    std::unique_ptr<IcmpEchoChannel> channel_;
};

TEST_P(IcmpEchoChannelOverARouter, LargeEchoesCrossANarrowLinkInFragments) {
    ASSERT_TRUE(chain_->setFarLinkMtu(576));
    // The client never learns the path MTU: each request on its own must be one the router may fragment,
    // as it is when the learned MTU has expired by the next probe.
    std::string output;
    ASSERT_TRUE(chain_->client().nft(NetNamespace::inputRule("icmp type destination-unreachable drop"), &output))
        << output;
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const Probe p = probeServer(1000);
        ASSERT_TRUE(p.result.answered) << describe(p);
        EXPECT_EQ(p.result.status, 0) << describe(p);
        EXPECT_EQ(p.result.source, IpAddress::v4(inet_addr(NetChain::kServer)));
        EXPECT_EQ(p.result.dataSize, 1000u);
        EXPECT_EQ(p.result.ttl, 63) << "one router on the way back";
    }
    // The bed is that narrow: ping gets through without Don't Fragment only.
    EXPECT_NE(chain_->client().run(std::string("ping -n -M do -c 1 -W 1 -s 1000 ") + NetChain::kServer, &output), 0)
        << output;
    EXPECT_EQ(chain_->client().run(std::string("ping -n -M dont -c 1 -W 2 -s 1000 ") + NetChain::kServer, &output), 0)
        << output;
}

TEST_P(IcmpEchoChannelOverARouter, LargeIpv6EchoesAreFragmentedByTheSender) {
    ASSERT_TRUE(chain_->setFarLinkMtu(1280));
    ASSERT_TRUE(channel_->open(IpAddress::Family::V6));
    const IpAddress server = *IpAddress::parseV6(NetChain::kServerV6);
    // IPv6 routers never fragment: the first request meets Packet Too Big (or its loss), and from then on the
    // sending kernel must fragment to the path MTU it has learned rather than refuse.
    int answered = 0;
    for (int i = 0; i < 4; ++i) {
        const Probe p = send(*channel_, server, 1400);
        if (p.result.good()) {
            EXPECT_EQ(p.result.dataSize, 1400u);
            EXPECT_EQ(p.result.source, server);
            ++answered;
        } else {
            EXPECT_EQ(answered, 0) << "a refusal after the path MTU was known: " << describe(p);
        }
    }
    EXPECT_GE(answered, 3);
}

INSTANTIATE_TEST_SUITE_P(BothSocketKinds, IcmpEchoChannelOverARouter, testing::Values(Kind::Raw, Kind::Datagram),
                         kindName);

// Sending from a chosen interface or address: a client namespace joined to a peer by two veth pairs, the test
// thread in the client. The peer's 198.18.9.9 is reachable over both links, the first preferred.
//
//     client a0 198.18.1.1 --- 198.18.1.2 p0  peer (198.18.9.9 on lo)
//               2001:2:0:1::1    2001:2:0:1::2
//            a1 198.18.2.1 --- 198.18.2.2 p1
//               2001:2:0:2::1    2001:2:0:2::2
class IcmpEchoChannelFromASource : public testing::TestWithParam<Kind> {
protected:
    static constexpr const char* kPeerFar = "198.18.9.9";

    void SetUp() override {
        if (const std::string reason = NetNamespace::unavailableReason(); !reason.empty())
            GTEST_SKIP() << reason;
        client_ = std::make_unique<NetNamespace>("src-c");
        peer_ = std::make_unique<NetNamespace>("src-p");
        ASSERT_TRUE(client_->ok()) << client_->error();
        ASSERT_TRUE(peer_->ok()) << peer_->error();
        // Replies to the second link's address come back over it, whichever link the request took.
        // Without duplicate address detection the IPv6 addresses serve at once.
        for (const NetNamespace* ns : {client_.get(), peer_.get()})
            for (const char* key : {"net.ipv4.conf.all.rp_filter", "net.ipv4.conf.default.rp_filter",
                                    "net.ipv6.conf.all.accept_dad", "net.ipv6.conf.default.accept_dad"})
                ASSERT_TRUE(ns->sysctl(key, "0")) << key;
        const std::string& c = client_->name();
        for (const std::string& command :
             {"ip link add p0 type veth peer name a0 netns " + c, "ip link add p1 type veth peer name a1 netns " + c,
              std::string("ip addr add 198.18.1.2/24 dev p0 && ip link set p0 up"),
              std::string("ip addr add 198.18.2.2/24 dev p1 && ip link set p1 up"),
              std::string("ip addr add 2001:2:0:1::2/64 dev p0 nodad && ip addr add 2001:2:0:2::2/64 dev p1 nodad"),
              std::string("ip addr add ") + kPeerFar + "/32 dev lo"})
            ASSERT_EQ(peer_->run(command, &output_), 0) << command << ": " << output_;
        for (const std::string& command :
             {std::string("ip addr add 198.18.1.1/24 dev a0 && ip link set a0 up"),
              std::string("ip addr add 198.18.2.1/24 dev a1 && ip link set a1 up"),
              std::string("ip addr add 2001:2:0:1::1/64 dev a0 nodad && ip addr add 2001:2:0:2::1/64 dev a1 nodad"),
              std::string("ip route add ") + kPeerFar + "/32 via 198.18.1.2 dev a0",
              std::string("ip route add ") + kPeerFar + "/32 via 198.18.2.2 dev a1 metric 100"})
            ASSERT_EQ(client_->run(command, &output_), 0) << command << ": " << output_;
        if (GetParam() == Kind::Datagram) {
            ASSERT_TRUE(client_->allowPingSockets());
        }
        inside_ = std::make_unique<NetNamespace::Entered>(*client_);
        ASSERT_TRUE(inside_->ok());
        channel_ = std::make_unique<IcmpEchoChannel>(GetParam() == Kind::Raw ? IcmpEchoChannel::Preference::RawOnly
                                                                             : IcmpEchoChannel::Preference::Auto);
    }

    void TearDown() override {
        channel_.reset();
        inside_.reset();
        client_.reset();
        peer_.reset();
    }

    // The peer answers only the requests `rule` lets through.
    void peerDrops(const std::string& rule) {
        ASSERT_TRUE(peer_->nft(NetNamespace::inputRule(rule + " icmp type echo-request drop"), &output_)) << output_;
    }

    void openFrom(const std::string& source, IpAddress::Family family = IpAddress::Family::V4) {
        ASSERT_TRUE(channel_->open(family, source)) << source;
        ASSERT_EQ(channel_->kind(), GetParam());
    }

    std::unique_ptr<NetNamespace> client_;
    std::unique_ptr<NetNamespace> peer_;
    std::unique_ptr<NetNamespace::Entered> inside_;
    std::unique_ptr<IcmpEchoChannel> channel_;
    std::string output_;
};

TEST_P(IcmpEchoChannelFromASource, AnInterfaceNameSendsOverThatInterface) {
    peerDrops("iifname \"p0\"");
    const IpAddress peer = IpAddress::v4(inet_addr(kPeerFar));
    openFrom("");
    const Probe preferred = send(*channel_, peer, 32, 300);
    EXPECT_EQ(preferred.result.status, IpStatus::RequestTimedOut) << "the kernel's choice is the first link";

    openFrom("a1");
    const Probe p = send(*channel_, peer, 32);
    ASSERT_TRUE(p.result.good()) << describe(p);
    EXPECT_EQ(p.result.source, peer);
    EXPECT_EQ(p.result.dataSize, 32u);
}

TEST_P(IcmpEchoChannelFromASource, AnAddressOfAnotherInterfaceIsTheRequestsSource) {
    const struct {
        IpAddress::Family family;
        std::string peerRules; // the peer answers only requests from the second link's address
        IpAddress target;      // on the first link
        const char* source;
    } rows[] = {
        {IpAddress::Family::V4, NetNamespace::inputRule("ip saddr != 198.18.2.1 icmp type echo-request drop"),
         IpAddress::v4(inet_addr("198.18.1.2")), "198.18.2.1"},
        {IpAddress::Family::V6, ip6InputRule("ip6 saddr != 2001:2:0:2::1 icmpv6 type echo-request drop"),
         *IpAddress::parseV6("2001:2:0:1::2"), "2001:2:0:2::1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.source);
        ASSERT_TRUE(peer_->flushNft());
        ASSERT_TRUE(peer_->nft(row.peerRules, &output_)) << output_;
        openFrom("", row.family);
        EXPECT_EQ(send(*channel_, row.target, 32, 300).result.status, IpStatus::RequestTimedOut)
            << "the kernel's choice is the address of the link the request takes";

        openFrom(row.source, row.family);
        const Probe p = send(*channel_, row.target, 32);
        ASSERT_TRUE(p.result.good()) << describe(p);
        EXPECT_EQ(p.result.source, row.target);
    }
}

TEST_P(IcmpEchoChannelFromASource, ASourceThatCannotBeUsedFailsTheOpenAndSaysWhy) {
    const struct {
        IpAddress::Family family;
        const char* source;
        const char* message;
    } rows[] = {
        {IpAddress::Family::V4, "nosuch0", "Cannot send from interface \"nosuch0\": No such device"},
        {IpAddress::Family::V4, "an-interface-name-too-long", "Cannot send from interface"},
        {IpAddress::Family::V4, "198.18.7.7", "Cannot send from address 198.18.7.7: Cannot assign requested address"},
        {IpAddress::Family::V6, "198.18.2.1", "Cannot send from address 198.18.2.1: not an IPv6 address"},
        {IpAddress::Family::V4, "::1", "Cannot send from address ::1: not an IPv4 address"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.source);
        openFrom("a1");
        testing::internal::CaptureStderr();
        const bool opened = channel_->open(row.family, row.source);
        const std::string message = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(opened);
        EXPECT_EQ(channel_->kind(), Kind::None);
        EXPECT_NE(message.find(row.message), std::string::npos) << message;
        EXPECT_EQ(message.find("Cannot open an ICMP socket"), std::string::npos) << "the socket itself opened";
        EXPECT_EQ(send(*channel_, IpAddress::v4(inet_addr("198.18.1.2")), 32).result.status, IpStatus::GeneralFailure)
            << "no handle is left over from before";
    }
}

INSTANTIATE_TEST_SUITE_P(BothSocketKinds, IcmpEchoChannelFromASource, testing::Values(Kind::Raw, Kind::Datagram),
                         kindName);
