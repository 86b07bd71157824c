#include "app/options/HostNames.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <optional>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

std::string_view trimmed(std::string_view text) {
    const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// The address a numeric host stands for, as 16 bytes (IPv4 mapped), or nothing for a name.
std::optional<std::array<unsigned char, 16>> addressOf(const std::string& text) {
    std::array<unsigned char, 16> bytes{};
    in6_addr v6{};
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        std::memcpy(bytes.data(), &v6, bytes.size());
        return bytes;
    }
    // inet_aton takes the classic forms the run control reads with inet_addr, 255.255.255.255 included.
    in_addr v4{};
    if (inet_aton(text.c_str(), &v4) != 0) {
        bytes[10] = bytes[11] = 0xff;
        std::memcpy(bytes.data() + 12, &v4, 4);
        return bytes;
    }
    return std::nullopt;
}

} // namespace

bool HostNames::same(std::string_view a, std::string_view b) {
    const std::string left(trimmed(a));
    const std::string right(trimmed(b));
    if (left.empty() || right.empty())
        return false;
    const auto leftAddress = addressOf(left);
    const auto rightAddress = addressOf(right);
    if (leftAddress || rightAddress)
        return leftAddress == rightAddress;
    return std::equal(left.begin(), left.end(), right.begin(), right.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}
