#include "engine/ProbeStatistics.h"

#include "types/Rounding.h"

void ProbeStatistics::reset() {
    *this = ProbeStatistics{};
}

void ProbeStatistics::addReply(std::uint32_t rttMs, std::uint32_t rttUs) {
    ++successes_;
    rttSum_ += rttMs;
    if (rttMs < minRtt_)
        minRtt_ = rttMs;
    if (rttMs >= maxRtt_)
        maxRtt_ = rttMs;
    sumUs_ += rttUs;
    if (rttUs < minUs_)
        minUs_ = rttUs;
    if (rttUs > maxUs_)
        maxUs_ = rttUs;
}

void ProbeStatistics::addLoss() {
    ++losses_;
}

RunStatistics ProbeStatistics::figures() const {
    RunStatistics figures;
    // The window's total is a 32-bit counter like its parts, so it wraps with them.
    figures.requests = successes_ + losses_;
    figures.lost = losses_;
    figures.minMs = minRtt_;
    figures.maxMs = maxRtt_;
    figures.avgMs = Rounding::quotient(rttSum_, successes_);
    figures.minUs = successes_ == 0 ? 0 : minUs_;
    figures.maxUs = maxUs_;
    figures.avgUs = Rounding::quotient(sumUs_, successes_);
    return figures;
}
