#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "types/RouteChange.h"
#include "types/RouteHop.h"

// One trace of a watched path: who answered at each TTL and how, over the trace's few rounds.
struct PathTrace {
    std::string host;      // as configured
    std::string address;   // the address traced
    std::int64_t atMs = 0; // wall clock when the trace began
    std::vector<RouteHop> hops;
    bool reached = false; // the destination answered at least once

    friend bool operator==(const PathTrace&, const PathTrace&) = default;
};

// Told of every trace of a watched path and of every route change found, on the tracing thread. Like a
// ProbeObserver it must return at once (queue), so the next trace is never held up.
class PathObserver {
public:
    virtual ~PathObserver() = default;
    virtual void pathTraced(const PathTrace& trace) noexcept = 0;
    virtual void routeChanged(const RouteChange& change) noexcept = 0;
};
