#pragma once

#include <cstdint>
#include <optional>
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
// 3: probes keep host and address in `hosts`; `samples` is a view with the columns it always had.
// 4: route traces in `route_snapshots` and `route_hops`; a version 3 file only gains the two tables.
// 5: path watching: `path_minutes` (a host's hops per minute, see PathCodec), `path_addresses`, the view
// `path_hops` and `path_changes`; a version 4 file only gains them.
// `pending_logs` (the last place of each pending log that a commit took) came later without a new number: an
// older program never reads it and its logs have no places.
constexpr int kVersion = 5;

// Creates the tables that are missing; the caller sets user_version.
[[nodiscard]] std::string createSql();
// Brings the outages of a version 1 file (no verdict_ms column) to this layout.
[[nodiscard]] std::string upgradeOutagesSql();
// A version 1 or 2 file keeps its probes in the table `samples`: it is renamed before createSql() makes the
// new tables and the view, and its rows are then moved over.
[[nodiscard]] std::string moveAsideSamplesSql();
[[nodiscard]] std::string upgradeSamplesSql();

// The status and the TTL of a probe as `outcome` in `probes`: the TTL of a plain reply (status 0), otherwise
// -1 - (status * 512 + the TTL plus 1, or 0 without one). The view `samples` splits it again.
[[nodiscard]] std::int64_t outcomeCode(std::uint32_t status, std::optional<int> ttl);
[[nodiscard]] std::uint32_t statusOf(std::int64_t outcome);
[[nodiscard]] std::optional<int> ttlOf(std::int64_t outcome);
// The same in SQL, over two expressions.
inline std::string kOutcomeSql(const std::string& status, const std::string& ttl) {
    return "CASE WHEN " + status + " = 0 AND " + ttl + " BETWEEN 0 AND 510 THEN " + ttl + " ELSE -1 - (" + status +
           " * 512 + coalesce(min(max(" + ttl + ", 0), 510) + 1, 0)) END";
}

enum class FileKind { Empty, Ledger, Newer, Foreign };
// What the file at the connection is, read without changing anything: a file without tables is empty, one
// without `samples` (a table before version 3, a view since; or with a layout number but no tables) belongs to
// some other program.
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
