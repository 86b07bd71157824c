#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "types/IpAddress.h"

// Result of a name-service lookup; only the first address is used. A name lookup lists the IPv4 addresses
// before the IPv6 ones, so a host that has both is watched over IPv4, as it always was.
struct HostEntry {
    std::string officialName;
    std::vector<IpAddress> addresses;
    bool operator==(const HostEntry&) const = default;
};

// The name service as starting a run needs it: resolve a host, look an address up in reverse, and read and
// write numeric addresses. Lookups block, and may run on any thread.
class HostResolver {
public:
    virtual ~HostResolver() = default;
    // An IPv4 address in any of the forms inet_addr takes, network byte order; all ones when the text is not one.
    [[nodiscard]] virtual std::uint32_t parseDottedAddress(const std::string& text) = 0;
    // An IPv6 literal, with an optional "%zone"; nothing when the text is not one.
    [[nodiscard]] virtual std::optional<IpAddress> parseIpv6Address(const std::string& text) = 0;
    [[nodiscard]] virtual std::optional<HostEntry> lookupHostByName(const std::string& name) = 0;
    [[nodiscard]] virtual std::optional<HostEntry> lookupHostByAddress(const IpAddress& address) = 0;
    [[nodiscard]] virtual std::string formatAddress(const IpAddress& address) = 0;
};
