#include "engine/RouteResult.h"

#include <ostream>

void PrintTo(const RouteResult& result, std::ostream* os) {
    *os << "{route to " << result.destination.text() << ", " << result.rounds << " rounds, "
        << (result.reached ? "reached" : "not reached") << ", loss begins at ";
    if (result.lossBeginsAt)
        *os << int{*result.lossBeginsAt};
    else
        *os << "none";
    for (const RouteHop& hop : result.hops) {
        *os << "\n  ";
        PrintTo(hop, os);
    }
    *os << "}";
}

namespace RouteLoss {

std::optional<std::uint8_t> beginsAt(std::span<const RouteHop> hops, bool reached) {
    if (hops.empty())
        return std::nullopt;
    const RouteHop& last = hops.back();
    if (reached && last.lost() == 0)
        return std::nullopt;
    std::uint8_t begins = last.number;
    for (auto hop = hops.rbegin() + 1; hop != hops.rend(); ++hop) {
        if (hop->neverAnswered())
            continue;
        if (hop->lost() == 0)
            break;
        begins = hop->number;
    }
    return begins;
}

} // namespace RouteLoss
