#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "types/ProbeEvent.h"

// Building echo requests and recognising what comes back on an ICMP socket. Everything here reads bytes
// only, so hostile or truncated packets can be fed to it freely.
namespace IcmpPacket {

constexpr std::uint8_t kEchoReply = 0;
constexpr std::uint8_t kDestinationUnreachable = 3;
constexpr std::uint8_t kSourceQuench = 4;
constexpr std::uint8_t kRedirect = 5;
constexpr std::uint8_t kEchoRequest = 8;
constexpr std::uint8_t kTimeExceeded = 11;
constexpr std::uint8_t kParameterProblem = 12;

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kMinIpHeaderSize = 20;

// Internet checksum (RFC 1071): the value to store in the checksum field; 0 when checked over a whole
// message whose checksum field is right.
[[nodiscard]] std::uint16_t checksum(std::span<const std::uint8_t> bytes);

// Fills `packet` with an echo request: header, then `size` bytes of `data`. The datagram socket's kernel
// sets identifier and checksum itself, so `withChecksum` is only needed on a raw socket.
void buildEchoRequest(std::vector<std::uint8_t>& packet, std::uint16_t id, std::uint16_t sequence,
                      const std::uint8_t* data, std::uint16_t size, bool withChecksum);

// IP status of an ICMP error message, or nothing when the message is no verdict on the request
// (a redirect, an echo reply, anything unknown).
[[nodiscard]] std::optional<std::int32_t> errorStatus(std::uint8_t type, std::uint8_t code);

// The request a received packet has to answer.
struct EchoRequestKey {
    std::uint32_t destination = 0; // network byte order
    std::uint16_t id = 0;
    std::uint16_t sequence = 0;
};

// What a received packet means for the request.
struct EchoMatch {
    enum class Kind : std::uint8_t { None, Reply, Error };
    Kind kind = Kind::None;
    std::uint32_t source = 0; // the replier, or the router or host that reported the error
    std::uint8_t ttl = 0;
    std::int32_t status = 0;
    std::span<const std::uint8_t> data; // echoed data of a reply
};

// A packet from a raw socket: IP header first. A reply counts only when it comes from the destination with
// our identifier and sequence and a sound checksum; an error only when it quotes our request.
[[nodiscard]] EchoMatch matchRawPacket(std::span<const std::uint8_t> packet, const EchoRequestKey& key);

// An ICMP message from a datagram socket (no IP header; the kernel has already checked the identifier).
[[nodiscard]] EchoMatch matchDatagramReply(std::span<const std::uint8_t> message, std::uint32_t source,
                                           std::uint8_t ttl, const EchoRequestKey& key);

// How the data echoed by a reply differs from the data sent; nothing when the two are the same.
[[nodiscard]] std::optional<WrongData> compareEchoData(std::span<const std::uint8_t> sent,
                                                       std::span<const std::uint8_t> echoed);

// Whether the request header quoted by an error (datagram error queue) is ours.
[[nodiscard]] bool quotesRequest(std::span<const std::uint8_t> quoted, std::uint16_t sequence);

// ICMPv6. The kernel computes and checks ICMPv6 checksums on both socket kinds, and neither kind hands over
// the IPv6 header: the sender and the hop limit come beside the message, so the matches below leave `source`
// and `ttl` at 0 for the caller to fill.
constexpr std::uint8_t kV6DestinationUnreachable = 1;
constexpr std::uint8_t kV6PacketTooBig = 2;
constexpr std::uint8_t kV6TimeExceeded = 3;
constexpr std::uint8_t kV6ParameterProblem = 4;
constexpr std::uint8_t kV6EchoRequest = 128;
constexpr std::uint8_t kV6EchoReply = 129;
constexpr std::size_t kIpv6HeaderSize = 40;

struct EchoRequestKeyV6 {
    std::array<std::uint8_t, 16> destination{};
    std::uint16_t id = 0;
    std::uint16_t sequence = 0;
};

// An ICMPv6 echo request: header (checksum left 0), then `size` bytes of `data`.
void buildEchoRequestV6(std::vector<std::uint8_t>& packet, std::uint16_t id, std::uint16_t sequence,
                        const std::uint8_t* data, std::uint16_t size);

// IP status of an ICMPv6 error message, or nothing when it is no verdict on the request.
[[nodiscard]] std::optional<std::int32_t> errorStatusV6(std::uint8_t type, std::uint8_t code);

// A message from a raw ICMPv6 socket sent by `source`. A reply counts only when it comes from the destination
// with our identifier and sequence; an error only when it quotes our request (the IPv6 header to the
// destination, then our echo request, past any extension headers).
[[nodiscard]] EchoMatch matchRawMessageV6(std::span<const std::uint8_t> message,
                                          std::span<const std::uint8_t, 16> source, const EchoRequestKeyV6& key);

// A message from a datagram ICMPv6 socket (the kernel has already checked the identifier).
[[nodiscard]] EchoMatch matchDatagramReplyV6(std::span<const std::uint8_t> message,
                                             std::span<const std::uint8_t, 16> source, const EchoRequestKeyV6& key);

// Whether the ICMPv6 request quoted by an error (datagram error queue) is ours.
[[nodiscard]] bool quotesRequestV6(std::span<const std::uint8_t> quoted, std::uint16_t sequence);

// The sequence number a received message claims to answer: an echo reply's own, or that of the request an
// error quotes. Only a hint for finding the request among many: the match functions above then check it all.
// `withIpHeader`: the message starts with its IPv4 header (a raw IPv4 socket).
[[nodiscard]] std::optional<std::uint16_t> claimedSequence(std::span<const std::uint8_t> message, bool v6,
                                                           bool withIpHeader);

} // namespace IcmpPacket
