#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/KernelHub.h"
#include "support/NetChain.h"
#include "support/NetNamespace.h"
#include "types/IpStatus.h"

// The hub on the kernel's sockets where the path matters: a router before a narrow link, a chosen source among
// two links, the root namespace and a namespace that admits no socket.

using namespace std::chrono_literals;

namespace {

using Kind = IcmpSocket::Kind;
using Preference = IcmpSocket::Preference;

constexpr std::uint32_t status(std::int32_t code) {
    return static_cast<std::uint32_t>(code);
}

std::string kindName(const testing::TestParamInfo<Kind>& info) {
    return info.param == Kind::Raw ? "Raw" : "Datagram";
}

Preference pinned(Kind kind) {
    return kind == Kind::Raw ? Preference::RawOnly : Preference::DatagramOnly;
}

RunSettings host(const std::string& to, std::uint16_t size = 32, const std::string& source = {}) {
    RunSettings run = KernelHub::host(to);
    run.payloadSize = size;
    run.source = source;
    return run;
}

// The rule sees only IPv6.
std::string ip6InputRule(const std::string& rule) {
    return "table ip6 ostrevo_test {\n    chain input {\n        type filter hook input priority 0;\n        " + rule +
           "\n    }\n}\n";
}

// Drops CAP_NET_RAW from the calling thread's effective set (capabilities are per thread, and a thread it makes
// starts with them).
bool dropNetRawOnThisThread() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    data[0].effective &= ~(1U << CAP_NET_RAW);
    return syscall(SYS_capset, &header, data) == 0;
}

TEST(HubInTheRootNamespace, TheRawSocketAnswers) {
    if (geteuid() != 0)
        GTEST_SKIP() << "raw ICMP sockets need root";
    KernelHub hub(Preference::RawOnly, nullptr);
    ASSERT_TRUE(hub.ok());
    for (std::uint16_t size : {32, 0}) {
        const ProbeEvent p = hub.probeOnce(host(KernelHub::kLoopback, size));
        ASSERT_TRUE(p.good()) << testing::PrintToString(p);
        EXPECT_EQ(p.replier, KernelHub::kLoopback);
        EXPECT_EQ(p.bytes, size);
        EXPECT_EQ(p.ttl, std::optional<std::uint8_t>(64));
    }
    // One socket per run: each closes with its last host.
    EXPECT_EQ(hub.openedKinds(), (std::vector<Kind>{Kind::Raw, Kind::Raw}));
}

TEST(HubInANamespaceWithoutPingSockets, FallsBackToRawAndWithoutCapNetRawNamesBothFixes) {
    NetNamespace ns("refuse");
    if (!ns.ok())
        GTEST_SKIP() << ns.error();
    ASSERT_TRUE(ns.sysctl("net.ipv4.ping_group_range", "1 0"));
    // On a thread of its own, whose capabilities the hubs it makes inherit and which takes them to its grave.
    std::thread([&] {
        {
            KernelHub automatic(Preference::Auto, &ns);
            ASSERT_TRUE(automatic.ok());
            const ProbeEvent p = automatic.probeOnce(KernelHub::host(KernelHub::kLoopback));
            EXPECT_TRUE(p.good()) << "root falls back to a raw socket: " << testing::PrintToString(p);
            EXPECT_EQ(automatic.openedKinds(), std::vector<Kind>{Kind::Raw});
        }
        ASSERT_TRUE(dropNetRawOnThisThread());
        KernelHub refused(Preference::Auto, &ns);
        ASSERT_TRUE(refused.ok());
        testing::internal::CaptureStderr();
        const std::optional<RunEnd> end = refused.startAndSeeEnd(KernelHub::host(KernelHub::kLoopback), 10s);
        const std::string message = testing::internal::GetCapturedStderr();
        EXPECT_EQ(end, std::optional<RunEnd>(RunEnd::ChannelFailed));
        EXPECT_EQ(refused.openedKinds(), std::vector<Kind>{Kind::None});
        EXPECT_NE(message.find("sysctl -w net.ipv4.ping_group_range=\"0 2147483647\""), std::string::npos) << message;
        EXPECT_NE(message.find("setcap cap_net_raw+ep"), std::string::npos) << message;
    }).join();
}

// Through a router (client - router - server), the hub's thread in the client.
class HubOverARouter : public testing::TestWithParam<Kind> {};

