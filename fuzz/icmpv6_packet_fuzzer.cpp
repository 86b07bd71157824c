// ICMPv6 messages as raw and datagram sockets hand them over (no IPv6 header; the kernel has checked the
// checksum and tells the sender beside the message). Whatever the matcher accepts must answer our request,
// and whatever answers it must be accepted. The rules are written out again from the wire format, with the
// quoted packet's extension headers walked another way, so a slip in offsets or length checks shows.
//
// Input: mode byte, destination (16 bytes), identifier and sequence (big-endian), then, unless bit 2 of the
// mode says the sender is the destination, the sender (16 bytes), then the message.
// Modes (low two bits): 0 raw message, 1 datagram message, 2 quoted request of an error-queue entry,
// 3 a request built from the input, answered and reported on.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "engine/IcmpPacket.h"
#include "types/IpStatus.h"

#include "fuzz/FuzzSupport.h"

using IcmpPacket::EchoMatch;
using IcmpPacket::EchoRequestKeyV6;
using Bytes = std::span<const std::uint8_t>;
using Address = std::array<std::uint8_t, 16>;

namespace {

// More extension headers than this in a quoted packet are not followed: hostile chains must end quickly.
constexpr int kMaxExtensionHeaders = 8;

std::uint16_t be16(Bytes b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] * 256 + b[at + 1]);
}

bool sameAddress(Bytes a, const Address& b) {
    return a.size() >= 16 && std::memcmp(a.data(), b.data(), 16) == 0;
}

bool isEcho(Bytes icmp, std::uint8_t type, std::uint16_t id, bool checkId, std::uint16_t sequence) {
    return icmp.size() >= 8 && icmp[0] == type && icmp[1] == 0 && (!checkId || be16(icmp, 4) == id) &&
           be16(icmp, 6) == sequence;
}

// Destination unreachable, packet too big, time exceeded, parameter problem.
bool isErrorType(std::uint8_t type) {
    return type >= 1 && type <= 4;
}

// The ICMPv6 message a quoted IPv6 packet carries after `done` extension headers at `at`, or nothing.
// Hop-by-hop (0), routing (43) and destination options (60) give their length in 8-byte units past the first
// eight; a fragment header (44) is eight bytes and only the first fragment carries the ICMPv6 header.
std::optional<Bytes> carried(Bytes packet, std::size_t at, std::uint8_t next, int done) {
    if (next == 58)
        return packet.subspan(at);
    if (done == kMaxExtensionHeaders)
        return std::nullopt;
    std::size_t length;
    if (next == 0 || next == 43 || next == 60) {
        if (packet.size() - at < 2)
            return std::nullopt;
        length = 8u * (1u + packet[at + 1]);
    } else if (next == 44) {
        length = 8;
        if (packet.size() - at >= 4 && (be16(packet, at + 2) >> 3) != 0)
            return std::nullopt;
    } else {
        return std::nullopt;
    }
    if (packet.size() - at < length)
        return std::nullopt;
    return carried(packet, at + length, packet[at], done + 1);
}

bool quotesOurRequest(Bytes quoted, const EchoRequestKeyV6& key) {
    if (quoted.size() < 40 || (quoted[0] & 0xf0) != 0x60 || !sameAddress(quoted.subspan(24), key.destination))
        return false;
    const auto icmp = carried(quoted, 40, quoted[6], 0);
    return icmp && isEcho(*icmp, 128, key.id, true, key.sequence);
}

void checkStatusTable(std::uint8_t type, std::uint8_t code) {
    const auto status = IcmpPacket::errorStatusV6(type, code);
    require(status.has_value() == isErrorType(type), "error status: given for a non-error or missing for an error");
    if (!status)
        return;
    require(*status != IpStatus::Success, "error status reads as success");
    if (type == 3)
        require(*status == (code == 1 ? IpStatus::TtlExpiredReassembly : IpStatus::TtlExpiredTransit),
                "time exceeded: wrong status");
    if (type == 2)
        require(*status == IpStatus::PacketTooBig, "packet too big: wrong status");
}

void checkRaw(Bytes message, const Address& source, const EchoRequestKeyV6& key) {
    const EchoMatch match = IcmpPacket::matchRawMessageV6(message, Bytes(source).first<16>(), key);

    EchoMatch::Kind expected = EchoMatch::Kind::None;
    if (message.size() >= 8) {
        if (message[0] == 129) {
            if (source == key.destination && isEcho(message, 129, key.id, true, key.sequence))
                expected = EchoMatch::Kind::Reply;
        } else if (isErrorType(message[0]) && quotesOurRequest(message.subspan(8), key)) {
            expected = EchoMatch::Kind::Error;
        }
    }
    require(match.kind == expected, "raw message: accepted what does not answer the request, or the reverse");
    if (match.kind == EchoMatch::Kind::None)
        return;
    // The hub looks the request up by the sequence the message claims before matching it.
    require(IcmpPacket::claimedSequence(message, true, true) == key.sequence,
            "raw message: accepted, yet it claims another sequence");
    require(match.source == 0 && match.ttl == 0, "raw message: sender or hop limit made up");
    if (match.kind == EchoMatch::Kind::Reply) {
        require(match.status == IpStatus::Success, "reply with a failure status");
        require(match.data.data() == message.data() + 8 && match.data.size() == message.size() - 8,
                "reply data is not the echoed bytes within the message");
    } else {
        const auto status = IcmpPacket::errorStatusV6(message[0], message[1]);
        require(status && *status == match.status && match.status != IpStatus::Success, "error with a wrong status");
        require(match.data.empty(), "error carries data");
    }
}

