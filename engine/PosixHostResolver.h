#pragma once

#include "engine/HostResolver.h"

// The C library's name service (inet_addr, getaddrinfo, getnameinfo); addresses are formatted by hand.
// Every operation is reentrant, so lookups may run on any thread; there is no socket layer to start.
class PosixHostResolver final : public HostResolver {
public:
    // The largest ICMP echo payload over IPv4: 65535 minus the IP and ICMP headers.
    static constexpr std::uint16_t MaxEchoPayload = 65507;

    [[nodiscard]] bool resolverStartup(std::uint16_t requested, std::uint16_t& granted,
                                       std::uint16_t& maxDatagram) override;
    [[nodiscard]] std::uint32_t parseDottedAddress(const std::string& text) override;
    [[nodiscard]] std::optional<HostEntry> lookupHostByName(const std::string& name) override;
    [[nodiscard]] std::optional<HostEntry> lookupHostByAddress(std::uint32_t address) override;
    [[nodiscard]] std::string formatDottedAddress(std::uint32_t address) override;
    void resolverCleanup() override;
};
