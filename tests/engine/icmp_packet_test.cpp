#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/IcmpPacket.h"
#include "types/IpStatus.h"

using Bytes = std::vector<std::uint8_t>;
using IcmpPacket::EchoMatch;

namespace {

const std::uint32_t kTarget = inet_addr("127.0.0.1");
const std::uint32_t kRouter = inet_addr("127.0.0.9");
constexpr std::uint16_t kId = 0x4242;
constexpr std::uint16_t kSequence = 7;
const IcmpPacket::EchoRequestKey kKey{kTarget, kId, kSequence};

Bytes ipv4(std::uint32_t source, std::uint32_t destination, const Bytes& icmp, std::uint8_t ttl = 64) {
    Bytes packet{0x45, 0, 0, 0, 0, 0, 0, 0, ttl, 1, 0, 0};
    const auto total = static_cast<std::uint16_t>(20 + icmp.size());
    packet[2] = static_cast<std::uint8_t>(total >> 8);
    packet[3] = static_cast<std::uint8_t>(total);
    for (std::uint32_t address : {source, destination})
        packet.insert(packet.end(), reinterpret_cast<const std::uint8_t*>(&address),
                      reinterpret_cast<const std::uint8_t*>(&address) + 4);
    packet.insert(packet.end(), icmp.begin(), icmp.end());
    return packet;
}

Bytes echo(std::uint8_t type, std::uint16_t id, std::uint16_t sequence, std::size_t dataSize = 32) {
    const Bytes data(dataSize, 0x20);
    Bytes message;
    IcmpPacket::buildEchoRequest(message, id, sequence, data.data(), static_cast<std::uint16_t>(dataSize), false);
    message[0] = type;
    const std::uint16_t sum = IcmpPacket::checksum(message);
    message[2] = static_cast<std::uint8_t>(sum >> 8);
    message[3] = static_cast<std::uint8_t>(sum);
    return message;
}

// An ICMP error as a router sends it: its header, then the offending packet's IP header and first bytes.
Bytes icmpError(std::uint8_t type, std::uint8_t code, const Bytes& offending) {
    Bytes message{type, code, 0, 0, 0, 0, 0, 0};
    message.insert(message.end(), offending.begin(), offending.end());
    const std::uint16_t sum = IcmpPacket::checksum(message);
    message[2] = static_cast<std::uint8_t>(sum >> 8);
    message[3] = static_cast<std::uint8_t>(sum);
    return message;
}

Bytes ourRequest(std::uint16_t sequence = kSequence) {
    return ipv4(kTarget, kTarget, echo(IcmpPacket::kEchoRequest, kId, sequence), 255);
}

} // namespace

TEST(IcmpChecksum, MatchesKnownAnswers) {
    EXPECT_EQ(IcmpPacket::checksum(Bytes{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}), 0x220d);
    EXPECT_EQ(IcmpPacket::checksum(Bytes{0x00, 0x01, 0xf2}), 0x0dfe);
    EXPECT_EQ(IcmpPacket::checksum(Bytes{}), 0xffff);
    Bytes request;
    const Bytes data(33, 0x20);
    IcmpPacket::buildEchoRequest(request, 0xbeef, 0xfffe, data.data(), 33, true);
    EXPECT_EQ(request.size(), 41u);
    EXPECT_EQ(IcmpPacket::checksum(request), 0) << "a request must check out at its receiver";
}

// The checksum is summed in wide words; the plain RFC 1071 sum over big-endian 16-bit words is the reference,
// at every length (so every tail of the wide loop) and with sums that carry many times.
TEST(IcmpChecksum, AgreesWithTheBigEndianWordSumAtEveryLength) {
    const auto reference = [](const Bytes& bytes) {
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < bytes.size(); i += 2)
            sum += static_cast<std::uint32_t>(bytes[i] << 8 | (i + 1 < bytes.size() ? bytes[i + 1] : 0));
        while (sum >> 16)
            sum = (sum & 0xffff) + (sum >> 16);
        return static_cast<std::uint16_t>(~sum & 0xffff);
    };
    std::uint32_t state = 12345;
    for (const std::uint8_t fill : {0x00, 0xff, 0x20}) {
        Bytes bytes;
        for (std::size_t length = 0; length <= 300; ++length) {
            EXPECT_EQ(IcmpPacket::checksum(bytes), reference(bytes)) << "length " << length << " fill " << int{fill};
            state = state * 1103515245 + 12345; // a few bytes that are not the fill
            bytes.push_back(length % 7 == 0 ? static_cast<std::uint8_t>(state >> 16) : fill);
        }
    }
}

