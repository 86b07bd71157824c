#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

// Where the metrics server listens: a numeric address (without brackets) and a port.
struct ListenAddress {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0; // 0 lets the system choose (used by tests; the parser never gives it)
    bool ipv6 = false;

    // "127.0.0.1:9100" or "[::1]:9100"
    [[nodiscard]] std::string toString() const;
    bool operator==(const ListenAddress&) const = default;
};

std::ostream& operator<<(std::ostream& os, const ListenAddress& listen);

struct ListenAddressParse {
    std::optional<ListenAddress> listen;
    std::string error; // why the text was refused, when listen is empty
};

// Reads "PORT" (loopback only), "ADDRESS:PORT" with a numeric IPv4 address or "localhost", or "[IPv6]:PORT".
// Names other than localhost are refused: listening beyond loopback must be asked for by writing the address.
[[nodiscard]] ListenAddressParse parseListenAddress(std::string_view text);
