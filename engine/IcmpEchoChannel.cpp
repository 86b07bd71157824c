#include "engine/IcmpEchoChannel.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/IcmpStatus.h"
#include "engine/RoundTrip.h"

namespace {

using IcmpPacket::EchoMatch;
using IcmpPacket::EchoRequestKey;

// Room for the largest IPv4 datagram with its header: an echo may carry up to kMaxEchoPayload bytes of data.
constexpr std::size_t kReceiveBufferSize = 65536 + 512;
constexpr std::size_t kControlSize = 512;

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

bool isSocketFault(int error) {
    return error == EBADF || error == ENOTSOCK || error == EFAULT || error == EINVAL || error == ENOMEM;
}

bool mayFallBackToRaw(int error) {
    return error == EACCES || error == EPERM || error == EAFNOSUPPORT || error == EPROTONOSUPPORT;
}

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

std::uint16_t randomId() {
    std::uint16_t value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value))
        value = static_cast<std::uint16_t>(getpid());
    return value;
}

int setOption(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value);
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

void fillReply(ReplyArea& area, const EchoMatch& match, std::uint32_t roundTripMs) {
    area.reply = EchoReply{};
    area.reply.address = match.source;
    area.reply.status = static_cast<std::uint32_t>(match.status);
    area.reply.roundTripTime = roundTripMs;
    area.reply.dataSize = static_cast<std::uint16_t>(std::min<std::size_t>(match.data.size(), 0xffff));
    area.reply.data = sizeof(EchoReply);
    area.reply.options.ttl = match.ttl;
    std::copy_n(match.data.begin(), std::min(match.data.size(), area.data.size()), area.data.begin());
}

} // namespace

IcmpEchoChannel::IcmpEchoChannel(Preference preference) : preference_(preference) {}

IcmpEchoChannel::~IcmpEchoChannel() {
    close();
}

bool IcmpEchoChannel::open() {
    if (fd_ >= 0)
        return true;
    int datagramError = 0;
    int rawError = 0;
    if (preference_ != Preference::RawOnly) {
        fd_ = openSocket(SocketKind::Datagram);
        datagramError = fd_ < 0 ? errno : 0;
        kind_ = SocketKind::Datagram;
    }
    if (fd_ < 0 && preference_ != Preference::DatagramOnly &&
        (preference_ == Preference::RawOnly || mayFallBackToRaw(datagramError))) {
        fd_ = openSocket(SocketKind::Raw);
        rawError = fd_ < 0 ? errno : 0;
        kind_ = SocketKind::Raw;
    }
    if (fd_ < 0) {
        kind_ = SocketKind::None;
        reportOpenFailure(datagramError, rawError);
        return false;
    }
    // The identifier only matters on a raw socket: the datagram socket's kernel puts its own port there.
    id_ = randomId();
    sequence_ = randomId();
    ttl_ = -1;
    received_.resize(kReceiveBufferSize);
    return true;
}

int IcmpEchoChannel::openSocket(SocketKind kind) {
    const int type = kind == SocketKind::Raw ? SOCK_RAW : SOCK_DGRAM;
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0)
        return -1;
    int failed = 0;
    if (kind == SocketKind::Datagram) {
        failed |= setOption(fd, SOL_IP, IP_RECVERR, 1);
        failed |= setOption(fd, SOL_IP, IP_RECVTTL, 1);
    } else {
        // Everything but replies and errors (our own requests on loopback above all) stays in the kernel.
        icmp_filter filter{};
        filter.data = ~((1U << ICMP_ECHOREPLY) | (1U << ICMP_DEST_UNREACH) | (1U << ICMP_SOURCE_QUENCH) |
                        (1U << ICMP_TIME_EXCEEDED) | (1U << ICMP_PARAMETERPROB));
        failed |= setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
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

void IcmpEchoChannel::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    kind_ = SocketKind::None;
    std::vector<std::uint8_t>().swap(request_);
    std::vector<std::uint8_t>().swap(received_);
}

