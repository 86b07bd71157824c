#include "types/IpAddress.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <ostream>
#include <string>

IpAddress IpAddress::v4(std::uint32_t networkOrder) {
    IpAddress address;
    address.family = Family::V4;
    std::memcpy(address.bytes.data(), &networkOrder, sizeof networkOrder);
    return address;
}

IpAddress IpAddress::v6(std::span<const std::uint8_t, 16> bytes, std::uint32_t scopeId) {
    IpAddress address;
    address.family = Family::V6;
    std::copy(bytes.begin(), bytes.end(), address.bytes.begin());
    address.scopeId = scopeId;
    return address;
}

std::optional<IpAddress> IpAddress::parse(std::string_view text) {
    in_addr v4{};
    if (text.size() < INET_ADDRSTRLEN && inet_pton(AF_INET, std::string(text).c_str(), &v4) == 1)
        return IpAddress::v4(v4.s_addr);
    return parseV6(text);
}

std::optional<IpAddress> IpAddress::parseV6(std::string_view text) {
    const std::string whole(text);
    if (whole.find(':') == std::string::npos || whole.find('\0') != std::string::npos)
        return std::nullopt;
    // getaddrinfo rather than inet_pton: it also reads the zone, as a name or a number.
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* list = nullptr;
    if (getaddrinfo(whole.c_str(), nullptr, &hints, &list) != 0 || list == nullptr)
        return std::nullopt;
    std::optional<IpAddress> result;
    if (list->ai_family == AF_INET6 && list->ai_addrlen >= sizeof(sockaddr_in6)) {
        sockaddr_in6 sin6{};
        std::memcpy(&sin6, list->ai_addr, sizeof sin6);
        std::array<std::uint8_t, 16> bytes{};
        std::memcpy(bytes.data(), &sin6.sin6_addr, bytes.size());
        result = v6(bytes, sin6.sin6_scope_id);
    }
    freeaddrinfo(list);
    return result;
}

std::uint32_t IpAddress::v4Value() const {
    std::uint32_t value = 0xFFFFFFFFu;
    if (isV4())
        std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

std::string IpAddress::text() const {
    if (isV4()) {
        // By hand rather than with inet_ntop: the worker formats reply addresses, and the C library's
        // version goes through sprintf.
        char text[INET_ADDRSTRLEN];
        char* const end = text + sizeof text;
        char* p = std::to_chars(text, end, bytes[0]).ptr;
        for (std::size_t i = 1; i < 4; ++i) {
            *p++ = '.';
            p = std::to_chars(p, end, bytes[i]).ptr;
        }
        return {text, p};
    }
    if (!isV6())
        return {};
    char text[INET6_ADDRSTRLEN] = {};
    in6_addr raw{};
    std::memcpy(&raw, bytes.data(), sizeof raw);
    inet_ntop(AF_INET6, &raw, text, sizeof text);
    std::string result = text;
    if (scopeId != 0) {
        char name[IF_NAMESIZE] = {};
        result += '%';
        result += if_indextoname(scopeId, name) != nullptr ? std::string(name) : std::to_string(scopeId);
    }
    return result;
}

void PrintTo(const IpAddress& address, std::ostream* os) {
    *os << (address.family == IpAddress::Family::None ? std::string("<no address>") : address.text());
}
