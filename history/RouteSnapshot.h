#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "types/RouteHop.h"

// Why a trace was taken: the host went Bad, or someone asked for it.
enum class RouteReason : std::uint8_t { Outage, OnDemand };

// A route trace kept in the ledger: when it was taken, of which host, and what each hop did.
struct RouteSnapshot {
    std::int64_t id = 0; // the ledger's; 0 before it is stored
    std::string host;    // as configured
    std::string address; // the address traced
    std::int64_t takenMs = 0;
    RouteReason reason = RouteReason::Outage;
    std::uint32_t rounds = 0;
    bool reached = false;                 // the destination answered at least once
    std::optional<int> lossBeginsAt;      // hop number; none: no loss on the path
    std::optional<std::int64_t> outageId; // the outage it was taken for, once stored
    std::vector<RouteHop> hops;

    // The address of the hop where loss begins (its first), empty when there is none or it never answered.
    [[nodiscard]] std::string lossAddress() const;

    friend bool operator==(const RouteSnapshot&, const RouteSnapshot&) = default;
};

std::ostream& operator<<(std::ostream& os, const RouteSnapshot& s);

// The stored text of a reason ("outage", "on demand") and back; an unknown text reads as on demand.
[[nodiscard]] const char* routeReasonText(RouteReason reason);
[[nodiscard]] RouteReason routeReasonFromText(const std::string& text);