std::uint32_t IcmpEchoChannel::fail(std::int32_t status, ReplyArea& area) {
    lastError_ = status;
    area.reply = EchoReply{};
    area.reply.status = static_cast<std::uint32_t>(status);
    return 0;
}

bool IcmpEchoChannel::applyTtl(std::uint8_t ttl) {
    if (ttl == 0 || ttl == ttl_)
        return true;
    if (setOption(fd_, SOL_IP, IP_TTL, ttl) != 0)
        return false;
    ttl_ = ttl;
    return true;
}

std::uint32_t IcmpEchoChannel::sendEcho(std::uint32_t destination, const std::uint8_t* data, std::uint16_t size,
                                        const IpOptions& options, ReplyArea& area, std::uint32_t timeoutMs) {
    lastRoundTripUs_.reset();
    if (fd_ < 0 || (size > 0 && data == nullptr) || !applyTtl(options.ttl))
        return fail(IpStatus::GeneralFailure, area);
    const EchoRequestKey key{destination, id_, ++sequence_};
    IcmpPacket::buildEchoRequest(request_, id_, key.sequence, data, size, kind_ == SocketKind::Raw);
    timespec sentAt{};
    if (!sendRequest(key, sentAt))
        return fail(lastError_, area);

    const std::int64_t timeout = static_cast<std::int64_t>(timeoutMs) * 1'000'000;
    bool errorsWaiting = false;
    for (;;) {
        if (errorsWaiting) {
            errorsWaiting = false;
            if (drainErrors(key, sentAt, area))
                break;
        }
        const Received received = receiveOne(key, sentAt, area);
        if (received == Received::Matched)
            break;
        if (received == Received::Failed)
            return fail(IpStatus::GeneralFailure, area);
        errorsWaiting = received == Received::PendingError;
        const std::int64_t remaining = timeout - nanosBetween(sentAt, now());
        if (remaining <= 0)
            return fail(IpStatus::RequestTimedOut, area);
        if (received != Received::Empty)
            continue;
        pollfd poller{fd_, POLLIN, 0};
        const timespec wait{static_cast<time_t>(remaining / 1'000'000'000),
                            static_cast<long>(remaining % 1'000'000'000)};
        const int ready = ppoll(&poller, 1, &wait, nullptr);
        if (ready < 0 && errno != EINTR)
            return fail(IpStatus::GeneralFailure, area);
        if (ready > 0 && (poller.revents & POLLNVAL) != 0)
            return fail(IpStatus::GeneralFailure, area);
        if (ready > 0 && (poller.revents & POLLERR) != 0)
            errorsWaiting = true;
    }
    lastError_ = IpStatus::Success;
    return 1;
}

bool IcmpEchoChannel::sendRequest(const EchoRequestKey& key, timespec& sentAt) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = key.destination;
    bool retried = false;
    for (;;) {
        sentAt = now();
        const ssize_t sent =
            sendto(fd_, request_.data(), request_.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target);
        if (sent == static_cast<ssize_t>(request_.size()))
            return true;
        const int error = sent < 0 ? errno : EMSGSIZE;
        if (error == EINTR)
            continue;
        // An ICMP error that came after an earlier request gave up fails one send; it is stale, not ours.
        if (!retried && sent < 0) {
            retried = true;
            ReplyArea scratch;
            (void)drainErrors(EchoRequestKey{key.destination, key.id, static_cast<std::uint16_t>(key.sequence - 1)},
                              sentAt, scratch);
            continue;
        }
        lastError_ = localSendStatus(error);
        return false;
    }
}

IcmpEchoChannel::Received IcmpEchoChannel::receiveOne(const EchoRequestKey& key, const timespec& sentAt,
                                                      ReplyArea& area) {
    sockaddr_in from{};
    iovec buffer{received_.data(), received_.size()};
    alignas(cmsghdr) std::uint8_t control[kControlSize];
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t length = recvmsg(fd_, &message, MSG_DONTWAIT);
    if (length < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return Received::Empty;
        if (errno == EINTR)
            return Received::Other;
        return isSocketFault(errno) ? Received::Failed : Received::PendingError;
    }
    RoundTrip::Readings readings = readingsAfterReceive(sentAt);
    if ((message.msg_flags & MSG_TRUNC) != 0)
        return Received::Other;
    std::uint8_t ttl = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMPNS &&
            c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            readings.kernelReal = RoundTrip::nanos(stamp);
        } else if (c->cmsg_level == SOL_IP && c->cmsg_type == IP_TTL && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
            int value = 0;
            std::memcpy(&value, CMSG_DATA(c), sizeof value);
            ttl = static_cast<std::uint8_t>(value);
        }
    }
    const std::span<const std::uint8_t> bytes(received_.data(), static_cast<std::size_t>(length));
    const EchoMatch match = kind_ == SocketKind::Raw
                                ? IcmpPacket::matchRawPacket(bytes, key)
                                : IcmpPacket::matchDatagramReply(bytes, from.sin_addr.s_addr, ttl, key);
    if (match.kind == EchoMatch::Kind::None)
        return Received::Other;
    fillReply(area, match, RoundTrip::milliseconds(readings));
    if (match.status == 0)
        lastRoundTripUs_ = RoundTrip::microseconds(readings);
    return Received::Matched;
}

