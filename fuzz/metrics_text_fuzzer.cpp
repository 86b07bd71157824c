// The metrics texts that carry outside input: the listen address the user types, label values made from host
// names (any bytes), the seconds figures, and the exposition a scraper reads.
//
// Input: a mode byte, then the text (mode 2: eight bytes of microseconds; mode 3: host NUL address NUL
// followed by probe records of nine bytes: rtt in microseconds (4), status (4), flags (1): bit 0 an rtt is given,
// bit 1 the second series, bit 2 set the host status to the top two bits, bit 3 a TTL (the rtt's top byte)).

#include <arpa/inet.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "metrics/Exposition.h"
#include "metrics/ListenAddress.h"
#include "metrics/MetricsRegistry.h"

#include "fuzz/FuzzSupport.h"

namespace {

// Decodes code points one by one: valid when every sequence is the shortest form of a scalar value.
bool validUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto lead = static_cast<unsigned char>(s[i]);
        std::size_t length = lead < 0x80             ? 1
                             : (lead & 0xe0) == 0xc0 ? 2
                             : (lead & 0xf0) == 0xe0 ? 3
                             : (lead & 0xf8) == 0xf0 ? 4
                                                     : 0;
        if (length == 0 || i + length > s.size())
            return false;
        std::uint32_t cp = length == 1 ? lead : lead & (0x7fu >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(s[i + k]);
            if ((next & 0xc0) != 0x80)
                return false;
            cp = cp << 6 | (next & 0x3fu);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[length] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
            return false;
        i += length;
    }
    return true;
}

// Undoes the label escaping; nothing when an escape is unknown or a quote or line feed stands bare.
std::optional<std::string> unescape(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '"' || s[i] == '\n')
            return std::nullopt;
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (++i == s.size())
            return std::nullopt;
        if (s[i] == 'n')
            out += '\n';
        else if (s[i] == '\\' || s[i] == '"')
            out += s[i];
        else
            return std::nullopt;
    }
    return out;
}

void checkListenAddress(std::string_view text) {
    const ListenAddressParse parsed = parseListenAddress(text);
    if (!parsed.listen) {
        require(!parsed.error.empty(), "a refused address without a reason");
        return;
    }
    const ListenAddress& listen = *parsed.listen;
    require(parsed.error.empty(), "an accepted address with an error");
    require(listen.port >= 1, "port 0 accepted");
    unsigned char buffer[sizeof(in6_addr)];
    require(inet_pton(listen.ipv6 ? AF_INET6 : AF_INET, listen.address.c_str(), buffer) == 1,
            "accepted an address the server cannot bind");
    const ListenAddressParse again = parseListenAddress(listen.toString());
    require(again.listen == listen, "the written form does not read back");
    // A bare port must listen on loopback only.
    if (text.find(':') == std::string_view::npos)
        require(listen.address == "127.0.0.1" && !listen.ipv6, "a bare port listens beyond loopback");
}

void checkLabel(std::string_view value) {
    const std::string escaped = escapeLabelValue(value);
    require(validUtf8(escaped), "escaped label is not UTF-8");
    const auto back = unescape(escaped);
    require(back.has_value(), "escaped label holds a bare quote, line feed or unknown escape");
    if (validUtf8(value))
        require(*back == value, "a valid label value changed");
    else
        require(back->size() > 0 && back->find("\xEF\xBF\xBD") != std::string::npos, "invalid bytes not replaced");
}

void checkSeconds(std::uint64_t micros) {
    const std::string text = microsAsSeconds(micros);
    const auto dot = text.find('.');
    require(text.find_first_not_of("0123456789.") == std::string::npos && !text.empty() && text[0] != '.',
            "seconds are not a plain decimal");
    if (dot != std::string::npos)
        require(text.size() - dot - 1 >= 1 && text.size() - dot - 1 <= 6 && text.back() != '0',
                "seconds have trailing zeros or too many decimals");
    unsigned __int128 whole = 0;
    for (std::size_t i = 0; i < (dot == std::string::npos ? text.size() : dot); ++i)
        whole = whole * 10 + static_cast<unsigned>(text[i] - '0');
    std::string fraction = dot == std::string::npos ? std::string() : text.substr(dot + 1);
    fraction.resize(6, '0');
    const unsigned __int128 value = whole * 1'000'000 + std::stoull(fraction);
    require(value == micros, "seconds do not convert back");
}

