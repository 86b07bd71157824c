#include "engine/IcmpSocket.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/filter.h>
#include <linux/icmp.h>
#include <linux/if.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/IcmpPacket.h"
#include "engine/RoundTrip.h"
#include "types/IpStatus.h"

namespace IcmpSocket {
namespace {

using Family = IpAddress::Family;

std::string pingGroupRange() {
    std::ifstream file("/proc/sys/net/ipv4/ping_group_range");
    std::string low, high;
    if (!(file >> low >> high))
        return "unknown";
    return low + " " + high;
}

std::string ownExecutable() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string("<program>");
}

void reportOpenFailure(int datagramError, int rawError) {
    std::string text = "Cannot open an ICMP socket.\n";
    if (datagramError != 0) {
        text += "  ping socket: " + std::string(std::strerror(datagramError));
        if (datagramError == EACCES)
            text += ": net.ipv4.ping_group_range (" + pingGroupRange() + ") excludes group " +
                    std::to_string(getegid()) + "; allow it with: sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"";
        text += "\n";
    }
    if (rawError != 0) {
        text += "  raw socket: " + std::string(std::strerror(rawError));
        if (rawError == EPERM || rawError == EACCES)
            text += ": the program lacks cap_net_raw; grant it with: setcap cap_net_raw+ep " + ownExecutable();
        text += "\n";
    }
    std::fputs(text.c_str(), stderr);
}

int setOption(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value);
}

std::uint8_t intFrom(const cmsghdr* c) {
    int value = 0;
    std::memcpy(&value, CMSG_DATA(c), sizeof value);
    return static_cast<std::uint8_t>(value);
}

bool isPermissionError(int error) {
    return error == EPERM || error == EACCES;
}

// A source given as a numeric address; nothing when it is an interface name.
std::optional<IpAddress> sourceAddress(const std::string& source) {
    in_addr v4{};
    if (inet_pton(AF_INET, source.c_str(), &v4) == 1)
        return IpAddress::v4(v4.s_addr);
    return IpAddress::parseV6(source);
}

// Requests leave from `source` as ping's -I has them: a local address is bound, anything else is taken for
// an interface name. Returns 0, or why not (EAFNOSUPPORT: an address of the other family).
int bindSource(int fd, Family family, const std::string& source) {
    if (source.empty())
        return 0;
    const std::optional<IpAddress> address = sourceAddress(source);
    if (!address) {
        if (source.size() >= IFNAMSIZ)
            return ENODEV;
        const auto length = static_cast<socklen_t>(source.size() + 1);
        return setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, source.c_str(), length) == 0 ? 0 : errno;
    }
    if (address->family != family)
        return EAFNOSUPPORT;
    sockaddr_storage storage{};
    const socklen_t length = socketAddress(*address, storage);
    return bind(fd, reinterpret_cast<const sockaddr*>(&storage), length) == 0 ? 0 : errno;
}

void reportSourceFailure(const std::string& source, Family family, int error) {
    std::string text;
    if (sourceAddress(source)) {
        text = "Cannot send from address " + source + ": ";
        if (error == EAFNOSUPPORT)
            text += std::string("not an ") + (family == Family::V6 ? "IPv6" : "IPv4") + " address, as the target is";
        else if (error == EADDRNOTAVAIL)
            text += std::string(std::strerror(error)) + ": no interface here has it";
        else
            text += std::strerror(error);
    } else {
        text = "Cannot send from interface \"" + source + "\": " + std::strerror(error);
        if (isPermissionError(error))
            text +=
                ": binding to an interface needs cap_net_raw; grant it with: setcap cap_net_raw+ep " + ownExecutable();
    }
    text += "\n";
    std::fputs(text.c_str(), stderr);
}

