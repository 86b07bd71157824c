#include "metrics/ListenAddress.h"

#include <arpa/inet.h>

#include <charconv>

namespace {

constexpr std::string_view kForms = " (expected PORT, ADDRESS:PORT or [IPv6 ADDRESS]:PORT)";

ListenAddressParse refuse(std::string_view text, std::string_view why) {
    return {std::nullopt, "\"" + std::string(text) + "\": " + std::string(why)};
}

std::optional<std::uint16_t> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    unsigned value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    if (value < 1 || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

bool isNumericAddress(int family, const std::string& address) {
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(family, address.c_str(), buffer) == 1;
}

} // namespace

std::string ListenAddress::toString() const {
    return (ipv6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

std::ostream& operator<<(std::ostream& os, const ListenAddress& listen) {
    return os << listen.toString();
}

ListenAddressParse parseListenAddress(std::string_view text) {
    const std::string_view blanks = " \t";
    const auto first = text.find_first_not_of(blanks);
    const std::string_view trimmed = first == std::string_view::npos
                                         ? std::string_view{}
                                         : text.substr(first, text.find_last_not_of(blanks) - first + 1);
    if (trimmed.empty())
        return refuse(text, std::string("no address given") + std::string(kForms));

    ListenAddress listen;
    std::string_view portText = trimmed;
    if (trimmed.front() == '[') {
        const auto close = trimmed.find(']');
        if (close == std::string_view::npos || close + 1 >= trimmed.size() || trimmed[close + 1] != ':')
            return refuse(text,
                          std::string("an IPv6 address in brackets must be followed by :PORT") + std::string(kForms));
        listen.address = std::string(trimmed.substr(1, close - 1));
        listen.ipv6 = true;
        if (!isNumericAddress(AF_INET6, listen.address))
            return refuse(text, "\"" + listen.address + "\" is not an IPv6 address");
        portText = trimmed.substr(close + 2);
    } else if (const auto colon = trimmed.rfind(':'); colon != std::string_view::npos) {
        if (trimmed.find(':') != colon)
            return refuse(text, "write an IPv6 address in brackets, as in [::1]:9100");
        listen.address = std::string(trimmed.substr(0, colon));
        if (listen.address == "localhost")
            listen.address = "127.0.0.1";
        if (listen.address.empty())
            return refuse(text, std::string("no address before the colon") + std::string(kForms));
        if (!isNumericAddress(AF_INET, listen.address))
            return refuse(text, "\"" + listen.address + "\" is not an IPv4 address in dotted form");
        portText = trimmed.substr(colon + 1);
    }
    const auto port = parsePort(portText);
    if (!port)
        return refuse(text, "the port must be a number from 1 to 65535" + std::string(kForms));
    listen.port = *port;
    return {listen, {}};
}
