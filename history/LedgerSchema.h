#pragma once

#include <cstdint>
#include <string>

#include "history/RttStats.h"
#include "history/SqliteDb.h"

// The tables of history.sqlite and how a row of figures maps to RttStats. Users query these with sqlite3, so
// names and meanings stay as they are; a new need gets a new table or column.
namespace LedgerSchema {

constexpr std::int64_t kMinuteMs = 60'000;
constexpr std::int64_t kHourMs = 3'600'000;

// Creates what is missing.
[[nodiscard]] std::string createSql();

// The figure columns of minute_stats and hour_stats, in this order, after host and start_ms.
inline constexpr const char* kStatsColumns =
    "sent, lost, min_us, max_us, sum_us, first_us, last_us, jitter_sum_us, jitter_count, histogram";
constexpr int kStatsColumnCount = 10;

[[nodiscard]] RttStats readStats(const SqliteStatement& row, int firstColumn);
void bindStats(SqliteStatement& statement, int firstIndex, const RttStats& stats);

[[nodiscard]] std::int64_t floorTo(std::int64_t ms, std::int64_t unit);
[[nodiscard]] std::int64_t ceilTo(std::int64_t ms, std::int64_t unit);

} // namespace LedgerSchema
