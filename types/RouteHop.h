#pragma once

#include <cstdint>
#include <iosfwd>
#include <vector>

#include "types/IpAddress.h"

// One hop of a traced route: what the requests sent with this TTL (hop limit) brought back. The tracer makes
// it, the ledger keeps it and the windows and the console show it, all as this one type. Times in
// microseconds; they mean something only when `received` is not 0.
struct RouteHop {
    std::uint8_t number = 0;         // the TTL, 1 for the first router
    std::vector<IpAddress> answered; // who answered, in the order first heard; empty: the hop never answered
    std::uint32_t sent = 0;          // requests settled: answered, or given up after the wait
    std::uint32_t received = 0;
    std::uint32_t lastUs = 0;
    std::uint32_t bestUs = 0;
    std::uint32_t worstUs = 0;
    std::uint32_t averageUs = 0;
    std::uint32_t stdDevUs = 0; // sample standard deviation, as mtr gives it
    // The hop answered "destination unreachable": the path ends here, nothing got past it.
    bool unreachable = false;

    [[nodiscard]] std::uint32_t lost() const { return sent - received; }
    // 0 to 100; 0 while nothing was sent.
    [[nodiscard]] double lossPercent() const;
    [[nodiscard]] bool neverAnswered() const { return received == 0; }

    bool operator==(const RouteHop&) const = default;
};

void PrintTo(const RouteHop& hop, std::ostream* os);