int openKind(Kind kind, Family family) {
    const int type = kind == Kind::Raw ? SOCK_RAW : SOCK_DGRAM;
    const bool v6 = family == Family::V6;
    const int protocol = v6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP};
    const int fd = socket(v6 ? AF_INET6 : AF_INET, type | SOCK_CLOEXEC, protocol);
    if (fd < 0)
        return -1;
    int failed = 0;
    if (v6) {
        failed |= setOption(fd, SOL_IPV6, IPV6_RECVHOPLIMIT, 1);
        if (kind == Kind::Datagram) {
            failed |= setOption(fd, SOL_IPV6, IPV6_RECVERR, 1);
        } else {
            // As for IPv4: replies and errors only; neighbour discovery and our own requests stay out.
            icmp6_filter filter{};
            ICMP6_FILTER_SETBLOCKALL(&filter);
            for (int pass :
                 {ICMP6_ECHO_REPLY, ICMP6_DST_UNREACH, ICMP6_PACKET_TOO_BIG, ICMP6_TIME_EXCEEDED, ICMP6_PARAM_PROB})
                ICMP6_FILTER_SETPASS(pass, &filter);
            failed |= setsockopt(fd, SOL_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
        }
    } else if (kind == Kind::Datagram) {
        failed |= setOption(fd, SOL_IP, IP_RECVERR, 1);
        failed |= setOption(fd, SOL_IP, IP_RECVTTL, 1);
    } else {
        // Everything but replies and errors (our own requests on loopback above all) stays in the kernel.
        icmp_filter filter{};
        filter.data = ~((1U << ICMP_ECHOREPLY) | (1U << ICMP_DEST_UNREACH) | (1U << ICMP_SOURCE_QUENCH) |
                        (1U << ICMP_TIME_EXCEEDED) | (1U << ICMP_PARAMETERPROB));
        failed |= setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    }
    // Don't Fragment off, as `ping -M dont`: a router before a narrow link fragments the request instead of
    // refusing it, and a path MTU that has expired by the next probe costs nothing. IPv6 routers never
    // fragment, but the sending kernel does, down to the path MTU it has been told of. A refusal leaves the
    // kernel's default, which still probes; it is no reason to have no socket.
    if (v6) {
        (void)setOption(fd, SOL_IPV6, IPV6_MTU_DISCOVER, IPV6_PMTUDISC_DONT);
        (void)setOption(fd, SOL_IPV6, IPV6_DONTFRAG, 0);
    } else {
        (void)setOption(fd, SOL_IP, IP_MTU_DISCOVER, IP_PMTUDISC_DONT);
    }
    // The kernel's arrival stamp keeps a late wake-up of this thread out of the round-trip time; without
    // it the time is taken after the receive, so a refusal costs accuracy only.
    (void)setOption(fd, SOL_SOCKET, SO_TIMESTAMPNS, 1);
    if (failed != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

} // namespace

timespec now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

std::int64_t nanosBetween(const timespec& from, const timespec& to) {
    return (static_cast<std::int64_t>(to.tv_sec) - from.tv_sec) * 1'000'000'000 + (to.tv_nsec - from.tv_nsec);
}

std::int32_t localSendStatus(int error) {
    switch (error) {
    case ENETUNREACH:
        return IpStatus::DestNetUnreachable;
    case EHOSTUNREACH:
        return IpStatus::DestHostUnreachable;
    case EMSGSIZE:
        return IpStatus::PacketTooBig;
    default:
        return IpStatus::GeneralFailure;
    }
}

bool mayFallBackToRaw(int error) {
    return error == EACCES || error == EPERM || error == EAFNOSUPPORT || error == EPROTONOSUPPORT;
}

bool isSocketFault(int error) {
    return error == EBADF || error == ENOTSOCK || error == EFAULT || error == EINVAL || error == ENOMEM;
}

std::uint16_t randomId() {
    std::uint16_t value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value))
        value = static_cast<std::uint16_t>(getpid());
    return value;
}

// Someone else's echo replies stay in the kernel, as ping keeps them out: a flood of them (forged, or another
// prober's) would otherwise crowd ours out of the receive buffer. Errors pass to be matched by the request they
// quote; the type filter has already narrowed what comes this far. A raw IPv4 socket sees the IP header first,
// a raw ICMPv6 one the ICMPv6 header. The identifier is loaded in network order, as the request carries it.
bool attachIdentifierFilter(int fd, bool v6, std::uint16_t id) {
    std::array<sock_filter, 8> program{{
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),                    // X = the IP header's length
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),                     // A = identifier
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, id, 0, 1),             // ours?
        BPF_STMT(BPF_RET | BPF_K, 0xffffffffU),                    //   keep it
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),                     // A = type
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ICMP_ECHOREPLY, 1, 0), // an echo reply?
        BPF_STMT(BPF_RET | BPF_K, 0xffffffffU),                    //   no: an error, keep it
        BPF_STMT(BPF_RET | BPF_K, 0),                              //   yes, not ours: drop
    }};
    std::span<sock_filter> code(program);
    if (v6) {
        // No IP header in front: absolute loads, one instruction less.
        program[1] = BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 4);
        program[4] = BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 0);
        program[5] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ICMP6_ECHO_REPLY, 1, 0);
        code = code.subspan(1);
    }
    const sock_fprog filter{static_cast<unsigned short>(code.size()), code.data()};
    return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) == 0;
}

// The two clocks right after a receive, read back to back so that they tell the same moment.
RoundTrip::Readings readingsAfterReceive(const timespec& sentAt) {
    RoundTrip::Readings readings;
    readings.sentMono = RoundTrip::nanos(sentAt);
    timespec mono{};
    timespec real{};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    clock_gettime(CLOCK_REALTIME, &real);
    readings.receivedMono = RoundTrip::nanos(mono);
    readings.receivedReal = RoundTrip::nanos(real);
    return readings;
}

// The sockets name their peers.
IpAddress addressFrom(const sockaddr_storage& from) {
    if (from.ss_family == AF_INET6) {
        sockaddr_in6 sin6{};
        std::memcpy(&sin6, &from, sizeof sin6);
        std::array<std::uint8_t, 16> bytes{};
        std::memcpy(bytes.data(), &sin6.sin6_addr, bytes.size());
        return IpAddress::v6(bytes, sin6.sin6_scope_id);
    }
    if (from.ss_family == AF_INET) {
        sockaddr_in sin{};
        std::memcpy(&sin, &from, sizeof sin);
        return IpAddress::v4(sin.sin_addr.s_addr);
    }
    return {};
}