TEST_P(HubOverARouter, LargeEchoesCrossANarrowLinkInFragments) {
    if (const std::string reason = NetNamespace::unavailableReason(); !reason.empty())
        GTEST_SKIP() << reason;
    NetChain chain("hubfrag");
    ASSERT_TRUE(chain.ok()) << chain.error();
    ASSERT_TRUE(chain.client().allowPingSockets());
    KernelHub hub(pinned(GetParam()), &chain.client());
    ASSERT_TRUE(hub.ok());

    // IPv6 routers never fragment: the first request meets Packet Too Big (or its loss), and from then on the
    // sending kernel must fragment to the path MTU it has learned rather than refuse.
    ASSERT_TRUE(chain.setFarLinkMtu(1280));
    int answered = 0;
    for (const ProbeEvent& p : hub.probe(host(NetChain::kServerV6, 1400), 4)) {
        if (p.good()) {
            EXPECT_EQ(p.bytes, 1400u);
            EXPECT_EQ(p.replier, NetChain::kServerV6);
            ++answered;
        } else {
            EXPECT_EQ(answered, 0) << "a refusal after the path MTU was known: " << testing::PrintToString(p);
        }
    }
    EXPECT_GE(answered, 3);

    // Too narrow for IPv6 from here on. The client never learns the IPv4 path MTU: each request on its own must
    // be one the router may fragment, as it is when the learned MTU has expired by the next probe.
    ASSERT_TRUE(chain.setFarLinkMtu(576));
    std::string output;
    ASSERT_TRUE(chain.client().nft(NetNamespace::inputRule("icmp type destination-unreachable drop"), &output))
        << output;
    const std::vector<ProbeEvent> probes = hub.probe(host(NetChain::kServer, 1000), 3);
    ASSERT_EQ(probes.size(), 3u);
    for (const ProbeEvent& p : probes) {
        ASSERT_TRUE(p.good()) << testing::PrintToString(p);
        EXPECT_EQ(p.replier, NetChain::kServer);
        EXPECT_EQ(p.bytes, 1000u);
        EXPECT_EQ(p.ttl, std::optional<std::uint8_t>(63)) << "one router on the way back";
    }
    // The bed is that narrow: ping gets through without Don't Fragment only.
    EXPECT_NE(chain.client().run(std::string("ping -n -M do -c 1 -W 1 -s 1000 ") + NetChain::kServer, &output), 0)
        << output;
    EXPECT_EQ(chain.client().run(std::string("ping -n -M dont -c 1 -W 2 -s 1000 ") + NetChain::kServer, &output), 0)
        << output;
    for (Kind kind : hub.openedKinds())
        EXPECT_EQ(kind, GetParam());
}

INSTANTIATE_TEST_SUITE_P(BothSocketKinds, HubOverARouter, testing::Values(Kind::Datagram, Kind::Raw), kindName);

// Sending from a chosen interface or address: a client namespace joined to a peer by two veth pairs, the hub's
// thread in the client. The peer's 198.18.9.9 is reachable over both links, the first preferred.
//
//     client a0 198.18.1.1 --- 198.18.1.2 p0  peer (198.18.9.9 on lo)
//               2001:2:0:1::1    2001:2:0:1::2
//            a1 198.18.2.1 --- 198.18.2.2 p1
//               2001:2:0:2::1    2001:2:0:2::2
class HubFromASource : public testing::TestWithParam<Kind> {
protected:
    static constexpr const char* kPeerFar = "198.18.9.9";

    void SetUp() override {
        if (const std::string reason = NetNamespace::unavailableReason(); !reason.empty())
            GTEST_SKIP() << reason;
        client_ = std::make_unique<NetNamespace>("hsrc-c");
        peer_ = std::make_unique<NetNamespace>("hsrc-p");
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
        ASSERT_TRUE(client_->allowPingSockets());
        hub_ = std::make_unique<KernelHub>(pinned(GetParam()), client_.get());
        ASSERT_TRUE(hub_->ok());
    }

    void TearDown() override {
        if (hub_) {
            for (Kind kind : hub_->openedKinds())
                if (kind != Kind::None) {
                    EXPECT_EQ(kind, GetParam());
                }
        }
        hub_.reset();
        client_.reset();
        peer_.reset();
    }

    std::unique_ptr<NetNamespace> client_;
    std::unique_ptr<NetNamespace> peer_;
    std::unique_ptr<KernelHub> hub_;
    std::string output_;
};

