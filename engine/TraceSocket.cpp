#include "engine/TraceSocket.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <span>

#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/IcmpPacket.h"
#include "engine/IcmpSocket.h"
#include "types/IpStatus.h"

namespace {

using Family = IpAddress::Family;
using Answer = TraceSocket::Answer;

// mtr's default packet is 64 bytes with the IPv4 header: 36 bytes of zeros behind the ICMP header, so both put
// the same load on the path.
constexpr std::uint16_t kPayloadBytes = 36;
constexpr std::size_t kReceiveBufferSize = 2048; // answers quote at most 576 bytes (IPv4) or 1232 (IPv6)

std::int64_t clockNanos(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

int setOption(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value);
}

std::uint16_t read16(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return offset + 2 <= bytes.size() ? static_cast<std::uint16_t>(bytes[offset] << 8 | bytes[offset + 1]) : 0;
}

// An error status names the answer: an expired TTL is a router on the way, every other verdict ends the path.
// A reassembly timeout or a source quench says nothing about the hop.
std::optional<Answer::Type> errorType(std::int32_t status) {
    if (status == IpStatus::TtlExpiredTransit)
        return Answer::Type::TimeExceeded;
    if (status == IpStatus::TtlExpiredReassembly || status == IpStatus::SourceQuench)
        return std::nullopt;
    return Answer::Type::Unreachable;
}

void readStamp(msghdr& message, Answer& answer) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMPNS &&
            c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            answer.kernelReal = static_cast<std::int64_t>(stamp.tv_sec) * 1'000'000'000 + stamp.tv_nsec;
        }
}

} // namespace

TraceSocket::~TraceSocket() {
    close();
}

void TraceSocket::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    kind_ = Kind::None;
    family_ = Family::None;
}

bool TraceSocket::open(Family family, Preference preference) {
    close();
    error_.clear();
    if (family == Family::None) {
        error_ = "no address family";
        return false;
    }
    int datagramError = 0;
    if (preference != Preference::RawOnly) {
        fd_ = openKind(Kind::Datagram, family);
        datagramError = fd_ < 0 ? errno : 0;
        kind_ = Kind::Datagram;
    }
    int rawError = 0;
    if (fd_ < 0 && preference != Preference::DatagramOnly &&
        (preference == Preference::RawOnly || IcmpSocket::mayFallBackToRaw(datagramError))) {
        fd_ = openKind(Kind::Raw, family);
        rawError = fd_ < 0 ? errno : 0;
        kind_ = Kind::Raw;
    }
    if (fd_ < 0) {
        kind_ = Kind::None;
        if (datagramError != 0)
            error_ = "ping socket: " + std::string(std::strerror(datagramError));
        if (rawError != 0)
            error_ += (error_.empty() ? "" : "; ") + std::string("raw socket: ") + std::strerror(rawError);
        return false;
    }
    family_ = family;
    id_ = IcmpSocket::randomId();
    received_.resize(kReceiveBufferSize);
    const std::vector<std::uint8_t> zeros(kPayloadBytes, 0);
    if (family == Family::V6)
        IcmpPacket::buildEchoRequestV6(request_, id_, 0, zeros.data(), kPayloadBytes);
    else
        IcmpPacket::buildEchoRequest(request_, id_, 0, zeros.data(), kPayloadBytes, false);
    return true;
}

