#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <vector>

#include "types/IpAddress.h"

// One hop of a traced route: what the requests sent with this TTL (hop limit) brought back. Times in
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

// What a trace found: the hops from the first router up to the destination (or to where the path ended).
struct RouteResult {
    IpAddress destination;
    std::uint32_t rounds = 0;
    std::vector<RouteHop> hops;
    bool reached = false; // the destination answered at least once
    // The hop number from which the loss persists to the end of the path; nothing when the path has none.
    std::optional<std::uint8_t> lossBeginsAt;

    bool operator==(const RouteResult&) const = default;
};

void PrintTo(const RouteResult& result, std::ostream* os);

namespace RouteLoss {

// Where loss begins: the first hop from which every hop that answers at all shows loss, through to the end of
// the path. Loss at a middle hop that the hops after it do not show is that router sparing its ICMP answers,
// not lost traffic. A hop that never answered says nothing either way and is passed over, unless it is the
// end of the path. A destination that was never reached counts as lossy however its last hop did.
[[nodiscard]] std::optional<std::uint8_t> beginsAt(std::span<const RouteHop> hops, bool reached);

} // namespace RouteLoss
