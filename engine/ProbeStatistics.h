#pragma once

#include <cstdint>

#include "types/ProbeEvent.h"

// Running figures of a run since its start or the last reset.
class ProbeStatistics {
public:
    static constexpr std::uint32_t kNoRtt = 0xFFFFFFFFu;

    void reset();
    void addReply(std::uint32_t rttMs, std::uint32_t rttUs);
    void addLoss();

    [[nodiscard]] std::uint32_t successes() const { return successes_; }
    [[nodiscard]] std::uint32_t losses() const { return losses_; }
    [[nodiscard]] std::uint32_t minRtt() const { return minRtt_; }
    [[nodiscard]] std::uint32_t maxRtt() const { return maxRtt_; }
    [[nodiscard]] std::uint32_t rttSum() const { return rttSum_; }

    [[nodiscard]] RunStatistics figures() const;

private:
    std::uint32_t successes_ = 0;
    std::uint32_t losses_ = 0;
    std::uint32_t minRtt_ = kNoRtt;
    std::uint32_t maxRtt_ = 0;
    std::uint32_t rttSum_ = 0; // 32 bits, so it wraps after about 49 days of round trips
    std::uint32_t minUs_ = kNoRtt;
    std::uint32_t maxUs_ = 0;
    std::uint64_t sumUs_ = 0;
};
