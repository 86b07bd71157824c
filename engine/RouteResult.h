#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <vector>

#include "types/IpAddress.h"
#include "types/RouteHop.h"

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
