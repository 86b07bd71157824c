#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "types/IpAddress.h"
#include "types/RouteChange.h"
#include "types/RouteHop.h"

// Tells a route change from the noise of repeated traces. A trace agrees with the known path when every hop that
// answered in both answered from an address known there: a silent hop says nothing. A second address heard
// beside a known one at a hop is learnt once two traces have heard it so (a load balancer answers from both
// trace after trace; a route that changed while a trace ran mixes them once). A trace that disagrees is a
// candidate; only a second trace in a row that agrees with the candidate (and not with the known path) makes it
// the new path and a change, so an alternation between two paths, one trace each, is never one.
class RouteChangeDetector {
public:
    // A trace's hops in hop order; the change it confirms, if any, with `host`, `address` and `id` left empty.
    [[nodiscard]] std::optional<RouteChange> feed(std::span<const RouteHop> hops, std::int64_t atMs);
    // Forgets the path (the host is traced at another address now).
    void reset();

    // Addresses known per hop (index 0 is hop 1); empty for a hop that never answered.
    using Path = std::vector<std::vector<IpAddress>>;
    [[nodiscard]] const Path& known() const { return known_; }

    // The first hop (from 1) at which both paths answered from no common address; 0 when they agree.
    [[nodiscard]] static std::uint8_t firstDifference(const Path& a, const Path& b);

private:
    void learn(const Path& trace);

    Path known_;
    // Per hop, addresses heard beside a known one and how many traces heard them so.
    std::vector<std::vector<std::pair<IpAddress, int>>> heardBeside_;
    std::optional<Path> candidate_;
};
