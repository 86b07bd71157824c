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

// The name service as starting a run needs it: resolve a host, look an address up in reverse, and read and
// write dotted addresses. Lookups block, and may run on any thread.
class HostResolver {
public:
    virtual ~HostResolver() = default;
    // All ones when the text is not a numeric address.
    [[nodiscard]] virtual std::uint32_t parseDottedAddress(const std::string& text) = 0;
    [[nodiscard]] virtual std::optional<HostEntry> lookupHostByName(const std::string& name) = 0;
    [[nodiscard]] virtual std::optional<HostEntry> lookupHostByAddress(std::uint32_t address) = 0;
    [[nodiscard]] virtual std::string formatDottedAddress(std::uint32_t address) = 0;
};