TEST(IcmpEchoData, TellsTheFirstDifferenceOrTheSizes) {
    const std::vector<std::uint8_t> sent{1, 2, 3, 4};
    const struct {
        const char* name;
        std::vector<std::uint8_t> echoed;
        std::optional<WrongData> expected;
    } cases[] = {
        {"same", {1, 2, 3, 4}, std::nullopt},
        {"first byte", {9, 2, 3, 4}, WrongData{0, 1, 9, 0, true}},
        {"last byte", {1, 2, 3, 0}, WrongData{3, 4, 0, 0, true}},
        {"short", {1, 2}, WrongData{2, 0, 0, -2, false}},
        {"long", {1, 2, 3, 4, 5}, WrongData{4, 0, 0, 1, false}},
        {"nothing echoed", {}, WrongData{0, 0, 0, -4, false}},
        {"differs and short", {1, 7}, WrongData{1, 2, 7, -2, true}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IcmpPacket::compareEchoData(sent, c.echoed), c.expected) << c.name;
    EXPECT_EQ(IcmpPacket::compareEchoData({}, {}), std::nullopt);
}

TEST(IcmpRawMatch, TakesOnlyTheReplyToThisRequest) {
    const Bytes reply = ipv4(kTarget, kTarget, echo(IcmpPacket::kEchoReply, kId, kSequence, 40), 61);
    const EchoMatch match = IcmpPacket::matchRawPacket(reply, kKey);
    ASSERT_EQ(match.kind, EchoMatch::Kind::Reply);
    EXPECT_EQ(match.source, kTarget);
    EXPECT_EQ(match.ttl, 61);
    EXPECT_EQ(match.status, IpStatus::Success);
    EXPECT_EQ(match.data.size(), 40u);

    Bytes badChecksum = reply;
    badChecksum.at(40) ^= 0x01;
    Bytes longerThanReceived = reply;
    longerThanReceived[3] += 1;
    Bytes shortHeader = reply;
    shortHeader[0] = 0x44;
    Bytes notIcmp = reply;
    notIcmp[9] = 17;
    const struct {
        const char* what;
        Bytes packet;
    } ignored[] = {
        {"another ping's reply", ipv4(kTarget, kTarget, echo(IcmpPacket::kEchoReply, kId + 1, kSequence))},
        {"a reply to an earlier request", ipv4(kTarget, kTarget, echo(IcmpPacket::kEchoReply, kId, kSequence - 1))},
        {"a reply from elsewhere", ipv4(kRouter, kTarget, echo(IcmpPacket::kEchoReply, kId, kSequence))},
        {"our own request looped back", ourRequest()},
        {"a bad checksum", badChecksum},
        {"a length beyond what arrived", longerThanReceived},
        {"an IP header under 20 bytes", shortHeader},
        {"another protocol", notIcmp},
        {"a header cut short", Bytes(reply.begin(), reply.begin() + 24)},
        {"a bare IP header", Bytes(reply.begin(), reply.begin() + 20)},
        {"nothing", Bytes{}},
        {"an IPv6 version nibble", Bytes{0x60, 0, 0, 28, 0, 0, 0, 0, 64, 1, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}},
    };
    for (const auto& row : ignored)
        EXPECT_EQ(IcmpPacket::matchRawPacket(row.packet, kKey).kind, EchoMatch::Kind::None) << row.what;
}

TEST(IcmpRawMatch, TakesAnErrorOnlyWhenItQuotesThisRequest) {
    const Bytes quote = ourRequest();
    const Bytes quoteHead(quote.begin(), quote.begin() + 28);
    const struct {
        std::uint8_t type, code;
        std::int32_t status;
    } errors[] = {
        {3, 1, IpStatus::DestHostUnreachable},   {3, 13, IpStatus::DestHostUnreachable},
        {3, 4, IpStatus::PacketTooBig},          {11, 0, IpStatus::TtlExpiredTransit},
        {11, 1, IpStatus::TtlExpiredReassembly}, {12, 0, IpStatus::ParameterProblem},
        {4, 0, IpStatus::SourceQuench},
    };
    for (const auto& row : errors) {
        const EchoMatch match =
            IcmpPacket::matchRawPacket(ipv4(kRouter, kTarget, icmpError(row.type, row.code, quoteHead), 250), kKey);
        EXPECT_EQ(match.kind, EchoMatch::Kind::Error) << int(row.type) << "/" << int(row.code);
        EXPECT_EQ(match.status, row.status) << int(row.type) << "/" << int(row.code);
        EXPECT_EQ(match.source, kRouter);
        EXPECT_EQ(match.ttl, 250);
    }

    const Bytes otherRequest = ourRequest(kSequence + 1);
    const Bytes toElsewhere = ipv4(kTarget, kRouter, echo(IcmpPacket::kEchoRequest, kId, kSequence), 255);
    const struct {
        const char* what;
        Bytes packet;
    } ignored[] = {
        {"a redirect", ipv4(kRouter, kTarget, icmpError(IcmpPacket::kRedirect, 1, quoteHead))},
        {"an error about another request",
         ipv4(kRouter, kTarget, icmpError(3, 1, Bytes(otherRequest.begin(), otherRequest.begin() + 28)))},
        {"an error about a request elsewhere",
         ipv4(kRouter, kTarget, icmpError(3, 1, Bytes(toElsewhere.begin(), toElsewhere.begin() + 28)))},
        {"a quote cut inside the ICMP header",
         ipv4(kRouter, kTarget, icmpError(3, 1, Bytes(quote.begin(), quote.begin() + 24)))},
        {"a quote cut inside the IP header",
         ipv4(kRouter, kTarget, icmpError(3, 1, Bytes(quote.begin(), quote.begin() + 12)))},
        {"an unknown type", ipv4(kRouter, kTarget, icmpError(42, 0, quoteHead))},
    };
    for (const auto& row : ignored)
        EXPECT_EQ(IcmpPacket::matchRawPacket(row.packet, kKey).kind, EchoMatch::Kind::None) << row.what;
}

TEST(IcmpDatagramMatch, ChecksSequenceTypeAndSource) {
    const Bytes reply = echo(IcmpPacket::kEchoReply, 999, kSequence, 0);
    const EchoMatch match = IcmpPacket::matchDatagramReply(reply, kTarget, 64, kKey);
    EXPECT_EQ(match.kind, EchoMatch::Kind::Reply);
    EXPECT_EQ(match.data.size(), 0u);
    EXPECT_EQ(match.ttl, 64);
    EXPECT_EQ(IcmpPacket::matchDatagramReply(reply, kRouter, 64, kKey).kind, EchoMatch::Kind::None);
    EXPECT_EQ(IcmpPacket::matchDatagramReply(echo(0, 999, kSequence + 1), kTarget, 64, kKey).kind,
              EchoMatch::Kind::None);
    EXPECT_EQ(IcmpPacket::matchDatagramReply(Bytes(reply.begin(), reply.begin() + 7), kTarget, 64, kKey).kind,
              EchoMatch::Kind::None);
    EXPECT_TRUE(IcmpPacket::quotesRequest(echo(IcmpPacket::kEchoRequest, 1, kSequence), kSequence));
    EXPECT_FALSE(IcmpPacket::quotesRequest(echo(IcmpPacket::kEchoRequest, 1, kSequence), kSequence + 1));
    EXPECT_FALSE(IcmpPacket::quotesRequest(Bytes{8, 0, 0}, kSequence));
}

namespace {

using Address6 = std::array<std::uint8_t, 16>;
const Address6 kTarget6{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};             // ::1
const Address6 kRouter6{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9}; // 2001:db8::9
const IcmpPacket::EchoRequestKeyV6 kKey6{kTarget6, kId, kSequence};

Bytes echo6(std::uint8_t type, std::uint16_t id, std::uint16_t sequence, std::size_t dataSize = 32) {
    const Bytes data(dataSize, 0x20);
    Bytes message;
    IcmpPacket::buildEchoRequestV6(message, id, sequence, data.data(), static_cast<std::uint16_t>(dataSize));
    message[0] = type;
    return message;
}

// Our request as the kernel sent it, with extension headers (each given as next-header, then its bytes)
// between the IPv6 header and the ICMPv6 message.
Bytes ourRequest6(const Address6& destination = kTarget6, std::uint16_t sequence = kSequence,
                  const std::vector<Bytes>& extensions = {}) {
    Bytes packet{0x60, 0, 0, 0, 0, 0, 58, 255};
    packet.insert(packet.end(), kTarget6.begin(), kTarget6.end()); // source
    packet.insert(packet.end(), destination.begin(), destination.end());
    std::size_t nextField = 6;
    for (const Bytes& extension : extensions) {
        packet[nextField] = extension[0];
        nextField = packet.size();
        packet.insert(packet.end(), extension.begin() + 1, extension.end());
        packet[nextField] = 58;
    }
    const Bytes icmp = echo6(IcmpPacket::kV6EchoRequest, kId, sequence);
    packet.insert(packet.end(), icmp.begin(), icmp.end());
    return packet;
}

Bytes icmp6Error(std::uint8_t type, std::uint8_t code, const Bytes& offending) {
    Bytes message{type, code, 0, 0, 0, 0, 0, 0};
    message.insert(message.end(), offending.begin(), offending.end());
    return message;
}

} // namespace

TEST(Icmp6Match, TakesOnlyTheReplyToThisRequestFromTheDestination) {
    const Bytes reply = echo6(IcmpPacket::kV6EchoReply, kId, kSequence, 40);
    for (const bool raw : {true, false}) {
        SCOPED_TRACE(raw ? "raw" : "datagram");
        const auto match = [raw](const Bytes& message, const Address6& source) {
            return raw ? IcmpPacket::matchRawMessageV6(message, source, kKey6)
                       : IcmpPacket::matchDatagramReplyV6(message, source, kKey6);
        };
        const EchoMatch good = match(reply, kTarget6);
        ASSERT_EQ(good.kind, EchoMatch::Kind::Reply);
        EXPECT_EQ(good.status, IpStatus::Success);
        EXPECT_EQ(good.data.size(), 40u);
        EXPECT_EQ(match(reply, kRouter6).kind, EchoMatch::Kind::None) << "a reply from elsewhere";
        EXPECT_EQ(match(echo6(IcmpPacket::kV6EchoReply, kId, kSequence + 1), kTarget6).kind, EchoMatch::Kind::None)
            << "a reply to another request";
        EXPECT_EQ(match(echo6(IcmpPacket::kEchoReply, kId, kSequence), kTarget6).kind, EchoMatch::Kind::None)
            << "the IPv4 reply type";
        EXPECT_EQ(match(echo6(IcmpPacket::kV6EchoRequest, kId, kSequence), kTarget6).kind, EchoMatch::Kind::None)
            << "our own request";
        EXPECT_EQ(match(Bytes(reply.begin(), reply.begin() + 7), kTarget6).kind, EchoMatch::Kind::None)
            << "a header cut short";
    }
    // Only the raw socket sees other pings' replies; the datagram socket's kernel has sorted them out.
    EXPECT_EQ(IcmpPacket::matchRawMessageV6(echo6(IcmpPacket::kV6EchoReply, kId + 1, kSequence), kTarget6, kKey6).kind,
              EchoMatch::Kind::None);
}

TEST(Icmp6Match, TakesAnErrorOnlyWhenItQuotesThisRequest) {
    // Rows the kernel's reject cannot make: the unreachable codes are run live in the channel's tests.
    const struct {
        std::uint8_t type, code;
        std::int32_t status;
    } errors[] = {
        {2, 0, IpStatus::PacketTooBig},         {3, 0, IpStatus::TtlExpiredTransit},
        {3, 1, IpStatus::TtlExpiredReassembly}, {4, 1, IpStatus::ParameterProblem},
        {1, 6, IpStatus::DestHostUnreachable},  {1, 7, IpStatus::DestHostUnreachable},
    };
    for (const auto& row : errors) {
        const EchoMatch match =
            IcmpPacket::matchRawMessageV6(icmp6Error(row.type, row.code, ourRequest6()), kRouter6, kKey6);
        EXPECT_EQ(match.kind, EchoMatch::Kind::Error) << int(row.type) << "/" << int(row.code);
        EXPECT_EQ(match.status, row.status) << int(row.type) << "/" << int(row.code);
    }
    // Past a hop-by-hop header (8 bytes) and a first fragment's header.
    const Bytes hopByHop{0, 0, 0, 1, 4, 0, 0, 0, 0};
    const Bytes firstFragment{44, 0, 0, 0x00, 0x01, 0, 0, 0, 7};
    EXPECT_EQ(IcmpPacket::matchRawMessageV6(
                  icmp6Error(1, 3, ourRequest6(kTarget6, kSequence, {hopByHop, firstFragment})), kRouter6, kKey6)
                  .kind,
              EchoMatch::Kind::Error);

    const Bytes quote = ourRequest6();
    const Bytes laterFragment{44, 0, 0, 0x05, 0xb9, 0, 0, 0, 7};
    const Bytes endlessOptions{60, 0, 0, 0, 0, 0, 0, 0, 0};
    Bytes notIcmp = quote;
    notIcmp[6] = 17;
    const struct {
        const char* what;
        Bytes message;
    } ignored[] = {
        {"an error about another request", icmp6Error(1, 3, ourRequest6(kTarget6, kSequence + 1))},
        {"an error about a request elsewhere", icmp6Error(1, 3, ourRequest6(kRouter6))},
        {"a quote cut inside the ICMPv6 header", icmp6Error(1, 3, Bytes(quote.begin(), quote.begin() + 46))},
        {"a quote cut inside the IPv6 header", icmp6Error(1, 3, Bytes(quote.begin(), quote.begin() + 30))},
        {"a quoted UDP datagram", icmp6Error(1, 3, notIcmp)},
        {"a later fragment", icmp6Error(1, 3, ourRequest6(kTarget6, kSequence, {laterFragment}))},
        {"extension headers without end",
         icmp6Error(1, 3, ourRequest6(kTarget6, kSequence, std::vector<Bytes>(9, endlessOptions)))},
        {"an IPv4 quote", icmp6Error(1, 3, ourRequest())},
        {"a redirect", icmp6Error(137, 0, quote)},
        {"an IPv4 error type", icmp6Error(3 + 8, 0, quote)},
        {"a bare header", icmp6Error(1, 3, {})},
    };
    for (const auto& row : ignored)
        EXPECT_EQ(IcmpPacket::matchRawMessageV6(row.message, kRouter6, kKey6).kind, EchoMatch::Kind::None) << row.what;

    EXPECT_TRUE(IcmpPacket::quotesRequestV6(echo6(IcmpPacket::kV6EchoRequest, 1, kSequence), kSequence));
    EXPECT_FALSE(IcmpPacket::quotesRequestV6(echo6(IcmpPacket::kV6EchoRequest, 1, kSequence), kSequence + 1));
    EXPECT_FALSE(IcmpPacket::quotesRequestV6(echo(IcmpPacket::kEchoRequest, 1, kSequence), kSequence));
}

// The hub finds the request a message answers by the sequence number it claims; hostile bytes give none.
TEST(IcmpClaimedSequence, ReadsRepliesAndQuotedRequestsOfEitherFamily) {
    const Bytes hopByHop{0, 0, 0, 1, 4, 0, 0, 0, 0};
    const Bytes reply = echo(IcmpPacket::kEchoReply, kId, 300);
    const Bytes request = ourRequest(301);
    const Bytes request6 = ourRequest6();
    const struct {
        const char* what;
        Bytes message;
        bool v6;
        bool withIpHeader;
        std::optional<std::uint16_t> sequence;
    } rows[] = {
        {"a raw reply", ipv4(kTarget, kTarget, reply), false, true, 300},
        {"a datagram reply", reply, false, false, 300},
        {"a raw error", ipv4(kRouter, kTarget, icmpError(3, 1, request)), false, true, 301},
        {"an IPv6 reply", echo6(IcmpPacket::kV6EchoReply, kId, 302), true, false, 302},
        {"an IPv6 error", icmp6Error(1, 3, ourRequest6(kTarget6, 303)), true, false, 303},
        {"an IPv6 error past a header", icmp6Error(1, 3, ourRequest6(kTarget6, 304, {hopByHop})), true, false, 304},
        {"a bare header", Bytes(4, 0), false, false, std::nullopt},
        {"no IP header in front", reply, false, true, std::nullopt},
        {"an error cut inside its quote", icmpError(3, 1, Bytes(request.begin(), request.begin() + 24)), false, false,
         std::nullopt},
        {"an IPv6 error cut inside its quote", icmp6Error(1, 3, Bytes(request6.begin(), request6.begin() + 30)), true,
         false, std::nullopt},
        {"an IPv4 quote in an IPv6 error", icmp6Error(1, 3, request), true, false, std::nullopt},
    };
    for (const auto& row : rows)
        EXPECT_EQ(IcmpPacket::claimedSequence(row.message, row.v6, row.withIpHeader), row.sequence) << row.what;
}
