#include "engine/ProbeStatistics.h"

#include "engine/Rounding.h"

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
    return std::to_string(minRtt_) + "ms";
}

std::string ProbeStatistics::maxText() const {
    return std::to_string(maxRtt_) + "ms";
}

std::string ProbeStatistics::avgText() const {
    return std::to_string(Rounding::Quotient(rttSum_, successes_)) + "ms";
}

// The total is a 32-bit counter like its parts, so it wraps with them.
std::string ProbeStatistics::totalText() const {
    return std::to_string(successes_ + losses_);
}

std::string ProbeStatistics::lostText() const {
    return std::to_string(losses_) + " (" + std::to_string(Rounding::Percent(losses_, successes_ + losses_)) + "%)";
}