bool IcmpEchoChannel::drainErrors(const EchoRequestKey& key, const timespec& sentAt, ReplyArea& area) {
    bool matched = false;
    for (;;) {
        std::uint8_t quoted[64];
        iovec buffer{quoted, sizeof quoted};
        alignas(cmsghdr) std::uint8_t control[kControlSize];
        msghdr message{};
        message.msg_iov = &buffer;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t length = recvmsg(fd_, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
        if (length < 0) {
            if (errno == EINTR)
                continue;
            return matched;
        }
        // An error is timed when it is read; its arrival stamp is not worth a second guard.
        const std::uint32_t roundTripMs = RoundTrip::milliseconds(readingsAfterReceive(sentAt));
        if (matched || kind_ != SocketKind::Datagram ||
            !IcmpPacket::quotesRequest({quoted, static_cast<std::size_t>(length)}, key.sequence))
            continue;
        EchoMatch match;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != SOL_IP)
                continue;
            if (c->cmsg_type == IP_TTL && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
                int value = 0;
                std::memcpy(&value, CMSG_DATA(c), sizeof value);
                match.ttl = static_cast<std::uint8_t>(value);
            } else if (c->cmsg_type == IP_RECVERR && c->cmsg_len >= CMSG_LEN(sizeof(sock_extended_err))) {
                sock_extended_err error{};
                std::memcpy(&error, CMSG_DATA(c), sizeof error);
                if (error.ee_origin == SO_EE_ORIGIN_ICMP) {
                    const std::optional<std::int32_t> status = IcmpPacket::errorStatus(error.ee_type, error.ee_code);
                    if (!status)
                        continue;
                    match.status = *status;
                } else if (error.ee_origin == SO_EE_ORIGIN_LOCAL) {
                    match.status = localSendStatus(static_cast<int>(error.ee_errno));
                } else {
                    continue;
                }
                if (c->cmsg_len >= CMSG_LEN(sizeof error + sizeof(sockaddr_in))) {
                    sockaddr_in offender{};
                    std::memcpy(&offender, CMSG_DATA(c) + sizeof error, sizeof offender);
                    if (offender.sin_family == AF_INET)
                        match.source = offender.sin_addr.s_addr;
                }
                match.kind = EchoMatch::Kind::Error;
            }
        }
        if (match.kind == EchoMatch::Kind::Error) {
            fillReply(area, match, roundTripMs);
            matched = true;
        }
    }
}
