#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "engine/IcmpPacket.h"
#include "engine/IcmpStatus.h"

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
