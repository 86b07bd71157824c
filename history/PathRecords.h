#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "types/IpAddress.h"

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

// The path to a host changed in a way that lasted: `before` and `after` are the responding address of each hop
// in hop order (an unspecified address for a hop that did not answer), `hop` the first that differs.
struct RouteChange {
    std::int64_t id = 0; // the ledger's; 0 before it is stored
    std::string host;    // as configured
    std::string address; // the address traced
    std::int64_t atMs = 0;
    std::uint8_t hop = 0;
    std::vector<IpAddress> before;
    std::vector<IpAddress> after;

    friend bool operator==(const RouteChange&, const RouteChange&) = default;
};
