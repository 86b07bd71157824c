#pragma once

#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <vector>

#include "engine/EchoChannel.h"
#include "engine/IcmpPacket.h"
#include "engine/IcmpSocket.h"

// The echo channel on a Linux ICMP or ICMPv6 socket: the unprivileged datagram ("ping") socket where
// net.ipv4.ping_group_range admits us (it governs both families), else a raw socket (root or CAP_NET_RAW).
// One instance serves one thread; the socket lives in the network namespace of the thread that opened it.
class IcmpEchoChannel final : public EchoChannel {
public:
    using SocketKind = IcmpSocket::Kind;
    using Preference = IcmpSocket::Preference;

    explicit IcmpEchoChannel(Preference preference = Preference::Auto);
    ~IcmpEchoChannel() override;
    IcmpEchoChannel(const IcmpEchoChannel&) = delete;
    IcmpEchoChannel& operator=(const IcmpEchoChannel&) = delete;

    using EchoChannel::open;
    [[nodiscard]] bool open(IpAddress::Family family, const std::string& source) override;
    [[nodiscard]] EchoResult sendEcho(const EchoRequest& request) override;
    void close() override;

    [[nodiscard]] SocketKind kind() const { return kind_; }
    [[nodiscard]] IpAddress::Family family() const { return family_; }
    // The data the last good reply echoed, all of it; valid until the next sendEcho or close.
    [[nodiscard]] std::span<const std::uint8_t> echoedData() const { return echoed_; }

private:
    enum class Received : std::uint8_t { Matched, Other, Empty, PendingError, Failed };
    // The request a received message has to answer.
    struct Request {
        IpAddress destination;
        std::uint16_t sequence = 0;
    };

    [[nodiscard]] bool applyTtl(std::uint8_t ttl);
    [[nodiscard]] bool sendRequest(const Request& request, timespec& sentAt, std::int32_t& status);
    [[nodiscard]] Received receiveOne(const Request& request, const timespec& sentAt, EchoResult& result);
    [[nodiscard]] bool drainErrors(const Request& request, const timespec& sentAt, EchoResult& result);
    [[nodiscard]] IcmpPacket::EchoMatch match(std::span<const std::uint8_t> bytes, const IpAddress& from,
                                              std::uint8_t ttl, const Request& request) const;
    void fillResult(EchoResult& result, const IcmpPacket::EchoMatch& match, const IpAddress& from,
                    std::uint32_t roundTripMs) const;

    Preference preference_;
    SocketKind kind_ = SocketKind::None;
    IpAddress::Family family_ = IpAddress::Family::None;
    std::string source_;
    int fd_ = -1;
    std::uint16_t id_ = 0;
    std::uint16_t sequence_ = 0;
    int ttl_ = -1;
    std::span<const std::uint8_t> echoed_; // inside received_
    std::vector<std::uint8_t> request_;
    std::vector<std::uint8_t> received_;
};
