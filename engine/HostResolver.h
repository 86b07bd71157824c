#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Result of a name-service lookup; only the first address is used.
struct HostEntry {
    std::string officialName;
    std::vector<std::uint32_t> addresses; // network byte order
    bool operator==(const HostEntry&) const = default;
};

// The name-service operations that starting a run needs.
class HostResolver {
public:
    virtual ~HostResolver() = default;
    // Version 257 requested; on success gives the granted version word and the largest datagram.
    [[nodiscard]] virtual bool resolverStartup(std::uint16_t requested, std::uint16_t& granted,
                                               std::uint16_t& maxDatagram) = 0;
    // All ones when the text is not a numeric address.
    [[nodiscard]] virtual std::uint32_t parseDottedAddress(const std::string& text) = 0;
    [[nodiscard]] virtual std::optional<HostEntry> lookupHostByName(const std::string& name) = 0;
    [[nodiscard]] virtual std::optional<HostEntry> lookupHostByAddress(std::uint32_t address) = 0;
    [[nodiscard]] virtual std::string formatDottedAddress(std::uint32_t address) = 0;
    virtual void resolverCleanup() = 0;
};
