#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "history/PathRecords.h"

// A host's path over a span as files for other tools: CSV with one line per hop and minute (RFC 4180, as the
// probes' export), JSON with the minutes and the route changes. Pure functions over what the ledger read.
namespace PathExport {

// time,host,hop,answered,sent,lost,loss_percent,min_ms,avg_ms,max_ms,mdev_ms; times empty for a hop that
// answered nothing that minute, the addresses separated by spaces.
[[nodiscard]] std::string csvHeader();
[[nodiscard]] std::string csvRecord(const std::string& host, const PathMinute& minute);
void writeCsv(const std::string& host, const std::vector<PathMinute>& minutes, std::ostream& out);
// {"host":..., "minutes":[{"time":..., "hop":3, "answered":["198.18.3.2"], "sent":3, "lost":0, "min_ms":0.051,
// ...}], "route_changes":[{"time":..., "hop":3, "before":[...], "after":[...]}]}, a hop that did not answer
// as null in before and after.
void writeJson(const std::string& host, const std::vector<PathMinute>& minutes, const std::vector<RouteChange>& changes,
               std::ostream& out);

} // namespace PathExport
