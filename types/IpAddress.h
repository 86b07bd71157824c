#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// An IPv4 or IPv6 address as it travels from the resolver to the worker: the family, the bytes in network
// order (an IPv4 address fills the first four) and, for a link-local IPv6 address, the interface it lives on.
struct IpAddress {
    enum class Family : std::uint8_t { None, V4, V6 };

    Family family = Family::None;
    std::array<std::uint8_t, 16> bytes{};
    std::uint32_t scopeId = 0; // IPv6 only: interface index, 0 = none

    [[nodiscard]] static IpAddress v4(std::uint32_t networkOrder);
    [[nodiscard]] static IpAddress v6(std::span<const std::uint8_t, 16> bytes, std::uint32_t scopeId = 0);
    // A numeric IPv6 address with an optional "%zone" (an interface name or index); nothing for anything
    // else, IPv4 text included.
    [[nodiscard]] static std::optional<IpAddress> parseV6(std::string_view text);
    // A numeric address as text() writes it: dotted decimal IPv4, or IPv6 as parseV6 reads it.
    [[nodiscard]] static std::optional<IpAddress> parse(std::string_view text);

    [[nodiscard]] bool isV4() const { return family == Family::V4; }
    [[nodiscard]] bool isV6() const { return family == Family::V6; }
    // The IPv4 address in network byte order; all ones for an address of another family.
    [[nodiscard]] std::uint32_t v4Value() const;
    [[nodiscard]] std::span<const std::uint8_t, 16> v6Bytes() const { return bytes; }
    // Whether both name the same host, whatever interface each was reached on.
    [[nodiscard]] bool sameHost(const IpAddress& other) const { return family == other.family && bytes == other.bytes; }

    // Dotted decimal, or the RFC 5952 form with "%zone" (interface name where it exists, else its index);
    // empty for no address.
    [[nodiscard]] std::string text() const;

    bool operator==(const IpAddress&) const = default;
};

void PrintTo(const IpAddress& address, std::ostream* os);
