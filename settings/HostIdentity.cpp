#include "settings/HostIdentity.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <optional>

#include "types/IpAddress.h"

namespace HostIdentity {

std::string of(std::string_view host) {
    if (host.empty())
        return {};
    const std::string text(host);
    // The prefixes keep an address apart from a name that happens to spell its bytes.
    if (std::array<unsigned char, 4> v4{}; inet_pton(AF_INET, text.c_str(), v4.data()) == 1)
        return "4:" + std::string(v4.begin(), v4.end());
    if (const std::optional<IpAddress> v6 = IpAddress::parseV6(text)) {
        std::string key = "6:" + std::string(v6->bytes.begin(), v6->bytes.end());
        // fe80::1 on two links is two hosts.
        if (v6->scopeId != 0)
            key += "%" + std::to_string(v6->scopeId);
        return key;
    }
    std::string key = "n:" + text;
    std::transform(key.begin(), key.end(), key.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    return key;
}

bool same(std::string_view a, std::string_view b) {
    return of(a) == of(b);
}

bool isWatched(std::string_view host, const std::vector<std::string>& watched) {
    const std::string key = of(host);
    return !key.empty() &&
           std::any_of(watched.begin(), watched.end(), [&key](const std::string& other) { return of(other) == key; });
}

} // namespace HostIdentity
