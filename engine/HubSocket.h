#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include <sys/types.h>

#include "engine/IcmpSocket.h"
#include "types/IpAddress.h"

// One ICMP socket as the hub uses it: a descriptor to wait on, one request out, the messages and queued errors
// in. The hub matches what comes back by sequence number and address itself; this is only the way in and out,
// so that tests can script the network (tests/support/ScriptedHubSocket) and the program uses the kernel's
// (KernelHubSocket).
class HubSocket {
public:
    // What came with a received message.
    struct Received {
        IpAddress from;
        IcmpSocket::Control control;
        bool truncated = false; // larger than the buffer: no use to anyone
    };

    // One record of the error queue: where the quoted request went and what the error says (nothing when the
    // record is no verdict on a request, a redirect for one).
    struct ReceivedError {
        IpAddress destination;
        std::optional<IcmpSocket::QueuedError> error;
    };

    // Opens a socket for destinations of a family, sending from a source (an interface or a local address;
    // empty: the kernel's choice). Null when none can be had; the reason has gone to standard error.
    using Opener = std::function<std::unique_ptr<HubSocket>(IpAddress::Family family, const std::string& source)>;

    virtual ~HubSocket() = default;

    // Readable when a message or a queued error may be waiting.
    [[nodiscard]] virtual int pollFd() const = 0;
    [[nodiscard]] virtual IcmpSocket::Kind kind() const = 0;
    // The echo identifier the hub puts in its requests: ours on a raw socket, 0 on a datagram one (the kernel
    // sets its own).
    [[nodiscard]] virtual std::uint16_t identifier() const = 0;

    // Sends one request to `to` with its own time to live (hop limit; 0: the socket's default) and TOS byte
    // (IPv6: traffic class; 0: the socket's). 0, or the errno of the refusal.
    [[nodiscard]] virtual int send(std::span<const std::uint8_t> packet, const IpAddress& to, std::uint8_t ttl,
                                   std::uint8_t tos) = 0;
    // One message without waiting: its length, or -1 with errno set (EAGAIN when none is left).
    virtual ssize_t receive(std::span<std::uint8_t> into, Received& received) = 0;
    // One record of the error queue without waiting: the length of the quoted request, or -1 with errno set.
    virtual ssize_t receiveError(std::span<std::uint8_t> quoted, ReceivedError& received) = 0;
    // Whether the error queue wants reading, given the events the descriptor reported.
    [[nodiscard]] virtual bool errorsPending(std::uint32_t epollEvents) const = 0;
};