// Every sample line must be `name{labels} value` with well-escaped label values; the host and address labels
// must read back to what the registry was given (made valid UTF-8).
void checkExposition(std::string_view host, std::string_view address, std::string_view records) {
    MetricsRegistry registry("fuzz");
    for (; records.size() >= 9; records.remove_prefix(9)) {
        std::uint32_t rtt, status;
        std::memcpy(&rtt, records.data(), 4);
        std::memcpy(&status, records.data() + 4, 4);
        const auto flags = static_cast<unsigned char>(records[8]);
        // Bit 1 switches to a second series, so eviction and the current pair get exercised.
        const std::string seriesHost = (flags & 2) ? std::string(host) + "#" : std::string(host);
        const auto ttl = (flags & 8) ? std::optional(static_cast<std::uint8_t>(rtt >> 24)) : std::nullopt;
        registry.recordProbe(seriesHost, address,
                             (flags & 1) ? std::optional(std::chrono::microseconds(rtt)) : std::nullopt, status, ttl);
        if (flags & 4)
            registry.setHostStatus(seriesHost, address, static_cast<HostStatus>(flags >> 6));
    }
    const std::string text = writeExposition(registry.snapshot());
    require(validUtf8(text), "exposition is not UTF-8");
    require(!text.empty() && text.back() == '\n', "exposition does not end with a line feed");
    const std::string escapedHost = escapeLabelValue(host);
    // Per series of the host status: how many states it shows, and how many of them are 1.
    std::map<std::string, std::pair<int, int>> states;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        const std::string_view line(text.data() + start, end - start);
        start = end + 1;
        if (line.starts_with("# "))
            continue;
        // The one process-wide figure: a plain number of seconds, without labels.
        if (line.starts_with("process_start_time_seconds ")) {
            const std::string_view seconds = line.substr(27);
            require(!seconds.empty() && seconds.find_first_not_of("0123456789.") == std::string_view::npos,
                    "process start is not a number");
            continue;
        }
        const auto brace = line.find('{');
        require(brace != std::string_view::npos && brace > 0, "sample without labels");
        std::size_t i = brace + 1;
        for (;;) {
            const auto eq = line.find("=\"", i);
            require(eq != std::string_view::npos, "label without a quoted value");
            std::size_t close = eq + 2;
            while (close < line.size() && line[close] != '"')
                close += line[close] == '\\' ? 2 : 1;
            require(close < line.size(), "label value not closed");
            const std::string_view name = line.substr(i, eq - i);
            const auto value = unescape(line.substr(eq + 2, close - eq - 2));
            require(value.has_value(), "label value badly escaped");
            if (name == "address")
                require(*value == *unescape(escapeLabelValue(address)), "address label changed");
            if (name == "host")
                require(value->starts_with(*unescape(escapedHost)), "host label changed");
            i = close + 1;
            if (line[i] == '}')
                break;
            require(line[i] == ',', "labels not separated by commas");
            ++i;
        }
        const std::string_view value = line.substr(i + 1);
        require(value.size() > 1 && value[0] == ' ' &&
                    value.find_first_not_of("0123456789.+Inf", 1) == std::string_view::npos,
                "sample value is not a number");
        if (line.starts_with("ostrevo_host_status{")) {
            const auto state = line.rfind(",status=\"");
            require(state != std::string_view::npos, "host status without its state");
            const std::string_view name = line.substr(state + 9, line.find('"', state + 9) - state - 9);
            require(name == "good" || name == "average" || name == "bad" || name == "unknown", "unknown state");
            require(value == " 0" || value == " 1", "a state neither 0 nor 1");
            auto& [shown, set] = states[std::string(line.substr(0, state))];
            ++shown;
            set += value == " 1" ? 1 : 0;
        }
    }
    require(states.size() == registry.snapshot().series.size(), "a series without its host status");
    for (const auto& [series, counts] : states)
        require(counts.first == 4 && counts.second == 1, "a host status is not exactly one of four states");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 4) {
    case 0:
        checkListenAddress(text);
        break;
    case 1:
        checkLabel(text);
        break;
    case 2:
        if (text.size() >= 8) {
            std::uint64_t micros;
            std::memcpy(&micros, text.data(), 8);
            checkSeconds(micros);
        }
        break;
    default: {
        const auto first = text.find('\0');
        const auto second = first == std::string_view::npos ? first : text.find('\0', first + 1);
        if (second == std::string_view::npos)
            break;
        checkExposition(text.substr(0, first), text.substr(first + 1, second - first - 1), text.substr(second + 1));
        break;
    }
    }
    return 0;
}
