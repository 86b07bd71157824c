#include "engine/IcmpPacket.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "types/IpStatus.h"

namespace IcmpPacket {
namespace {

constexpr std::int32_t kAnyCode = -1;

struct ErrorRow {
    std::uint8_t type;
    std::int32_t code;
    std::int32_t status;
};

// Codes without a text of their own take the nearest one: administrative bans and unknown destinations
// read as an unreachable host or net, a failed source route as a bad route.
constexpr std::array<ErrorRow, 21> kErrorTable{{
    {kDestinationUnreachable, 0, IpStatus::DestNetUnreachable},
    {kDestinationUnreachable, 1, IpStatus::DestHostUnreachable},
    {kDestinationUnreachable, 2, IpStatus::DestProtocolUnreachable},
    {kDestinationUnreachable, 3, IpStatus::DestPortUnreachable},
    {kDestinationUnreachable, 4, IpStatus::PacketTooBig},
    {kDestinationUnreachable, 5, IpStatus::BadRoute},
    {kDestinationUnreachable, 6, IpStatus::DestNetUnreachable},
    {kDestinationUnreachable, 7, IpStatus::DestHostUnreachable},
    {kDestinationUnreachable, 8, IpStatus::DestHostUnreachable},
    {kDestinationUnreachable, 9, IpStatus::DestHostUnreachable},
    {kDestinationUnreachable, 10, IpStatus::DestHostUnreachable},
    {kDestinationUnreachable, 11, IpStatus::DestNetUnreachable},
    {kDestinationUnreachable, 12, IpStatus::DestHostUnreachable},
    {kDestinationUnreachable, 13, IpStatus::DestHostUnreachable},
    {kDestinationUnreachable, 14, IpStatus::DestHostUnreachable},
    {kDestinationUnreachable, 15, IpStatus::DestHostUnreachable},
    {kDestinationUnreachable, kAnyCode, IpStatus::DestHostUnreachable},
    {kSourceQuench, kAnyCode, IpStatus::SourceQuench},
    {kTimeExceeded, 1, IpStatus::TtlExpiredReassembly},
    {kTimeExceeded, kAnyCode, IpStatus::TtlExpiredTransit},
    {kParameterProblem, kAnyCode, IpStatus::ParameterProblem},
}};

std::uint16_t read16(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

std::uint32_t readAddress(std::span<const std::uint8_t> bytes, std::size_t offset) {
    std::uint32_t address = 0;
    std::copy_n(bytes.data() + offset, sizeof address, reinterpret_cast<std::uint8_t*>(&address));
    return address;
}

// Length of a sound IPv4 header carrying ICMP at the start of `bytes`, or 0.
std::size_t icmpIpHeaderLength(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kMinIpHeaderSize || bytes[0] >> 4 != 4 || bytes[9] != 1)
        return 0;
    const std::size_t length = static_cast<std::size_t>(bytes[0] & 0x0f) * 4;
    return length >= kMinIpHeaderSize && length <= bytes.size() ? length : 0;
}

// The table: no route reads as an unreachable net, the port as the port, every other unreachable
// destination as the host.
constexpr std::array<ErrorRow, 5> kErrorTableV6{{
    {kV6DestinationUnreachable, 0, IpStatus::DestNetUnreachable},
    {kV6DestinationUnreachable, 4, IpStatus::DestPortUnreachable},
    {kV6DestinationUnreachable, kAnyCode, IpStatus::DestHostUnreachable},
    {kV6PacketTooBig, kAnyCode, IpStatus::PacketTooBig},
    {kV6ParameterProblem, kAnyCode, IpStatus::ParameterProblem},
}};

constexpr std::uint8_t kNextIcmpV6 = 58;
constexpr std::uint8_t kNextFragment = 44;

bool isExtensionHeader(std::uint8_t next) {
    return next == 0 || next == 43 || next == 60; // hop-by-hop, routing, destination options
}

// The ICMPv6 message inside a quoted IPv6 packet sent to `destination`, or an empty span.
std::span<const std::uint8_t> quotedIcmpV6(std::span<const std::uint8_t> packet,
                                           const std::array<std::uint8_t, 16>& destination) {
    if (packet.size() < kIpv6HeaderSize || packet[0] >> 4 != 6 ||
        !std::equal(destination.begin(), destination.end(), packet.begin() + 24))
        return {};
    std::uint8_t next = packet[6];
    std::size_t offset = kIpv6HeaderSize;
    // A handful of extension headers at most: a loop over hostile bytes must end.
    for (int hops = 0; hops < 8 && next != kNextIcmpV6; ++hops) {
        if (offset + 8 > packet.size())
            return {};
        if (next == kNextFragment) {
            if ((read16(packet, offset + 2) & 0xfff8) != 0)
                return {}; // a later fragment has no ICMPv6 header
            next = packet[offset];
            offset += 8;
        } else if (isExtensionHeader(next)) {
            const std::size_t length = (static_cast<std::size_t>(packet[offset + 1]) + 1) * 8;
            next = packet[offset];
            offset += length;
        } else {
            return {};
        }
    }
    if (next != kNextIcmpV6 || offset > packet.size())
        return {};
    return packet.subspan(offset);
}

bool isEchoOf(std::span<const std::uint8_t> icmp, std::uint8_t type, const EchoRequestKey& key, bool checkId) {
    return icmp.size() >= kHeaderSize && icmp[0] == type && icmp[1] == 0 && (!checkId || read16(icmp, 4) == key.id) &&
           read16(icmp, 6) == key.sequence;
}

} // namespace

// Summed in native-order 32-bit words: the ones' complement sum does not care about byte order or word width,
// so only the folded result needs turning into network order. Every request and reply goes through here.
std::uint16_t checksum(std::span<const std::uint8_t> bytes) {
    std::uint64_t sum = 0;
    std::size_t i = 0;
    for (; i + 4 <= bytes.size(); i += 4) {
        std::uint32_t word = 0;
        std::memcpy(&word, bytes.data() + i, sizeof word);
        sum += word;
    }
    if (i + 2 <= bytes.size()) {
        std::uint16_t word = 0;
        std::memcpy(&word, bytes.data() + i, sizeof word);
        sum += word;
        i += 2;
    }
    if (i < bytes.size()) {
        const std::uint8_t last[2] = {bytes[i], 0};
        std::uint16_t word = 0;
        std::memcpy(&word, last, sizeof word);
        sum += word;
    }
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    auto folded = static_cast<std::uint16_t>(~sum & 0xffff);
    if constexpr (std::endian::native == std::endian::little)
        folded = static_cast<std::uint16_t>(folded >> 8 | folded << 8);
    return folded;
}

void buildEchoRequest(std::vector<std::uint8_t>& packet, std::uint16_t id, std::uint16_t sequence,
                      const std::uint8_t* data, std::uint16_t size, bool withChecksum) {
    packet.resize(kHeaderSize + size);
    packet[0] = kEchoRequest;
    packet[1] = 0;
    packet[2] = packet[3] = 0;
    packet[4] = static_cast<std::uint8_t>(id >> 8);
    packet[5] = static_cast<std::uint8_t>(id);
    packet[6] = static_cast<std::uint8_t>(sequence >> 8);
    packet[7] = static_cast<std::uint8_t>(sequence);
    if (size > 0)
        std::copy_n(data, size, packet.begin() + kHeaderSize);
    if (withChecksum) {
        const std::uint16_t sum = checksum(packet);
        packet[2] = static_cast<std::uint8_t>(sum >> 8);
        packet[3] = static_cast<std::uint8_t>(sum);
    }
}

std::optional<std::int32_t> errorStatus(std::uint8_t type, std::uint8_t code) {
    for (const ErrorRow& row : kErrorTable)
        if (row.type == type && (row.code == kAnyCode || row.code == code))
            return row.status;
    return std::nullopt;
}

EchoMatch matchRawPacket(std::span<const std::uint8_t> packet, const EchoRequestKey& key) {
    const std::size_t ipLength = icmpIpHeaderLength(packet);
    if (ipLength == 0 || read16(packet, 2) > packet.size() || read16(packet, 2) < ipLength)
        return {};
    packet = packet.first(read16(packet, 2));
    const std::span<const std::uint8_t> icmp = packet.subspan(ipLength);
    if (icmp.size() < kHeaderSize || checksum(icmp) != 0)
        return {};
    const std::uint32_t source = readAddress(packet, 12);
    const std::uint8_t ttl = packet[8];
    if (icmp[0] == kEchoReply) {
        if (source != key.destination || !isEchoOf(icmp, kEchoReply, key, true))
            return {};
        return {EchoMatch::Kind::Reply, source, ttl, IpStatus::Success, icmp.subspan(kHeaderSize)};
    }
    const std::optional<std::int32_t> status = errorStatus(icmp[0], icmp[1]);
    if (!status)
        return {};
    const std::span<const std::uint8_t> inner = icmp.subspan(kHeaderSize);
    const std::size_t innerIpLength = icmpIpHeaderLength(inner);
    if (innerIpLength == 0 || readAddress(inner, 16) != key.destination ||
        !isEchoOf(inner.subspan(innerIpLength), kEchoRequest, key, true))
        return {};
    return {EchoMatch::Kind::Error, source, ttl, *status, {}};
}

EchoMatch matchDatagramReply(std::span<const std::uint8_t> message, std::uint32_t source, std::uint8_t ttl,
                             const EchoRequestKey& key) {
    if (source != key.destination || !isEchoOf(message, kEchoReply, key, false))
        return {};
    return {EchoMatch::Kind::Reply, source, ttl, IpStatus::Success, message.subspan(kHeaderSize)};
}

std::optional<WrongData> compareEchoData(std::span<const std::uint8_t> sent, std::span<const std::uint8_t> echoed) {
    const std::size_t common = std::min(sent.size(), echoed.size());
    const auto differ = std::mismatch(sent.begin(), sent.begin() + static_cast<std::ptrdiff_t>(common), echoed.begin());
    const bool bytesDiffer = differ.first != sent.begin() + static_cast<std::ptrdiff_t>(common);
    if (!bytesDiffer && sent.size() == echoed.size())
        return std::nullopt;
    WrongData wrong;
    wrong.offset = static_cast<std::uint32_t>(differ.first - sent.begin());
    wrong.bytesDiffer = bytesDiffer;
    if (bytesDiffer) {
        wrong.sent = *differ.first;
        wrong.echoed = *differ.second;
    }
    wrong.sizeDifference = static_cast<std::int32_t>(echoed.size()) - static_cast<std::int32_t>(sent.size());
    return wrong;
}

bool quotesRequest(std::span<const std::uint8_t> quoted, std::uint16_t sequence) {
    return isEchoOf(quoted, kEchoRequest, EchoRequestKey{0, 0, sequence}, false);
}

void buildEchoRequestV6(std::vector<std::uint8_t>& packet, std::uint16_t id, std::uint16_t sequence,
                        const std::uint8_t* data, std::uint16_t size) {
    buildEchoRequest(packet, id, sequence, data, size, false);
    packet[0] = kV6EchoRequest;
}

std::optional<std::int32_t> errorStatusV6(std::uint8_t type, std::uint8_t code) {
    if (type == kV6TimeExceeded)
        return code == 1 ? IpStatus::TtlExpiredReassembly : IpStatus::TtlExpiredTransit;
    for (const ErrorRow& row : kErrorTableV6)
        if (row.type == type && (row.code == kAnyCode || row.code == code))
            return row.status;
    return std::nullopt;
}

EchoMatch matchRawMessageV6(std::span<const std::uint8_t> message, std::span<const std::uint8_t, 16> source,
                            const EchoRequestKeyV6& key) {
    if (message.size() < kHeaderSize)
        return {};
    const EchoRequestKey plain{0, key.id, key.sequence};
    if (message[0] == kV6EchoReply) {
        if (!std::equal(source.begin(), source.end(), key.destination.begin()) ||
            !isEchoOf(message, kV6EchoReply, plain, true))
            return {};
        return {EchoMatch::Kind::Reply, 0, 0, IpStatus::Success, message.subspan(kHeaderSize)};
    }
    const std::optional<std::int32_t> status = errorStatusV6(message[0], message[1]);
    if (!status || !isEchoOf(quotedIcmpV6(message.subspan(kHeaderSize), key.destination), kV6EchoRequest, plain, true))
        return {};
    return {EchoMatch::Kind::Error, 0, 0, *status, {}};
}

EchoMatch matchDatagramReplyV6(std::span<const std::uint8_t> message, std::span<const std::uint8_t, 16> source,
                               const EchoRequestKeyV6& key) {
    if (!std::equal(source.begin(), source.end(), key.destination.begin()) ||
        !isEchoOf(message, kV6EchoReply, EchoRequestKey{0, 0, key.sequence}, false))
        return {};
    return {EchoMatch::Kind::Reply, 0, 0, IpStatus::Success, message.subspan(kHeaderSize)};
}

bool quotesRequestV6(std::span<const std::uint8_t> quoted, std::uint16_t sequence) {
    return isEchoOf(quoted, kV6EchoRequest, EchoRequestKey{0, 0, sequence}, false);
}

std::optional<std::uint16_t> claimedSequence(std::span<const std::uint8_t> message, bool v6, bool withIpHeader) {
    if (!v6 && withIpHeader) {
        const std::size_t ipLength = icmpIpHeaderLength(message);
        if (ipLength == 0)
            return std::nullopt;
        message = message.subspan(ipLength);
    }
    if (message.size() < kHeaderSize)
        return std::nullopt;
    if (message[0] == (v6 ? kV6EchoReply : kEchoReply))
        return read16(message, 6);
    const std::span<const std::uint8_t> quoted = message.subspan(kHeaderSize);
    std::span<const std::uint8_t> request;
    if (v6) {
        if (quoted.size() < kIpv6HeaderSize)
            return std::nullopt;
        std::array<std::uint8_t, 16> destination{};
        std::copy_n(quoted.begin() + 24, destination.size(), destination.begin());
        request = quotedIcmpV6(quoted, destination);
    } else {
        const std::size_t innerIpLength = icmpIpHeaderLength(quoted);
        if (innerIpLength == 0)
            return std::nullopt;
        request = quoted.subspan(innerIpLength);
    }
    if (request.size() < kHeaderSize)
        return std::nullopt;
    return read16(request, 6);
}

} // namespace IcmpPacket
