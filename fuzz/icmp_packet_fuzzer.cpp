// Packets as an ICMP socket hands them over: whatever the matcher accepts must really answer our request,
// and whatever answers it must be accepted. The rules are written out again here from the wire format, so a
// slip in the matcher's offsets or length checks shows as a disagreement.
//
// Input: mode byte, destination (4 bytes, as stored), identifier and sequence (big-endian), then the packet.
// Modes: 0 raw packet with IP header, 1 datagram message (+ source and TTL before it), 2 quoted request of
// an error-queue entry, 3 a request built from the input and answered (and the input's halves compared as
// sent and echoed data).
// ICMPv6 has a target of its own (icmpv6_packet_fuzzer.cpp).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "engine/IcmpPacket.h"
#include "types/IpStatus.h"

#include "fuzz/FuzzSupport.h"

using IcmpPacket::EchoMatch;
using IcmpPacket::EchoRequestKey;
using Bytes = std::span<const std::uint8_t>;

namespace {

std::uint16_t be16(Bytes b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] * 256 + b[at + 1]);
}

std::uint32_t stored32(Bytes b, std::size_t at) {
    std::uint32_t value;
    std::memcpy(&value, b.data() + at, 4);
    return value;
}

// RFC 1071 the slow way: big-endian 16-bit words, odd byte padded with zero.
std::uint16_t referenceChecksum(Bytes b) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < b.size(); i += 2)
        sum += static_cast<std::uint64_t>(b[i]) << 8 | (i + 1 < b.size() ? b[i + 1] : 0);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xffff);
}

// Header length of an IPv4 header carrying ICMP, 0 when `b` does not start with one.
std::size_t ipv4IcmpHeader(Bytes b) {
    if (b.size() < 20 || (b[0] >> 4) != 4 || b[9] != 1)
        return 0;
    const std::size_t length = (b[0] & 0x0fu) * 4u;
    return length >= 20 && length <= b.size() ? length : 0;
}

bool isEcho(Bytes icmp, std::uint8_t type, std::uint16_t id, bool checkId, std::uint16_t sequence) {
    return icmp.size() >= 8 && icmp[0] == type && icmp[1] == 0 && (!checkId || be16(icmp, 4) == id) &&
           be16(icmp, 6) == sequence;
}

bool isErrorType(std::uint8_t type) {
    return type == 3 || type == 4 || type == 11 || type == 12;
}

