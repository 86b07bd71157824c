#pragma once

#include "engine/HubSocket.h"

// The hub's socket on the kernel: a datagram ICMP socket where ping_group_range admits us, else a raw one with
// our identifier filtered in, a receive buffer for the replies of a burst of many hosts, and each request's
// time to live carried with the request itself, so hosts sharing the socket never set it for each other.
class KernelHubSocket final : public HubSocket {
public:
    // Null when no socket can be had (the reason went to standard error).
    [[nodiscard]] static std::unique_ptr<HubSocket> open(IpAddress::Family family, const std::string& source,
                                                         IcmpSocket::Preference preference);
    [[nodiscard]] static Opener opener(IcmpSocket::Preference preference);

    KernelHubSocket(int fd, IcmpSocket::Kind kind, IpAddress::Family family);
    ~KernelHubSocket() override;
    KernelHubSocket(const KernelHubSocket&) = delete;
    KernelHubSocket& operator=(const KernelHubSocket&) = delete;

    [[nodiscard]] int pollFd() const override { return fd_; }
    [[nodiscard]] IcmpSocket::Kind kind() const override { return kind_; }
    [[nodiscard]] std::uint16_t identifier() const override { return id_; }
    [[nodiscard]] int send(std::span<const std::uint8_t> packet, const IpAddress& to, std::uint8_t ttl,
                           std::uint8_t tos) override;
    ssize_t receive(std::span<std::uint8_t> into, Received& received) override;
    ssize_t receiveError(std::span<std::uint8_t> quoted, ReceivedError& received) override;
    [[nodiscard]] bool errorsPending(std::uint32_t epollEvents) const override;

private:
    const int fd_;
    const IcmpSocket::Kind kind_;
    const IpAddress::Family family_;
    std::uint16_t id_ = 0;
    std::uint8_t socketTtl_ = 0; // set once by the first request; 0: the kernel's default
};
