#include "engine/PosixHostResolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace {

struct AddrInfoFree {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

std::optional<IpAddress> addressOf(const addrinfo& ai) {
    if (ai.ai_addr == nullptr)
        return std::nullopt;
    if (ai.ai_family == AF_INET && ai.ai_addrlen >= sizeof(sockaddr_in)) {
        sockaddr_in sin{};
        std::memcpy(&sin, ai.ai_addr, sizeof sin);
        return IpAddress::v4(sin.sin_addr.s_addr);
    }
    if (ai.ai_family == AF_INET6 && ai.ai_addrlen >= sizeof(sockaddr_in6)) {
        sockaddr_in6 sin6{};
        std::memcpy(&sin6, ai.ai_addr, sizeof sin6);
        std::array<std::uint8_t, 16> bytes{};
        std::memcpy(bytes.data(), &sin6.sin6_addr, bytes.size());
        return IpAddress::v6(bytes, sin6.sin6_scope_id);
    }
    return std::nullopt;
}

} // namespace

std::uint32_t PosixHostResolver::parseDottedAddress(const std::string& text) {
    // inet_addr keeps the shorthand forms ("127.1", "0x7f.1", octal) that users type.
    return static_cast<std::uint32_t>(inet_addr(text.c_str()));
}

std::optional<IpAddress> PosixHostResolver::parseIpv6Address(const std::string& text) {
    return IpAddress::parseV6(text);
}

std::optional<HostEntry> PosixHostResolver::lookupHostByName(const std::string& name) {
    if (name.empty())
        return std::nullopt;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM; // one entry per address instead of one per socket type
    hints.ai_flags = AI_CANONNAME;
    addrinfo* raw = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &raw) != 0 || raw == nullptr)
        return std::nullopt;
    std::unique_ptr<addrinfo, AddrInfoFree> list(raw);

    HostEntry entry;
    entry.officialName = raw->ai_canonname != nullptr ? raw->ai_canonname : name;
    for (const addrinfo* ai = raw; ai != nullptr; ai = ai->ai_next) {
        const std::optional<IpAddress> address = addressOf(*ai);
        if (address && std::find(entry.addresses.begin(), entry.addresses.end(), *address) == entry.addresses.end())
            entry.addresses.push_back(*address);
    }
    // The C library sorts by its own address selection rules, which may put IPv6 first; a name that has an
    // IPv4 address is watched at it, as users of this program always had it.
    std::stable_partition(entry.addresses.begin(), entry.addresses.end(),
                          [](const IpAddress& address) { return address.isV4(); });
    if (entry.addresses.empty())
        return std::nullopt;
    return entry;
}

std::optional<HostEntry> PosixHostResolver::lookupHostByAddress(const IpAddress& address) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (address.isV4()) {
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = address.v4Value();
        std::memcpy(&storage, &sin, sizeof sin);
        length = sizeof sin;
    } else if (address.isV6()) {
        sockaddr_in6 sin6{};
        sin6.sin6_family = AF_INET6;
        std::memcpy(&sin6.sin6_addr, address.bytes.data(), sizeof sin6.sin6_addr);
        sin6.sin6_scope_id = address.scopeId;
        std::memcpy(&storage, &sin6, sizeof sin6);
        length = sizeof sin6;
    } else {
        return std::nullopt;
    }
    char name[NI_MAXHOST] = {};
    // NI_NAMEREQD: an address without a name is no entry rather than its own digits.
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&storage), length, name, sizeof name, nullptr, 0, NI_NAMEREQD) !=
        0)
        return std::nullopt;
    return HostEntry{name, {address}};
}

std::string PosixHostResolver::formatAddress(const IpAddress& address) {
    return address.text();
}