// Two hosts at the same target at once, one sending where the kernel chooses and one from the source given: the
// peer answers only what comes from that source, so one host is always lost and the other always answered.
TEST_P(HubFromASource, AnInterfaceNameOrAnotherLinksAddressIsWhereTheRequestsLeaveFrom) {
    const struct {
        std::string peerRules;
        const char* target;
        const char* source;
    } rows[] = {
        // The peer's far address is reached over the first link by the kernel's choice.
        {NetNamespace::inputRule("iifname \"p0\" icmp type echo-request drop"), kPeerFar, "a1"},
        // A target on the first link, from the address of the second.
        {NetNamespace::inputRule("ip saddr != 198.18.2.1 icmp type echo-request drop"), "198.18.1.2", "198.18.2.1"},
        {ip6InputRule("ip6 saddr != 2001:2:0:2::1 icmpv6 type echo-request drop"), "2001:2:0:1::2", "2001:2:0:2::1"},
    };
    RunId run = 10;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.source);
        ASSERT_TRUE(peer_->flushNft());
        ASSERT_TRUE(peer_->nft(row.peerRules, &output_)) << output_;
        const RunId chosenByTheKernel = ++run;
        const RunId fromTheSource = ++run;
        RunSettings plain = host(row.target);
        plain.timeoutMs = 300;
        plain.intervalMs = 20;
        RunSettings sourced = host(row.target, 32, row.source);
        sourced.intervalMs = 20;
        hub_->startRun(chosenByTheKernel, plain);
        hub_->startRun(fromTheSource, sourced);
        ASSERT_TRUE(hub_->waitForProbes(chosenByTheKernel, 3));
        ASSERT_TRUE(hub_->waitForProbes(fromTheSource, 3));
        hub_->stopRun(chosenByTheKernel);
        hub_->stopRun(fromTheSource);
        for (const ProbeEvent& p : hub_->probesOf(chosenByTheKernel))
            EXPECT_EQ(p.status, status(IpStatus::RequestTimedOut))
                << "the kernel's choice is the first link and its address: " << testing::PrintToString(p);
        for (const ProbeEvent& p : hub_->probesOf(fromTheSource)) {
            EXPECT_TRUE(p.good()) << testing::PrintToString(p);
            EXPECT_EQ(p.replier, row.target);
            EXPECT_EQ(p.bytes, 32u);
        }
    }
}

// A host whose source cannot be had fails its own start with the reason; a host beside it, sending from a good
// source, probes on undisturbed.
TEST_P(HubFromASource, ASourceThatCannotBeUsedFailsTheStartAndSaysWhy) {
    constexpr RunId kBeside = 1;
    RunSettings beside = host("198.18.2.2", 32, "a1");
    beside.intervalMs = 50;
    hub_->startRun(kBeside, beside);
    ASSERT_TRUE(hub_->waitForProbes(kBeside, 1));
    const struct {
        const char* target;
        const char* source;
        const char* message;
    } rows[] = {
        {"198.18.1.2", "nosuch0", "Cannot send from interface \"nosuch0\": No such device"},
        {"198.18.1.2", "an-interface-name-too-long", "Cannot send from interface"},
        {"198.18.1.2", "198.18.7.7", "Cannot send from address 198.18.7.7: Cannot assign requested address"},
        {"2001:2:0:1::2", "198.18.2.1", "Cannot send from address 198.18.2.1: not an IPv6 address"},
        {"198.18.1.2", "::1", "Cannot send from address ::1: not an IPv4 address"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.source);
        testing::internal::CaptureStderr();
        const std::optional<RunEnd> end = hub_->startAndSeeEnd(host(row.target, 32, row.source), 10s);
        const std::string message = testing::internal::GetCapturedStderr();
        EXPECT_EQ(end, std::optional<RunEnd>(RunEnd::ChannelFailed));
        EXPECT_NE(message.find(row.message), std::string::npos) << message;
        EXPECT_EQ(message.find("Cannot open an ICMP socket"), std::string::npos) << "the socket itself opened";
    }
    const std::size_t before = hub_->probesOf(kBeside).size();
    ASSERT_TRUE(hub_->waitForProbes(kBeside, before + 3));
    hub_->stopRun(kBeside);
    for (const ProbeEvent& p : hub_->probesOf(kBeside)) {
        EXPECT_TRUE(p.good()) << testing::PrintToString(p);
        EXPECT_EQ(p.replier, "198.18.2.2");
    }
}

INSTANTIATE_TEST_SUITE_P(BothSocketKinds, HubFromASource, testing::Values(Kind::Datagram, Kind::Raw), kindName);

} // namespace