void checkDatagram(Bytes message, const Address& source, const EchoRequestKeyV6& key) {
    const EchoMatch match = IcmpPacket::matchDatagramReplyV6(message, Bytes(source).first<16>(), key);
    // The kernel has already checked the identifier of a datagram socket's replies, so it is not looked at.
    const bool expected = source == key.destination && isEcho(message, 129, 0, false, key.sequence);
    require((match.kind == EchoMatch::Kind::Reply) == expected, "datagram: wrong verdict");
    require(match.kind != EchoMatch::Kind::Error, "datagram: a reply turned into an error");
    if (!expected)
        return;
    require(IcmpPacket::claimedSequence(message, true, false) == key.sequence,
            "datagram: accepted, yet it claims another sequence");
    require(match.source == 0 && match.ttl == 0 && match.status == IpStatus::Success, "datagram: fields");
    require(match.data.data() == message.data() + 8 && match.data.size() == message.size() - 8, "datagram: data");
}

void checkQuoted(Bytes quoted, const EchoRequestKeyV6& key) {
    require(IcmpPacket::quotesRequestV6(quoted, key.sequence) == isEcho(quoted, 128, 0, false, key.sequence),
            "quoted request: wrong verdict");
}

// A request built from the input, answered by the destination and reported on by a router that quotes it
// behind a hop-by-hop and a first-fragment header: both must match, and neither for another sequence.
void checkRoundTrip(Bytes payload, const EchoRequestKeyV6& key) {
    payload = payload.first(std::min<std::size_t>(payload.size(), 1232));
    std::vector<std::uint8_t> request;
    IcmpPacket::buildEchoRequestV6(request, key.id, key.sequence, payload.data(),
                                   static_cast<std::uint16_t>(payload.size()));
    require(request.size() == 8 + payload.size(), "request size");
    require(isEcho(request, 128, key.id, true, key.sequence), "request header");
    require(payload.empty() || std::memcmp(request.data() + 8, payload.data(), payload.size()) == 0, "request data");

    std::vector<std::uint8_t> reply = request;
    reply[0] = 129;
    EchoRequestKeyV6 other = key;
    ++other.sequence;
    Address elsewhere = key.destination;
    elsewhere[15] ^= 1;
    require(IcmpPacket::matchRawMessageV6(reply, Bytes(key.destination).first<16>(), key).kind ==
                EchoMatch::Kind::Reply,
            "own reply not recognised");
    require(IcmpPacket::matchDatagramReplyV6(reply, Bytes(key.destination).first<16>(), key).kind ==
                EchoMatch::Kind::Reply,
            "own datagram reply not recognised");
    require(IcmpPacket::matchRawMessageV6(reply, Bytes(key.destination).first<16>(), other).kind ==
                EchoMatch::Kind::None,
            "reply to another sequence");
    require(IcmpPacket::matchRawMessageV6(reply, Bytes(elsewhere).first<16>(), key).kind == EchoMatch::Kind::None,
            "reply from another host");

    std::vector<std::uint8_t> error = {1, 3, 0, 0, 0, 0, 0, 0};
    const std::size_t ip = error.size();
    error.resize(ip + 40);
    error[ip] = 0x60;
    error[ip + 6] = 0; // hop-by-hop options, eight bytes, then a first fragment, then ICMPv6
    error[ip + 7] = 64;
    std::copy(key.destination.begin(), key.destination.end(), error.begin() + static_cast<std::ptrdiff_t>(ip + 24));
    const std::uint8_t extensions[16] = {44, 0, 1, 4, 0, 0, 0, 0, 58, 0, 0, 1, 0, 0, 0, 42};
    error.insert(error.end(), std::begin(extensions), std::end(extensions));
    error.insert(error.end(), request.begin(), request.end());
    const EchoMatch reported = IcmpPacket::matchRawMessageV6(error, Bytes(elsewhere).first<16>(), key);
    require(reported.kind == EchoMatch::Kind::Error && reported.status == IpStatus::DestHostUnreachable,
            "error quoting our request not recognised");
    require(IcmpPacket::matchRawMessageV6(error, Bytes(elsewhere).first<16>(), other).kind == EchoMatch::Kind::None,
            "error quoting another sequence");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 21)
        return 0;
    const Bytes input(data, size);
    EchoRequestKeyV6 key;
    std::copy_n(data + 1, 16, key.destination.begin());
    key.id = be16(input, 17);
    key.sequence = be16(input, 19);
    Bytes rest = input.subspan(21);
    Address source = key.destination;
    if ((data[0] & 4) == 0) {
        if (rest.size() < 16)
            return 0;
        std::copy_n(rest.data(), 16, source.begin());
        rest = rest.subspan(16);
    }

    if (!rest.empty())
        checkStatusTable(rest[0], rest.size() > 1 ? rest[1] : 0);
    switch (data[0] % 4) {
    case 0:
        checkRaw(rest, source, key);
        break;
    case 1:
        checkDatagram(rest, source, key);
        break;
    case 2:
        checkQuoted(rest, key);
        break;
    default:
        checkRoundTrip(rest, key);
        break;
    }
    return 0;
}
