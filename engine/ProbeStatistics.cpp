#include "engine/ProbeStatistics.h"

#include <charconv>
#include <cstring>

#include "engine/Rounding.h"

// The texts are made after every probe, so they are put together in place rather than from temporaries.
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

std::string millisText(std::uint32_t value) {
    char text[kDigits + 2];
    return {text, append(toChars(text, value), "ms")};
}

} // namespace

void ProbeStatistics::reset() {
    *this = ProbeStatistics{};
}

void ProbeStatistics::addReply(std::uint32_t rttMs) {
    ++successes_;
    rttSum_ += rttMs;
    if (rttMs < minRtt_)
        minRtt_ = rttMs;
    if (rttMs >= maxRtt_)
        maxRtt_ = rttMs;
}

void ProbeStatistics::addLoss() {
    ++losses_;
}

std::string ProbeStatistics::minText() const {
    return millisText(minRtt_);
}

std::string ProbeStatistics::maxText() const {
    return millisText(maxRtt_);
}

std::string ProbeStatistics::avgText() const {
    return millisText(Rounding::quotient(rttSum_, successes_));
}

// The total is a 32-bit counter like its parts, so it wraps with them.
std::string ProbeStatistics::totalText() const {
    char text[kDigits];
    return {text, toChars(text, successes_ + losses_)};
}

std::string ProbeStatistics::lostText() const {
    char text[2 * kDigits + 4];
    char* p = toChars(text, losses_);
    p = append(p, " (");
    p = toChars(p, Rounding::percent(losses_, successes_ + losses_));
    p = append(p, "%)");
    return {text, p};
}
