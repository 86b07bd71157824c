#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "types/RouteHop.h"

// A hop written as the ledger's row reads: number, addresses, sent, lost, last, best, avg, worst, stddev.
inline RouteHop routeHop(std::uint8_t number, const std::vector<std::string>& addresses, std::uint32_t sent,
                         std::uint32_t lost, std::uint32_t lastUs = 0, std::uint32_t bestUs = 0,
                         std::uint32_t averageUs = 0, std::uint32_t worstUs = 0, std::uint32_t stdDevUs = 0,
                         bool unreachable = false) {
    RouteHop hop;
    hop.number = number;
    for (const std::string& text : addresses)
        hop.answered.push_back(IpAddress::parse(text).value_or(IpAddress{}));
    hop.sent = sent;
    hop.received = sent - lost;
    hop.lastUs = lastUs;
    hop.bestUs = bestUs;
    hop.averageUs = averageUs;
    hop.worstUs = worstUs;
    hop.stdDevUs = stdDevUs;
    hop.unreachable = unreachable;
    return hop;
}
