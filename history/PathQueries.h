#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "history/PathRecords.h"
#include "history/SqliteDb.h"

// The reader's side of path watching: the queries LedgerReader runs on its connection. Each returns false on a
// read error (the connection then says why) and leaves `out` as far as it got.
namespace PathQueries {

// Whether the file has the tables yet: an older file gains them when the writer first opens it.
[[nodiscard]] bool known(SqliteDb& db);
// The minutes that begin in [fromMs, toMs), in time and hop order.
[[nodiscard]] bool minutes(SqliteDb& db, const std::string& host, std::int64_t fromMs, std::int64_t toMs,
                           std::vector<PathMinute>& out);
[[nodiscard]] bool changes(SqliteDb& db, const std::string& host, std::int64_t fromMs, std::int64_t toMs,
                           std::vector<RouteChange>& out);

} // namespace PathQueries
