#include "text/ProbeText.h"

#include <charconv>
#include <cstring>

#include "text/IcmpStatusText.h"
#include "types/Rounding.h"

namespace {

constexpr std::size_t kDigits = 10; // of the largest 32-bit value

// Writes at most kDigits characters at `first`.
char* toChars(char* first, std::uint32_t value) {
    return std::to_chars(first, first + kDigits, value).ptr;
}

template <std::size_t N> char* append(char* p, const char (&text)[N]) {
    std::memcpy(p, text, N - 1);
    return p + N - 1;
}

void appendNumber(std::string& text, std::uint32_t value) {
    char digits[kDigits];
    text.append(digits, toChars(digits, value));
}

} // namespace

namespace ProbeText {

void replyLine(const ProbeEvent& event, std::string& line) {
    if (!event.answered()) {
        line = icmpStatusText(static_cast<std::int32_t>(event.status));
        return;
    }
    line.assign("Replay from ");
    line += event.replier;
    if (event.status != 0) {
        line += ": ";
        line += icmpStatusText(static_cast<std::int32_t>(event.status));
        return;
    }
    line += ": bytes=";
    appendNumber(line, event.bytes);
    line += " time=";
    appendNumber(line, event.rttMs);
    line += "ms TTL=";
    appendNumber(line, event.ttl.value_or(0));
}

std::string replyLine(const ProbeEvent& event) {
    std::string line;
    replyLine(event, line);
    return line;
}

std::string millis(std::uint32_t ms) {
    char text[kDigits + 2];
    return {text, append(toChars(text, ms), "ms")};
}

// The total is a 32-bit counter like its parts, so it wraps with them.
std::string total(const RunStatistics& stats) {
    char text[kDigits];
    return {text, toChars(text, stats.requests)};
}

std::uint32_t lostPercent(const RunStatistics& stats) {
    return Rounding::percent(stats.lost, stats.requests);
}

std::string lost(const RunStatistics& stats) {
    char text[2 * kDigits + 4];
    char* p = toChars(text, stats.lost);
    p = append(p, " (");
    p = toChars(p, lostPercent(stats));
    p = append(p, "%)");
    return {text, p};
}

std::vector<std::pair<Label, std::string>> labels(const ProbeEvent& event) {
    std::vector<std::pair<Label, std::string>> fields;
    fields.reserve(6);
    if (event.good()) {
        fields.emplace_back(Label::Min, millis(event.stats.minMs));
        fields.emplace_back(Label::Max, millis(event.stats.maxMs));
        fields.emplace_back(Label::Avg, millis(event.stats.avgMs));
    }
    fields.emplace_back(Label::Status, replyLine(event));
    fields.emplace_back(Label::Total, total(event.stats));
    fields.emplace_back(Label::Lost, lost(event.stats));
    return fields;
}

} // namespace ProbeText
