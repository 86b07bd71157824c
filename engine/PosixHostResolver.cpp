#include "engine/PosixHostResolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <memory>

namespace {

struct AddrInfoFree {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

} // namespace

std::uint32_t PosixHostResolver::parseDottedAddress(const std::string& text) {
    // inet_addr keeps the classic forms ("127.1", "0x7f.1", octal) that users type.
    return static_cast<std::uint32_t>(inet_addr(text.c_str()));
}

std::optional<HostEntry> PosixHostResolver::lookupHostByName(const std::string& name) {
    if (name.empty())
        return std::nullopt;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM; // one entry per address instead of one per socket type
    hints.ai_flags = AI_CANONNAME;
    addrinfo* raw = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &raw) != 0 || raw == nullptr)
        return std::nullopt;
    std::unique_ptr<addrinfo, AddrInfoFree> list(raw);

    HostEntry entry;
    entry.officialName = raw->ai_canonname != nullptr ? raw->ai_canonname : name;
    for (const addrinfo* ai = raw; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || ai->ai_addr == nullptr || ai->ai_addrlen < sizeof(sockaddr_in))
            continue;
        sockaddr_in sin{};
        std::memcpy(&sin, ai->ai_addr, sizeof sin);
        std::uint32_t address = sin.sin_addr.s_addr;
        if (std::find(entry.addresses.begin(), entry.addresses.end(), address) == entry.addresses.end())
            entry.addresses.push_back(address);
    }
    if (entry.addresses.empty())
        return std::nullopt;
    return entry;
}

std::optional<HostEntry> PosixHostResolver::lookupHostByAddress(std::uint32_t address) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = address;
    char name[NI_MAXHOST] = {};
    // NI_NAMEREQD: an address without a name is no entry rather than its own digits.
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&sin), sizeof sin, name, sizeof name, nullptr, 0, NI_NAMEREQD) !=
        0)
        return std::nullopt;
    return HostEntry{name, {address}};
}

// By hand rather than with inet_ntop: the worker formats every reply's address, and the C library's
// version goes through sprintf.
std::string PosixHostResolver::formatDottedAddress(std::uint32_t address) {
    std::array<std::uint8_t, 4> bytes{}; // network order: the first byte is the first number
    std::memcpy(bytes.data(), &address, bytes.size());
    char text[INET_ADDRSTRLEN];
    char* const end = text + sizeof text;
    char* p = std::to_chars(text, end, bytes[0]).ptr;
    for (std::size_t i = 1; i < bytes.size(); ++i) {
        *p++ = '.';
        p = std::to_chars(p, end, bytes[i]).ptr;
    }
    return {text, p};
}
