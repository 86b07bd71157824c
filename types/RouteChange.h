#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "types/IpAddress.h"

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
