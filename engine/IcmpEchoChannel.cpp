#include "engine/IcmpEchoChannel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/RoundTrip.h"
#include "types/IpStatus.h"

namespace {

using IcmpPacket::EchoMatch;
using IcmpPacket::EchoRequestKey;
using IcmpSocket::addressFrom;
using IcmpSocket::nanosBetween;
using IcmpSocket::now;
using IcmpSocket::readingsAfterReceive;
using Family = IpAddress::Family;

// Room for the largest datagram with its header: an echo may carry up to kMaxEchoPayload bytes of data.
constexpr std::size_t kReceiveBufferSize = 65536 + 512;

} // namespace

IcmpEchoChannel::IcmpEchoChannel(Preference preference) : preference_(preference) {}

IcmpEchoChannel::~IcmpEchoChannel() {
    close();
}

bool IcmpEchoChannel::open(Family family, const std::string& source) {
    if (fd_ >= 0 && family == family_ && source == source_)
        return true;
    close();
    const IcmpSocket::Opened opened = IcmpSocket::open(family, source, preference_);
    if (opened.fd < 0)
        return false;
    fd_ = opened.fd;
    kind_ = opened.kind;
    family_ = family;
    source_ = source;
    // The identifier only matters on a raw socket: the datagram socket's kernel puts its own port there.
    id_ = IcmpSocket::randomId();
    // Without the filter the replies are still matched here, only less well shielded; not worth failing for.
    if (kind_ == SocketKind::Raw)
        (void)IcmpSocket::attachIdentifierFilter(fd_, family == Family::V6, id_);
    sequence_ = IcmpSocket::randomId();
    ttl_ = -1;
    received_.resize(kReceiveBufferSize);
    return true;
}

void IcmpEchoChannel::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    kind_ = SocketKind::None;
    family_ = Family::None;
    source_.clear();
    echoed_ = {};
    std::vector<std::uint8_t>().swap(request_);
    std::vector<std::uint8_t>().swap(received_);
}

bool IcmpEchoChannel::applyTtl(std::uint8_t ttl) {
    if (ttl == 0 || ttl == ttl_)
        return true;
    const int value = ttl;
    if ((family_ == Family::V6 ? setsockopt(fd_, SOL_IPV6, IPV6_UNICAST_HOPS, &value, sizeof value)
                               : setsockopt(fd_, SOL_IP, IP_TTL, &value, sizeof value)) != 0)
        return false;
    ttl_ = ttl;
    return true;
}

