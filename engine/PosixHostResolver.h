#pragma once

#include "engine/HostResolver.h"

// The C library's name service (inet_addr, getaddrinfo, getnameinfo). Every operation is reentrant, so
// lookups may run on any thread.
class PosixHostResolver final : public HostResolver {
public:
    [[nodiscard]] std::uint32_t parseDottedAddress(const std::string& text) override;
    [[nodiscard]] std::optional<IpAddress> parseIpv6Address(const std::string& text) override;
    [[nodiscard]] std::optional<HostEntry> lookupHostByName(const std::string& name) override;
    [[nodiscard]] std::optional<HostEntry> lookupHostByAddress(const IpAddress& address) override;
    [[nodiscard]] std::string formatAddress(const IpAddress& address) override;
};
