#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "history/PathRecords.h"

// Where the Route window reads a host's path over time and writes its export: the program points these at the
// ledger, the tests at vectors and recorders. Each may be left empty: no path is shown, or no export offered.
struct PathSource {
    // Every hop's minutes of `host` within [fromMs, toMs), in time order.
    std::function<std::vector<PathMinute>(const std::string& host, std::int64_t fromMs, std::int64_t toMs)> minutes;
    // The route changes of `host` within [fromMs, toMs), in time order.
    std::function<std::vector<RouteChange>(const std::string& host, std::int64_t fromMs, std::int64_t toMs)> changes;

    enum class Format { Csv, Json };
    // Writes `host`'s path over [fromMs, toMs), per hop per minute, in `format`; false when it could not.
    std::function<bool(Format format, const std::string& host, std::int64_t fromMs, std::int64_t toMs,
                       std::ostream& out)>
        write;
    // Why the last write failed, for the message ("the history could not be read" when empty).
    std::function<std::string()> problem;
};
