#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "types/IpAddress.h"
#include "types/RouteChange.h"

// One hop of a host's path over one minute of path watching: who answered at that TTL and how it went.
// Times in microseconds; they mean something only when `received()` is not 0.
struct PathMinute {
    std::int64_t minuteMs = 0;       // start of the minute, milliseconds since the epoch
    std::uint8_t hop = 0;            // the TTL, 1 for the first router
    std::vector<IpAddress> answered; // who answered within the minute, first heard first; empty: silent
    std::uint32_t sent = 0;
    std::uint32_t lost = 0;
    std::uint32_t minUs = 0;
    std::uint32_t avgUs = 0;
    std::uint32_t maxUs = 0;
    std::uint32_t mdevUs = 0;

    [[nodiscard]] std::uint32_t received() const { return sent - lost; }
    // 0 to 100; 0 while nothing was sent.
    [[nodiscard]] double lossPercent() const { return sent == 0 ? 0.0 : 100.0 * lost / sent; }

    friend bool operator==(const PathMinute&, const PathMinute&) = default;
};
