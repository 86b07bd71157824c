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

// The layout this program writes (PRAGMA user_version). A file with a higher number comes from a newer
// program: it is read, never written.
constexpr int kVersion = 2;

// Creates the tables that are missing; the caller sets user_version.
[[nodiscard]] std::string createSql();
// Brings the outages of a version 1 file (no verdict_ms column) to this layout.
[[nodiscard]] std::string upgradeSql();

enum class FileKind { Empty, Ledger, Newer, Foreign };
// What the file at the connection is, read without changing anything: a file without tables is empty, one
// without `samples` (or with a layout number but no tables) belongs to some other program.
[[nodiscard]] FileKind classify(SqliteDb& db, int& version, int& rc);

// The figure columns of minute_stats and hour_stats, in this order, after host and start_ms.
inline constexpr const char* kStatsColumns =
    "sent, lost, min_us, max_us, sum_us, first_us, last_us, jitter_sum_us, jitter_count, histogram";
constexpr int kStatsColumnCount = 10;

[[nodiscard]] RttStats readStats(const SqliteStatement& row, int firstColumn);
void bindStats(SqliteStatement& statement, int firstIndex, const RttStats& stats);

[[nodiscard]] std::int64_t floorTo(std::int64_t ms, std::int64_t unit);
[[nodiscard]] std::int64_t ceilTo(std::int64_t ms, std::int64_t unit);

} // namespace LedgerSchema
