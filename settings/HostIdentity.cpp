#include "settings/HostIdentity.h"

#include <arpa/inet.h>

#include <algorithm>
#include <optional>

#include "types/IpAddress.h"

namespace HostIdentity {

std::string of(std::string_view host) {
    // Blanks at either end are no part of a name, and the resolver skips them too.
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!host.empty() && blank(host.front()))
        host.remove_prefix(1);
    while (!host.empty() && blank(host.back()))
        host.remove_suffix(1);
    if (host.empty())
        return {};
    const std::string text(host);
    // The prefixes keep an address apart from a name that happens to spell its bytes. IPv4 in every form the
    // program probes it by ("127.1", "0x7f.0.0.1"), so two spellings of one probed address are one host.
    if (in_addr v4{}; inet_aton(text.c_str(), &v4) != 0) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(&v4.s_addr);
        return "4:" + std::string(bytes, bytes + 4);
    }
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