socklen_t socketAddress(const IpAddress& address, sockaddr_storage& storage) {
    storage = {};
    if (address.isV6()) {
        sockaddr_in6 sin6{};
        sin6.sin6_family = AF_INET6;
        std::memcpy(&sin6.sin6_addr, address.bytes.data(), sizeof sin6.sin6_addr);
        sin6.sin6_scope_id = address.scopeId;
        std::memcpy(&storage, &sin6, sizeof sin6);
        return sizeof sin6;
    }
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = address.v4Value();
    std::memcpy(&storage, &sin, sizeof sin);
    return sizeof sin;
}

Opened open(Family family, const std::string& source, Preference preference) {
    Opened opened;
    if (family == Family::None)
        return opened;
    int datagramError = 0;
    int rawError = 0;
    int sourceError = 0;
    const auto bindOrDrop = [&] {
        sourceError = bindSource(opened.fd, family, source);
        if (sourceError != 0) {
            ::close(opened.fd);
            opened.fd = -1;
        }
    };
    if (preference != Preference::RawOnly) {
        opened.fd = openKind(Kind::Datagram, family);
        datagramError = opened.fd < 0 ? errno : 0;
        opened.kind = Kind::Datagram;
        if (opened.fd >= 0)
            bindOrDrop();
    }
    // An older kernel lets only cap_net_raw bind a datagram socket to an interface; a raw socket may have it.
    if (opened.fd < 0 && preference != Preference::DatagramOnly &&
        (preference == Preference::RawOnly || mayFallBackToRaw(datagramError) || isPermissionError(sourceError))) {
        opened.fd = openKind(Kind::Raw, family);
        rawError = opened.fd < 0 ? errno : 0;
        opened.kind = Kind::Raw;
        if (opened.fd >= 0)
            bindOrDrop();
    }
    if (opened.fd < 0) {
        opened.kind = Kind::None;
        // A socket that opened and could not take the source fails for that reason alone: why another kind
        // was refused first would send the user to the wrong fix.
        if (sourceError != 0)
            reportSourceFailure(source, family, sourceError);
        else if (datagramError != 0 || rawError != 0)
            reportOpenFailure(datagramError, rawError);
    }
    return opened;
}

Control readControl(msghdr& message) {
    Control control;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMPNS &&
            c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            control.kernelReal = RoundTrip::nanos(stamp);
        } else if (((c->cmsg_level == SOL_IP && c->cmsg_type == IP_TTL) ||
                    (c->cmsg_level == SOL_IPV6 && c->cmsg_type == IPV6_HOPLIMIT)) &&
                   c->cmsg_len >= CMSG_LEN(sizeof(int))) {
            control.ttl = intFrom(c);
        }
    }
    return control;
}

std::optional<QueuedError> readQueuedError(msghdr& message, bool v6) {
    QueuedError found;
    bool isError = false;
    const int level = v6 ? SOL_IPV6 : SOL_IP;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != level)
            continue;
        if (c->cmsg_type == (v6 ? IPV6_HOPLIMIT : IP_TTL) && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
            found.ttl = intFrom(c);
        } else if (c->cmsg_type == (v6 ? IPV6_RECVERR : IP_RECVERR) &&
                   c->cmsg_len >= CMSG_LEN(sizeof(sock_extended_err))) {
            sock_extended_err error{};
            std::memcpy(&error, CMSG_DATA(c), sizeof error);
            if (error.ee_origin == (v6 ? SO_EE_ORIGIN_ICMP6 : SO_EE_ORIGIN_ICMP)) {
                const std::optional<std::int32_t> status = v6 ? IcmpPacket::errorStatusV6(error.ee_type, error.ee_code)
                                                              : IcmpPacket::errorStatus(error.ee_type, error.ee_code);
                if (!status)
                    continue;
                found.status = *status;
            } else if (error.ee_origin == SO_EE_ORIGIN_LOCAL) {
                found.status = localSendStatus(static_cast<int>(error.ee_errno));
            } else {
                continue;
            }
            // SO_EE_OFFENDER: who reported it, right behind the record.
            const std::size_t room = c->cmsg_len - CMSG_LEN(sizeof error);
            sockaddr_storage from{};
            std::memcpy(&from, CMSG_DATA(c) + sizeof error, std::min(room, sizeof from));
            found.offender = addressFrom(from);
            isError = true;
        }
    }
    if (!isError)
        return std::nullopt;
    return found;
}

ssize_t Message::receive(int fd, std::span<std::uint8_t> into, int flags) {
    data = iovec{into.data(), into.size()};
    header = msghdr{};
    header.msg_name = &from;
    header.msg_namelen = sizeof from;
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    return ::recvmsg(fd, &header, flags);
}

} // namespace IcmpSocket
