#include "engine/KernelHubSocket.h"

#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Room for the replies of a burst of many hosts (the kernel caps it at net.core.rmem_max).
constexpr int kReceiveBufferBytes = 1 << 20;

} // namespace

std::unique_ptr<HubSocket> KernelHubSocket::open(IpAddress::Family family, const std::string& source,
                                                 IcmpSocket::Preference preference) {
    const IcmpSocket::Opened opened = IcmpSocket::open(family, source, preference);
    if (opened.fd < 0)
        return nullptr;
    return std::make_unique<KernelHubSocket>(opened.fd, opened.kind, family);
}

HubSocket::Opener KernelHubSocket::opener(IcmpSocket::Preference preference) {
    return
        [preference](IpAddress::Family family, const std::string& source) { return open(family, source, preference); };
}

KernelHubSocket::KernelHubSocket(int fd, IcmpSocket::Kind kind, IpAddress::Family family)
    : fd_(fd), kind_(kind), family_(family) {
    const int room = kReceiveBufferBytes;
    (void)setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    if (kind_ == IcmpSocket::Kind::Raw) {
        id_ = IcmpSocket::randomId();
        // Without the filter the replies are still matched by the hub, only less well shielded.
        (void)IcmpSocket::attachIdentifierFilter(fd_, family_ == IpAddress::Family::V6, id_);
    }
}

KernelHubSocket::~KernelHubSocket() {
    ::close(fd_);
}

// Hosts with different settings share the socket, so a time to live other than the socket's own goes as a control
// message with its one request: the socket's is set once, by the first request, and never changed, so that no
// host's setting leaks into another's requests. Most hosts keep the program's, so most sends carry nothing extra.
int KernelHubSocket::send(std::span<const std::uint8_t> packet, const IpAddress& to, std::uint8_t ttl,
                          std::uint8_t tos) {
    const bool v6 = family_ == IpAddress::Family::V6;
    if (ttl != 0 && socketTtl_ == 0) {
        const int value = ttl;
        if ((v6 ? setsockopt(fd_, SOL_IPV6, IPV6_UNICAST_HOPS, &value, sizeof value)
                : setsockopt(fd_, SOL_IP, IP_TTL, &value, sizeof value)) == 0)
            socketTtl_ = ttl;
    }
    sockaddr_storage target{};
    const socklen_t targetLength = IcmpSocket::socketAddress(to, target);
    iovec data{const_cast<std::uint8_t*>(packet.data()), packet.size()};
    msghdr message{};
    message.msg_name = &target;
    message.msg_namelen = targetLength;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    // The TOS byte likewise, for the few hosts that set one.
    alignas(cmsghdr) std::uint8_t control[2 * CMSG_SPACE(sizeof(int))] = {};
    std::size_t controlLength = 0;
    const auto add = [&](int type, int value) {
        auto* c = reinterpret_cast<cmsghdr*>(control + controlLength);
        c->cmsg_level = v6 ? SOL_IPV6 : SOL_IP;
        c->cmsg_type = type;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &value, sizeof value);
        controlLength += CMSG_SPACE(sizeof(int));
    };
    if (ttl != 0 && ttl != socketTtl_)
        add(v6 ? IPV6_HOPLIMIT : IP_TTL, ttl);
    if (tos != 0)
        add(v6 ? IPV6_TCLASS : IP_TOS, tos);
    if (controlLength > 0) {
        message.msg_control = control;
        message.msg_controllen = controlLength;
    }
    // Without a control message the plainer call does: it copies no message header in.
    const ssize_t sent =
        message.msg_control == nullptr
            ? ::sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&target), targetLength)
            : ::sendmsg(fd_, &message, 0);
    if (sent == static_cast<ssize_t>(packet.size()))
        return 0;
    return sent < 0 ? errno : EMSGSIZE;
}

ssize_t KernelHubSocket::receive(std::span<std::uint8_t> into, Received& received) {
    IcmpSocket::Message incoming;
    const ssize_t length = incoming.receive(fd_, into, MSG_DONTWAIT);
    if (length < 0)
        return length;
    received.from = IcmpSocket::addressFrom(incoming.from);
    received.control = IcmpSocket::readControl(incoming.header);
    received.truncated = (incoming.header.msg_flags & MSG_TRUNC) != 0;
    return length;
}

ssize_t KernelHubSocket::receiveError(std::span<std::uint8_t> quoted, ReceivedError& received) {
    IcmpSocket::Message incoming;
    const ssize_t length = incoming.receive(fd_, quoted, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (length < 0)
        return length;
    received.destination = IcmpSocket::addressFrom(incoming.from);
    received.error = IcmpSocket::readQueuedError(incoming.header, family_ == IpAddress::Family::V6);
    return length;
}

bool KernelHubSocket::errorsPending(std::uint32_t epollEvents) const {
    return (epollEvents & EPOLLERR) != 0;
}
