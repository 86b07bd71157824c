#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>

#include <sys/socket.h>

#include "types/IpAddress.h"
#include "engine/RoundTrip.h"

// The set-up and the reading of a Linux ICMP or ICMPv6 socket, shared by the echo channel (one request at a
// time) and the hub (many hosts on one socket): the unprivileged datagram ("ping") socket where
// net.ipv4.ping_group_range admits us (it governs both families), else a raw socket (root or CAP_NET_RAW).
namespace IcmpSocket {

enum class Kind : std::uint8_t { None, Datagram, Raw };
// Auto tries the datagram socket first, like ping; the others pin one kind.
enum class Preference : std::uint8_t { Auto, DatagramOnly, RawOnly };

struct Opened {
    int fd = -1;
    Kind kind = Kind::None;
};

// A socket for destinations of `family`, sending from `source` (an interface name or a local address; empty:
// the kernel's choice), with the options both users need (errors and TTL beside the messages, the kernel's
// arrival stamps, type filters on a raw socket). On failure fd is -1 and the reason went to standard error.
[[nodiscard]] Opened open(IpAddress::Family family, const std::string& source, Preference preference);

// Keeps echo replies with another identifier out of a raw socket (errors pass).
bool attachIdentifierFilter(int fd, bool v6, std::uint16_t id);
[[nodiscard]] std::uint16_t randomId();

[[nodiscard]] timespec now();
[[nodiscard]] std::int64_t nanosBetween(const timespec& from, const timespec& to);
// The two clocks right after a receive, read back to back so that they tell the same moment.
[[nodiscard]] RoundTrip::Readings readingsAfterReceive(const timespec& sentAt);

[[nodiscard]] socklen_t socketAddress(const IpAddress& address, sockaddr_storage& storage);
[[nodiscard]] IpAddress addressFrom(const sockaddr_storage& from);

// IP status of a send the kernel refused with `error`.
[[nodiscard]] std::int32_t localSendStatus(int error);
// Whether a refused datagram socket leaves the raw one to try (no admission, or no ping sockets in this kernel).
[[nodiscard]] bool mayFallBackToRaw(int error);
// Whether a receive failed for a fault of the socket itself (not a pending ICMP error).
[[nodiscard]] bool isSocketFault(int error);

// One message as recvmsg(2) reads it: the data, who sent it (or, from the error queue, where the request
// went) and the ancillary data the socket asked for. It points into itself, so it stays where it was made.
struct Message {
    sockaddr_storage from{};
    alignas(cmsghdr) std::uint8_t control[512];
    iovec data{};
    msghdr header{};

    // The message's length, or -1 with errno set, as recvmsg gives them.
    ssize_t receive(int fd, std::span<std::uint8_t> into, int flags);
};

// What came beside a received message: the kernel's arrival stamp and the TTL (hop limit).
struct Control {
    std::optional<std::int64_t> kernelReal; // ns, CLOCK_REALTIME
    std::uint8_t ttl = 0;
};
[[nodiscard]] Control readControl(msghdr& message);

// One record of a datagram socket's error queue: the ICMP error (or local failure) and who reported it.
struct QueuedError {
    std::int32_t status = 0;
    std::uint8_t ttl = 0;
    IpAddress offender;
};
[[nodiscard]] std::optional<QueuedError> readQueuedError(msghdr& message, bool v6);

} // namespace IcmpSocket
