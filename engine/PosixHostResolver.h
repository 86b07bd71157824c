#pragma once

#include "engine/HostResolver.h"

// The C library's name service (inet_addr, getaddrinfo, getnameinfo); addresses are formatted by hand.
// Every operation is reentrant, so lookups may run on any thread.
class PosixHostResolver final : public HostResolver {
public:
    [[nodiscard]] std::uint32_t parseDottedAddress(const std::string& text) override;
    [[nodiscard]] std::optional<HostEntry> lookupHostByName(const std::string& name) override;
    [[nodiscard]] std::optional<HostEntry> lookupHostByAddress(std::uint32_t address) override;
    [[nodiscard]] std::string formatDottedAddress(std::uint32_t address) override;
};
