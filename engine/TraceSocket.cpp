#include "engine/TraceSocket.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <span>

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

bool TraceSocket::open(Family family, Preference preference, const std::string& source) {
    close();
    error_.clear();
    if (family == Family::None) {
        error_ = "no address family";
        return false;
    }
    const IcmpSocket::Opened opened = IcmpSocket::open(family, source, preference);
    if (opened.fd < 0) {
        error_ = "no ICMP socket";
        return false;
    }
    fd_ = opened.fd;
    kind_ = opened.kind;
    family_ = family;
    id_ = IcmpSocket::randomId();
    // A raw socket sees every echo reply on the machine: the hub's and ping's stay in the kernel.
    if (kind_ == Kind::Raw)
        (void)IcmpSocket::attachIdentifierFilter(fd_, family == Family::V6, id_);
    received_.resize(kReceiveBufferSize);
    const std::vector<std::uint8_t> zeros(kPayloadBytes, 0);
    if (family == Family::V6)
        IcmpPacket::buildEchoRequestV6(request_, id_, 0, zeros.data(), kPayloadBytes);
    else
        IcmpPacket::buildEchoRequest(request_, id_, 0, zeros.data(), kPayloadBytes, false);
    return true;
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
            if (IcmpSocket::isSocketFault(errno))
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
        const std::optional<IcmpSocket::QueuedError> error = IcmpSocket::readQueuedError(incoming.header, v6);
        // A local failure names no router: the request is lost when its wait is over.
        if (!error || error->offender.family != family_)
            continue;
        const auto type = errorType(error->status);
        if (!type)
            continue;
        answer.type = *type;
        answer.from = error->offender;

        // Only errors about this socket's requests come here; the tracer keeps those of the requests pending.
        take(answer);
    }
}