bool sameBytes(Bytes a, Bytes b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

void checkRaw(Bytes packet, const EchoRequestKey& key) {
    const EchoMatch match = IcmpPacket::matchRawPacket(packet, key);

    EchoMatch::Kind expected = EchoMatch::Kind::None;
    Bytes icmp;
    const std::size_t header = ipv4IcmpHeader(packet);
    if (header != 0 && be16(packet, 2) >= header && be16(packet, 2) <= packet.size()) {
        icmp = packet.subspan(header, be16(packet, 2) - header);
        if (icmp.size() >= 8 && referenceChecksum(icmp) == 0) {
            if (icmp[0] == 0) {
                if (stored32(packet, 12) == key.destination && isEcho(icmp, 0, key.id, true, key.sequence))
                    expected = EchoMatch::Kind::Reply;
            } else if (isErrorType(icmp[0])) {
                const Bytes inner = icmp.subspan(8);
                const std::size_t innerHeader = ipv4IcmpHeader(inner);
                if (innerHeader != 0 && stored32(inner, 16) == key.destination &&
                    isEcho(inner.subspan(innerHeader), 8, key.id, true, key.sequence))
                    expected = EchoMatch::Kind::Error;
            }
        }
    }
    require(match.kind == expected, "raw packet: accepted what does not answer the request, or the reverse");
    if (match.kind == EchoMatch::Kind::None)
        return;
    // The hub looks the request up by the sequence the packet claims before matching it.
    require(IcmpPacket::claimedSequence(packet, false, true) == key.sequence,
            "raw packet: accepted, yet it claims another sequence");
    require(match.source == stored32(packet, 12), "raw packet: source is not the sender");
    require(match.ttl == packet[8], "raw packet: TTL is not the packet's");
    if (match.kind == EchoMatch::Kind::Reply) {
        require(match.status == IpStatus::Success, "reply with a failure status");
        require(match.data.data() == icmp.data() + 8 && match.data.size() == icmp.size() - 8,
                "reply data is not the echoed bytes within the packet");
    } else {
        const auto status = IcmpPacket::errorStatus(icmp[0], icmp[1]);
        require(status && *status == match.status && match.status != IpStatus::Success, "error with a wrong status");
        require(match.data.empty(), "error carries data");
    }
}

void checkDatagram(Bytes message, std::uint32_t source, std::uint8_t ttl, const EchoRequestKey& key) {
    const EchoMatch match = IcmpPacket::matchDatagramReply(message, source, ttl, key);
    // The kernel has already checked the identifier of a datagram socket's replies, so it is not looked at.
    const bool expected = source == key.destination && isEcho(message, 0, 0, false, key.sequence);
    require((match.kind == EchoMatch::Kind::Reply) == expected, "datagram: wrong verdict");
    require(match.kind != EchoMatch::Kind::Error, "datagram: a reply turned into an error");
    if (!expected)
        return;
    require(IcmpPacket::claimedSequence(message, false, false) == key.sequence,
            "datagram: accepted, yet it claims another sequence");
    require(match.source == source && match.ttl == ttl && match.status == IpStatus::Success, "datagram: fields");
    require(sameBytes(match.data, message.subspan(8)) && match.data.data() == message.data() + 8, "datagram: data");
}

void checkQuoted(Bytes quoted, const EchoRequestKey& key) {
    require(IcmpPacket::quotesRequest(quoted, key.sequence) == isEcho(quoted, 8, 0, false, key.sequence),
            "quoted request: wrong verdict");
}

// A request built from the input, answered as the destination would: the reply must match, and a reply to
// any other sequence must not.
void checkRoundTrip(Bytes payload, const EchoRequestKey& key) {
    payload = payload.first(std::min<std::size_t>(payload.size(), 65507 - 20));
    std::vector<std::uint8_t> request;
    IcmpPacket::buildEchoRequest(request, key.id, key.sequence, payload.data(),
                                 static_cast<std::uint16_t>(payload.size()), true);
    require(request.size() == 8 + payload.size(), "request size");
    require(IcmpPacket::checksum(request) == 0, "request does not check out");
    require(isEcho(request, 8, key.id, true, key.sequence), "request header");

    std::vector<std::uint8_t> packet(20 + request.size());
    packet[0] = 0x45;
    packet[2] = static_cast<std::uint8_t>(packet.size() >> 8);
    packet[3] = static_cast<std::uint8_t>(packet.size());
    packet[8] = 64;
    packet[9] = 1;
    std::memcpy(packet.data() + 12, &key.destination, 4);
    std::memcpy(packet.data() + 20, request.data(), request.size());
    packet[20] = 0; // echo reply: the type drops by 8, so the checksum rises by 8 << 8
    const std::uint32_t sum = static_cast<std::uint32_t>(be16(packet, 22)) + 0x0800;
    const auto fixed = static_cast<std::uint16_t>((sum & 0xffff) + (sum >> 16));
    packet[22] = static_cast<std::uint8_t>(fixed >> 8);
    packet[23] = static_cast<std::uint8_t>(fixed);
    const EchoMatch own = IcmpPacket::matchRawPacket(packet, key);
    require(own.kind == EchoMatch::Kind::Reply, "own reply not recognised");
    require(!IcmpPacket::compareEchoData(payload, own.data), "own reply's data taken for other data");
    EchoRequestKey other = key;
    ++other.sequence;
    require(IcmpPacket::matchRawPacket(packet, other).kind == EchoMatch::Kind::None, "reply to another sequence");
}

// The payload's two halves taken for sent and echoed data: the first difference, byte by byte.
void checkEchoData(Bytes payload) {
    const Bytes sent = payload.first(payload.size() / 2);
    const Bytes echoed = payload.subspan(payload.size() / 2);
    std::size_t at = 0;
    while (at < sent.size() && at < echoed.size() && sent[at] == echoed[at])
        ++at;
    const bool bytesDiffer = at < sent.size() && at < echoed.size();
    const auto wrong = IcmpPacket::compareEchoData(sent, echoed);
    require(wrong.has_value() == (bytesDiffer || sent.size() != echoed.size()), "echo data: wrong verdict");
    if (!wrong)
        return;
    require(wrong->offset == at && wrong->bytesDiffer == bytesDiffer, "echo data: wrong place");
    require(wrong->sizeDifference == static_cast<std::int32_t>(echoed.size()) - static_cast<std::int32_t>(sent.size()),
            "echo data: wrong sizes");
    require(!bytesDiffer || (wrong->sent == sent[at] && wrong->echoed == echoed[at]), "echo data: wrong bytes");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes input(data, size);
    if (size < 9)
        return 0;
    EchoRequestKey key;
    std::memcpy(&key.destination, data + 1, 4);
    key.id = be16(input, 5);
    key.sequence = be16(input, 7);
    Bytes rest = input.subspan(9);

    require(IcmpPacket::checksum(rest) == referenceChecksum(rest), "checksum differs from the word-by-word sum");
    switch (data[0] % 4) {
    case 0:
        checkRaw(rest, key);
        break;
    case 1:
        if (rest.size() >= 5)
            checkDatagram(rest.subspan(5), stored32(rest, 0), rest[4], key);
        break;
    case 2:
        checkQuoted(rest, key);
        break;
    default:
        checkRoundTrip(rest, key);
        checkEchoData(rest);
        break;
    }
    return 0;
}
