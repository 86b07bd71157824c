#include "probe/ConsoleText.h"

#include <cstdio>
#include <limits>

#include "text/IcmpStatusText.h"
#include "types/IpStatus.h"

namespace ConsoleText {

std::string millis(std::uint64_t us) {
    char text[32];
    // The rounding moves a time that would print as "100.0" or "10.00" to the next, shorter form.
    if (us >= 100'000 - 50)
        std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>((us + 500) / 1000));
    else if (us >= 10'000 - 5)
        std::snprintf(text, sizeof text, "%llu.%01llu", static_cast<unsigned long long>((us + 50) / 1000),
                      static_cast<unsigned long long>((us + 50) % 1000 / 100));
    else if (us >= 1000)
        std::snprintf(text, sizeof text, "%llu.%02llu", static_cast<unsigned long long>((us + 5) / 1000),
                      static_cast<unsigned long long>((us + 5) % 1000 / 10));
    else
        std::snprintf(text, sizeof text, "0.%03llu", static_cast<unsigned long long>(us));
    return text;
}

std::string fixedMillis(std::uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%03llu", static_cast<unsigned long long>(us / 1000),
                  static_cast<unsigned long long>(us % 1000));
    return text;
}

void replyLine(const ProbeEvent& event, std::uint64_t seq, std::string& line) {
    const std::string status =
        event.status == 0 ? std::string() : icmpStatusText(static_cast<std::int32_t>(event.status));
    if (!event.answered()) {
        line = status;
        line += ": seq=";
        line += std::to_string(seq);
        return;
    }
    line.assign("Replay from ");
    line += event.replier;
    line += ": seq=";
    line += std::to_string(seq);
    if (event.status != 0) {
        line += ' ';
        line += status;
        return;
    }
    line += " bytes=";
    line += std::to_string(event.bytes);
    line += " time=";
    line += millis(event.rttUs.value_or(std::uint64_t{event.rttMs} * 1000));
    line += " ms TTL=";
    line += std::to_string(event.ttl.value_or(0));
}

} // namespace ConsoleText

void RoundTrips::add(std::uint32_t us) {
    if (count_ == 0 || us < min_)
        min_ = us;
    if (us > max_)
        max_ = us;
    ++count_;
    sum_ += us;
    sumOfSquares_ += std::uint64_t{us} * us;
}

std::uint64_t RoundTrips::mdevUs() const {
    if (count_ == 0)
        return 0;
    // ping's order: dividing the squared sum before the subtraction keeps small times from rounding to nothing;
    // once the sum is too large to square, the mean is squared instead.
    const auto n = static_cast<long long>(count_);
    const auto sum = static_cast<long long>(sum_);
    const auto squares = static_cast<long long>(sumOfSquares_);
    const long long variance =
        sum < std::numeric_limits<int>::max() ? (squares - sum * sum / n) / n : squares / n - (sum / n) * (sum / n);
    // Newton's integer square root, stopped where ping's stops (which is not always the floor).
    long long previous = std::numeric_limits<long long>::max();
    long long x = variance;
    if (x > 0)
        while (x < previous) {
            previous = x;
            x = (x + variance / x) / 2;
        }
    return x > 0 ? static_cast<std::uint64_t>(x) : 0;
}
