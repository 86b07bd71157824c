#pragma once

#include <string>

#include "engine/EchoReply.h"
#include "types/IpAddress.h"

// One ICMP echo handle: open, send one request and wait for its reply, close.
class EchoChannel {
public:
    virtual ~EchoChannel() = default;

    // A handle for destinations of `family`, sending from `source`: an interface name or a local address
    // (empty: the kernel's choice). False when none can be had, and the reason goes to standard error.
    [[nodiscard]] virtual bool open(IpAddress::Family family, const std::string& source) = 0;
    [[nodiscard]] bool open(IpAddress::Family family) { return open(family, std::string()); }
    [[nodiscard]] bool open() { return open(IpAddress::Family::V4); }

    // Sends one echo request and waits at most its timeout for the matching reply or an ICMP error about it.
    [[nodiscard]] virtual EchoResult sendEcho(const EchoRequest& request) = 0;

    virtual void close() = 0;
};