int TraceSocket::openKind(Kind kind, Family family) {
    const bool v6 = family == Family::V6;
    const int fd =
        socket(v6 ? AF_INET6 : AF_INET, (kind == Kind::Raw ? SOCK_RAW : SOCK_DGRAM) | SOCK_CLOEXEC | SOCK_NONBLOCK,
               v6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP});
    if (fd < 0)
        return -1;
    int failed = 0;
    if (kind == Kind::Datagram) {
        failed |= v6 ? setOption(fd, SOL_IPV6, IPV6_RECVERR, 1) : setOption(fd, SOL_IP, IP_RECVERR, 1);
    } else if (v6) {
        icmp6_filter filter{};
        ICMP6_FILTER_SETBLOCKALL(&filter);
        for (int pass : {ICMP6_ECHO_REPLY, ICMP6_DST_UNREACH, ICMP6_TIME_EXCEEDED})
            ICMP6_FILTER_SETPASS(pass, &filter);
        failed |= setsockopt(fd, SOL_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
    } else {
        // Our own requests and everyone's other ICMP traffic stay in the kernel.
        icmp_filter filter{};
        filter.data = ~((1U << ICMP_ECHOREPLY) | (1U << ICMP_DEST_UNREACH) | (1U << ICMP_TIME_EXCEEDED));
        failed |= setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    }
    // Without the kernel's stamp the time is read after the receive: less exact, still an answer.
    (void)setOption(fd, SOL_SOCKET, SO_TIMESTAMPNS, 1);
    if (failed != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool TraceSocket::send(const IpAddress& destination, std::uint16_t sequence, std::uint8_t ttl) {
    if (fd_ < 0 || destination.family != family_)
        return false;
    request_[6] = static_cast<std::uint8_t>(sequence >> 8);
    request_[7] = static_cast<std::uint8_t>(sequence);
    if (kind_ == Kind::Raw && family_ == Family::V4) {
        request_[2] = request_[3] = 0;
        const std::uint16_t sum = IcmpPacket::checksum(request_);
        request_[2] = static_cast<std::uint8_t>(sum >> 8);
        request_[3] = static_cast<std::uint8_t>(sum);
    }
    sockaddr_storage target{};
    const socklen_t targetLength = IcmpSocket::socketAddress(destination, target);
    iovec data{request_.data(), request_.size()};
    // The TTL travels with the request: one system call each, whatever TTL the one before had.
    alignas(cmsghdr) std::uint8_t control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_name = &target;
    message.msg_namelen = targetLength;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = family_ == Family::V6 ? SOL_IPV6 : SOL_IP;
    c->cmsg_type = family_ == Family::V6 ? IPV6_HOPLIMIT : IP_TTL;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    const int hops = ttl;
    std::memcpy(CMSG_DATA(c), &hops, sizeof hops);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (sendmsg(fd_, &message, 0) == static_cast<ssize_t>(request_.size()))
            return true;
        if (errno == EINTR)
            continue;
        // An ICMP error about an earlier request fails the next send once, and the failure clears it; the error
        // itself stays queued for receive().
        if (errno != EHOSTUNREACH && errno != ENETUNREACH && errno != EPROTO)
            return false;
    }
    return false;
}

bool TraceSocket::receive(const IpAddress& destination, const std::function<void(const Answer&)>& take) {
    if (fd_ < 0)
        return false;
    if (kind_ == Kind::Datagram)
        receiveErrors(take);
    return receivePackets(destination, take);
}

bool TraceSocket::receivePackets(const IpAddress& destination, const std::function<void(const Answer&)>& take) {
    for (;;) {
        IcmpSocket::Message incoming;
        const ssize_t length = incoming.receive(fd_, received_, MSG_DONTWAIT);
        msghdr& message = incoming.header;
        const sockaddr_storage& from = incoming.from;
        if (length < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return true;
            if (errno == EINTR)
                continue;
            if (errno == EBADF || errno == ENOTSOCK || errno == EFAULT || errno == EINVAL || errno == ENOMEM)
                return false;
            // A pending ICMP error fails one receive; it waits on the error queue.
            if (kind_ == Kind::Datagram)
                receiveErrors(take);
            continue;
        }
        Answer answer;
        answer.receivedMono = clockNanos(CLOCK_MONOTONIC);
        answer.receivedReal = clockNanos(CLOCK_REALTIME);
        if ((message.msg_flags & MSG_TRUNC) != 0)
            continue;
        readStamp(message, answer);
        const std::span<const std::uint8_t> bytes(received_.data(), static_cast<std::size_t>(length));
        const IpAddress sender = IcmpSocket::addressFrom(from);
        IcmpPacket::EchoMatch match;
        if (family_ == Family::V6) {
            if (!sender.isV6())
                continue;
            const IcmpPacket::EchoRequestKeyV6 key{destination.bytes, id_, 0};
            answer.sequence = IcmpPacket::claimedSequence(bytes, true, kind_ == Kind::Raw).value_or(0);
            IcmpPacket::EchoRequestKeyV6 exact = key;
            exact.sequence = answer.sequence;
            match = kind_ == Kind::Raw ? IcmpPacket::matchRawMessageV6(bytes, sender.v6Bytes(), exact)
                                       : IcmpPacket::matchDatagramReplyV6(bytes, sender.v6Bytes(), exact);
            answer.from = sender;
        } else {
            answer.sequence = IcmpPacket::claimedSequence(bytes, false, kind_ == Kind::Raw).value_or(0);
            const IcmpPacket::EchoRequestKey key{destination.v4Value(), id_, answer.sequence};
            match = kind_ == Kind::Raw ? IcmpPacket::matchRawPacket(bytes, key)
                                       : IcmpPacket::matchDatagramReply(bytes, sender.v4Value(), 0, key);
            answer.from = IpAddress::v4(match.source);
        }
        if (match.kind == IcmpPacket::EchoMatch::Kind::None)
            continue;
        if (match.kind == IcmpPacket::EchoMatch::Kind::Error) {
            const auto type = errorType(match.status);
            if (!type)
                continue;
            answer.type = *type;
        }
        take(answer);
    }
}

void TraceSocket::receiveErrors(const std::function<void(const Answer&)>& take) {
    const bool v6 = family_ == Family::V6;
    for (;;) {
        std::uint8_t quoted[64];
        IcmpSocket::Message incoming;
        const ssize_t length = incoming.receive(fd_, quoted, MSG_ERRQUEUE | MSG_DONTWAIT);
        msghdr& message = incoming.header;
        if (length < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        Answer answer;
        answer.receivedMono = clockNanos(CLOCK_MONOTONIC);
        answer.receivedReal = clockNanos(CLOCK_REALTIME);
        const std::span<const std::uint8_t> request(quoted, static_cast<std::size_t>(length));
        answer.sequence = read16(request, 6);
        if (!(v6 ? IcmpPacket::quotesRequestV6(request, answer.sequence)
                 : IcmpPacket::quotesRequest(request, answer.sequence)))
            continue;
        readStamp(message, answer);
        bool ours = false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != (v6 ? SOL_IPV6 : SOL_IP) || c->cmsg_type != (v6 ? IPV6_RECVERR : IP_RECVERR) ||
                c->cmsg_len < CMSG_LEN(sizeof(sock_extended_err)))
                continue;
            sock_extended_err error{};
            std::memcpy(&error, CMSG_DATA(c), sizeof error);
            if (error.ee_origin != (v6 ? SO_EE_ORIGIN_ICMP6 : SO_EE_ORIGIN_ICMP))
                continue;
            const auto status = v6 ? IcmpPacket::errorStatusV6(error.ee_type, error.ee_code)
                                   : IcmpPacket::errorStatus(error.ee_type, error.ee_code);
            const auto type = status ? errorType(*status) : std::nullopt;
            if (!type)
                continue;
            answer.type = *type;
            // SO_EE_OFFENDER: who reported it, right behind the record.
            sockaddr_storage offender{};
            std::memcpy(&offender, CMSG_DATA(c) + sizeof error,
                        std::min(c->cmsg_len - CMSG_LEN(sizeof error), sizeof offender));
            answer.from = IcmpSocket::addressFrom(offender);
            ours = answer.from.family == family_;
        }
        // Only errors about this socket's requests come here; the tracer keeps those of the requests pending.
        if (ours)
            take(answer);
    }
}
