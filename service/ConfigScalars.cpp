#include "service/ConfigScalars.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace ConfigScalars {

namespace {

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text.substr(0, 60)) {
        if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\') {
            out += '?';
        } else {
            out += c;
        }
    }
    return out + (text.size() > 60 ? "...\"" : "\"");
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int hexDigit(char c) {
    if (isDigit(c)) {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

struct Unit {
    std::string_view name;
    std::uint64_t ms;
};
// Longest spelling first where one is the start of another ("ms" before "m").
constexpr std::array<Unit, 6> kUnits = {
    {{"w", 604'800'000}, {"d", 86'400'000}, {"h", 3'600'000}, {"ms", 1}, {"m", 60'000}, {"s", 1'000}}};
constexpr std::array<std::string_view, 6> kUnitOrder = {"w", "d", "h", "m", "s", "ms"};

std::size_t rankOf(std::string_view unit) {
    for (std::size_t i = 0; i < kUnitOrder.size(); ++i) {
        if (kUnitOrder[i] == unit) {
            return i;
        }
    }
    return kUnitOrder.size();
}

} // namespace

std::optional<std::int64_t> integer(std::string_view text, std::int64_t low, std::int64_t high, std::string& why) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    // Anything past this many digits is out of every range the file has; it also keeps the sum from overflowing.
    constexpr std::uint64_t kCeiling = std::uint64_t{1} << 62;
    std::uint64_t value = 0;
    bool tooLarge = false;
    for (const char c : digits) {
        const int d = base == 16 ? hexDigit(c) : (isDigit(c) ? c - '0' : -1);
        if (d < 0) {
            digits = {};
            break;
        }
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
        if (value > kCeiling) {
            tooLarge = true;
            value = kCeiling;
        }
    }
    if (digits.empty()) {
        why = "expected a whole number, found " + quoted(text);
        return std::nullopt;
    }
    const std::int64_t signedValue = negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
    if (tooLarge || signedValue < low || signedValue > high) {
        why = quoted(text) + " is out of range: from " + std::to_string(low) + " to " + std::to_string(high);
        return std::nullopt;
    }
    return signedValue;
}

std::optional<std::uint64_t> durationMs(std::string_view text, std::uint64_t lowMs, std::uint64_t highMs,
                                        std::string& why) {
    const auto bad = [&] {
        why = "expected a duration such as 1s, 500ms or 1m30s, found " + quoted(text);
        return std::nullopt;
    };
    if (text == "0") {
        if (lowMs > 0) {
            why = "0 is too short: at least " + formatDuration(lowMs);
            return std::nullopt;
        }
        return 0;
    }
    if (text.empty()) {
        return bad();
    }
    // Everything is reckoned in microseconds with a ceiling far above any allowed value, so nothing overflows.
    constexpr std::uint64_t kCeiling = std::uint64_t{1} << 60;
    std::uint64_t totalMicros = 0;
    std::size_t lastRank = 0;
    bool first = true;
    std::string_view rest = text;
    while (!rest.empty()) {
        std::uint64_t whole = 0;
        std::size_t i = 0;
        for (; i < rest.size() && isDigit(rest[i]); ++i) {
            whole = std::min<std::uint64_t>(whole * 10 + static_cast<std::uint64_t>(rest[i] - '0'), kCeiling);
        }
        if (i == 0) {
            return bad();
        }
        std::uint64_t fraction = 0;
        std::uint64_t scale = 1;
        if (i < rest.size() && rest[i] == '.') {
            const std::size_t start = ++i;
            for (; i < rest.size() && isDigit(rest[i]); ++i) {
                if (scale < 1'000'000'000) { // digits past nanoseconds change nothing here
                    fraction = fraction * 10 + static_cast<std::uint64_t>(rest[i] - '0');
                    scale *= 10;
                }
            }
            if (i == start) {
                return bad();
            }
        }
        rest.remove_prefix(i);
        const Unit* unit = nullptr;
        for (const Unit& u : kUnits) {
            if (rest.starts_with(u.name)) {
                unit = &u;
                break;
            }
        }
        if (unit == nullptr) {
            return bad();
        }
        const std::size_t rank = rankOf(unit->name);
        if (!first && rank <= lastRank) {
            why = "the units of " + quoted(text) + " must go from the largest to the smallest, each once";
            return std::nullopt;
        }
        first = false;
        lastRank = rank;
        rest.remove_prefix(unit->name.size());
        const std::uint64_t unitMicros = unit->ms * 1000;
        const std::uint64_t part = whole >= kCeiling / unitMicros ? kCeiling : whole * unitMicros;
        totalMicros = std::min(kCeiling, totalMicros + part + fraction * unitMicros / scale);
    }
    if (totalMicros % 1000 != 0) {
        why = quoted(text) + " is finer than a millisecond";
        return std::nullopt;
    }
    const std::uint64_t ms = totalMicros / 1000;
    if (ms < lowMs || ms > highMs) {
        why = quoted(text) + " is out of range: from " + formatDuration(lowMs) + " to " + formatDuration(highMs);
        return std::nullopt;
    }
    return ms;
}

std::optional<std::uint32_t> secondsAsMicros(std::string_view text, std::string& why) {
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    const double seconds = copy.empty() ? 0.0 : std::strtod(copy.c_str(), &end);
    const bool number = !copy.empty() && end == copy.c_str() + copy.size() && errno == 0 && std::isfinite(seconds) &&
                        (isDigit(copy.front()) || copy.front() == '.');
    if (!number) {
        why = "expected a number of seconds, found " + quoted(text);
        return std::nullopt;
    }
    const double micros = std::round(seconds * 1e6);
    constexpr double kMaxMicros = 3600.0 * 1e6;
    if (micros < 1.0 || micros > kMaxMicros) {
        why = quoted(text) + " is out of range: from 0.000001 to 3600 seconds";
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(micros);
}

std::string formatDuration(std::uint64_t ms) {
    if (ms == 0) {
        return "0";
    }
    std::string out;
    for (const std::string_view name : kUnitOrder) {
        std::uint64_t unitMs = 1;
        for (const Unit& u : kUnits) {
            if (u.name == name) {
                unitMs = u.ms;
            }
        }
        if (ms >= unitMs) {
            out += std::to_string(ms / unitMs);
            out += name;
            ms %= unitMs;
        }
    }
    return out;
}

bool isLabelName(std::string_view text) {
    if (text.empty() || text.starts_with("__") || isDigit(text.front())) {
        return false;
    }
    for (const char c : text) {
        if (!(isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_')) {
            return false;
        }
    }
    // The series carry these already.
    return text != "host" && text != "address" && text != "target" && text != "le";
}

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t point = 0;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if ((c & 0xE0) == 0xC0) {
            length = 2;
            point = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3;
            point = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4;
            point = c & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            point = (point << 6) | (next & 0x3F);
        }
        constexpr std::array<std::uint32_t, 5> kShortest = {0, 0, 0x80, 0x800, 0x10000};
        if (point < kShortest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

bool isHostText(std::string_view text) {
    if (text.empty() || text.size() > 255) {
        return false;
    }
    for (const char c : text) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) {
            return false;
        }
    }
    return true;
}

} // namespace ConfigScalars