EchoResult IcmpEchoChannel::sendEcho(const EchoRequest& request) {
    echoed_ = {};
    const auto fail = [](std::int32_t status) {
        EchoResult result;
        result.status = status;
        return result;
    };
    if (fd_ < 0 || request.destination.family != family_ || !applyTtl(request.ttl))
        return fail(IpStatus::GeneralFailure);
    // IPv6 could carry a little more, but one Buffer setting means the same on either family.
    if (request.payload.size() > static_cast<std::size_t>(kMaxEchoPayload))
        return fail(IpStatus::PacketTooBig);
    const Request key{request.destination, ++sequence_};
    const auto size = static_cast<std::uint16_t>(request.payload.size());
    if (family_ == Family::V6)
        IcmpPacket::buildEchoRequestV6(request_, id_, key.sequence, request.payload.data(), size);
    else
        IcmpPacket::buildEchoRequest(request_, id_, key.sequence, request.payload.data(), size,
                                     kind_ == SocketKind::Raw);
    timespec sentAt{};
    std::int32_t sendStatus = IpStatus::GeneralFailure;
    if (!sendRequest(key, sentAt, sendStatus))
        return fail(sendStatus);

    EchoResult result;
    const std::int64_t timeout = static_cast<std::int64_t>(request.timeoutMs) * 1'000'000;
    bool errorsWaiting = false;
    for (;;) {
        if (errorsWaiting) {
            errorsWaiting = false;
            if (drainErrors(key, sentAt, result))
                break;
        }
        const Received received = receiveOne(key, sentAt, result);
        if (received == Received::Matched)
            break;
        if (received == Received::Failed)
            return fail(IpStatus::GeneralFailure);
        errorsWaiting = received == Received::PendingError;
        const std::int64_t remaining = timeout - nanosBetween(sentAt, now());
        if (remaining <= 0)
            return fail(IpStatus::RequestTimedOut);
        if (received != Received::Empty)
            continue;
        pollfd poller{fd_, POLLIN, 0};
        const timespec wait{static_cast<time_t>(remaining / 1'000'000'000),
                            static_cast<long>(remaining % 1'000'000'000)};
        const int ready = ppoll(&poller, 1, &wait, nullptr);
        if (ready < 0 && errno != EINTR)
            return fail(IpStatus::GeneralFailure);
        if (ready > 0 && (poller.revents & POLLNVAL) != 0)
            return fail(IpStatus::GeneralFailure);
        if (ready > 0 && (poller.revents & POLLERR) != 0)
            errorsWaiting = true;
    }
    return result;
}

bool IcmpEchoChannel::sendRequest(const Request& key, timespec& sentAt, std::int32_t& status) {
    sockaddr_storage target{};
    const socklen_t targetLength = IcmpSocket::socketAddress(key.destination, target);
    bool retried = false;
    for (;;) {
        sentAt = now();
        const ssize_t sent =
            sendto(fd_, request_.data(), request_.size(), 0, reinterpret_cast<sockaddr*>(&target), targetLength);
        if (sent == static_cast<ssize_t>(request_.size()))
            return true;
        const int error = sent < 0 ? errno : EMSGSIZE;
        if (error == EINTR)
            continue;
        // An ICMP error that came after an earlier request gave up fails one send; it is stale, not ours.
        if (!retried && sent < 0) {
            retried = true;
            EchoResult scratch;
            (void)drainErrors(Request{key.destination, static_cast<std::uint16_t>(key.sequence - 1)}, sentAt, scratch);
            continue;
        }
        status = IcmpSocket::localSendStatus(error);
        return false;
    }
}

IcmpEchoChannel::Received IcmpEchoChannel::receiveOne(const Request& key, const timespec& sentAt, EchoResult& result) {
    IcmpSocket::Message incoming;
    const ssize_t length = incoming.receive(fd_, received_, MSG_DONTWAIT);
    msghdr& message = incoming.header;
    const sockaddr_storage& from = incoming.from;
    if (length < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return Received::Empty;
        if (errno == EINTR)
            return Received::Other;
        return IcmpSocket::isSocketFault(errno) ? Received::Failed : Received::PendingError;
    }
    RoundTrip::Readings readings = readingsAfterReceive(sentAt);
    if ((message.msg_flags & MSG_TRUNC) != 0)
        return Received::Other;
    const IcmpSocket::Control extras = IcmpSocket::readControl(message);
    readings.kernelReal = extras.kernelReal;
    const std::uint8_t ttl = extras.ttl;
    const std::span<const std::uint8_t> bytes(received_.data(), static_cast<std::size_t>(length));
    const IpAddress source = addressFrom(from);
    const EchoMatch matched = match(bytes, source, ttl, key);
    if (matched.kind == EchoMatch::Kind::None)
        return Received::Other;
    fillResult(result, matched, source, RoundTrip::milliseconds(readings));
    if (matched.status == 0) {
        result.rttUs = RoundTrip::microseconds(readings);
        result.wrongData = IcmpPacket::compareEchoData(
            std::span<const std::uint8_t>(request_).subspan(IcmpPacket::kHeaderSize), matched.data);
        echoed_ = matched.data;
    }
    return Received::Matched;
}

EchoMatch IcmpEchoChannel::match(std::span<const std::uint8_t> bytes, const IpAddress& from, std::uint8_t ttl,
                                 const Request& request) const {
    if (family_ == Family::V6) {
        if (!from.isV6())
            return {};
        const IcmpPacket::EchoRequestKeyV6 key{request.destination.bytes, id_, request.sequence};
        EchoMatch found = kind_ == SocketKind::Raw ? IcmpPacket::matchRawMessageV6(bytes, from.v6Bytes(), key)
                                                   : IcmpPacket::matchDatagramReplyV6(bytes, from.v6Bytes(), key);
        found.ttl = ttl;
        return found;
    }
    const EchoRequestKey key{request.destination.v4Value(), id_, request.sequence};
    return kind_ == SocketKind::Raw ? IcmpPacket::matchRawPacket(bytes, key)
                                    : IcmpPacket::matchDatagramReply(bytes, from.v4Value(), ttl, key);
}

void IcmpEchoChannel::fillResult(EchoResult& result, const EchoMatch& match, const IpAddress& from,
                                 std::uint32_t roundTripMs) const {
    result = EchoResult{};
    result.status = match.status;
    result.answered = true;
    // A raw IPv4 socket reads the sender from the packet; every other path has it from the kernel.
    result.source = family_ == Family::V4 ? IpAddress::v4(match.source) : from;
    result.rttMs = roundTripMs;
    result.dataSize = static_cast<std::uint16_t>(std::min<std::size_t>(match.data.size(), 0xffff));
    result.ttl = match.ttl;
}

bool IcmpEchoChannel::drainErrors(const Request& key, const timespec& sentAt, EchoResult& result) {
    bool matched = false;
    for (;;) {
        std::uint8_t quoted[64];
        IcmpSocket::Message incoming;
        const ssize_t length = incoming.receive(fd_, quoted, MSG_ERRQUEUE | MSG_DONTWAIT);
        msghdr& message = incoming.header;
        if (length < 0) {
            if (errno == EINTR)
                continue;
            return matched;
        }
        // An error is timed when it is read; its arrival stamp is not worth a second guard.
        const std::uint32_t roundTripMs = RoundTrip::milliseconds(readingsAfterReceive(sentAt));
        const bool v6 = family_ == Family::V6;
        const std::span<const std::uint8_t> request(quoted, static_cast<std::size_t>(length));
        if (matched || kind_ != SocketKind::Datagram ||
            !(v6 ? IcmpPacket::quotesRequestV6(request, key.sequence)
                 : IcmpPacket::quotesRequest(request, key.sequence)))
            continue;
        const std::optional<IcmpSocket::QueuedError> error = IcmpSocket::readQueuedError(message, v6);
        if (!error)
            continue;
        EchoMatch match;
        match.kind = EchoMatch::Kind::Error;
        match.status = error->status;
        match.ttl = error->ttl;
        match.source = error->offender.isV4() ? error->offender.v4Value() : 0;
        fillResult(result, match, error->offender, roundTripMs);
        matched = true;
    }
}
