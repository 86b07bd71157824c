#include "history/LedgerSchema.h"

#include <set>
#include <sqlite3.h>
#include <string>

namespace LedgerSchema {

namespace {

// minute_stats and hour_stats differ only in the length of their stretch.
std::string statsTable(const char* name) {
    return std::string("CREATE TABLE IF NOT EXISTS ") + name + R"sql((
    host TEXT NOT NULL,
    start_ms INTEGER NOT NULL,
    sent INTEGER NOT NULL,
    lost INTEGER NOT NULL,
    min_us INTEGER,
    max_us INTEGER,
    sum_us INTEGER NOT NULL,
    first_us INTEGER,
    last_us INTEGER,
    jitter_sum_us INTEGER NOT NULL,
    jitter_count INTEGER NOT NULL,
    histogram BLOB NOT NULL,
    PRIMARY KEY(start_ms, host)) WITHOUT ROWID;
)sql";
}

} // namespace

std::string createSql() {
    return R"sql(
CREATE TABLE IF NOT EXISTS samples(
    at_ms INTEGER NOT NULL,
    host TEXT NOT NULL,
    address TEXT NOT NULL,
    rtt_us INTEGER,
    status INTEGER NOT NULL,
    ttl INTEGER);
CREATE INDEX IF NOT EXISTS samples_by_time ON samples(at_ms);
)sql" + statsTable("minute_stats") +
           statsTable("hour_stats") + R"sql(
CREATE TABLE IF NOT EXISTS outages(
    id INTEGER PRIMARY KEY,
    host TEXT NOT NULL,
    address TEXT NOT NULL,
    start_ms INTEGER NOT NULL,
    end_ms INTEGER,
    first_status INTEGER NOT NULL,
    first_error_ms INTEGER,
    verdict_ms INTEGER);
CREATE INDEX IF NOT EXISTS outages_by_start ON outages(start_ms);
CREATE TABLE IF NOT EXISTS status_changes(
    at_ms INTEGER NOT NULL,
    host TEXT NOT NULL,
    status INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS status_changes_by_time ON status_changes(at_ms);
)sql";
}

std::string upgradeSql() {
    // Version 1 began an outage at the Bad verdict and kept the first failed probe beside it; an outage now
    // runs from that probe, and the verdict has a column of its own.
    return "ALTER TABLE outages ADD COLUMN verdict_ms INTEGER;"
           "UPDATE outages SET verdict_ms = start_ms, start_ms = min(start_ms, coalesce(first_error_ms, start_ms));";
}

FileKind classify(SqliteDb& db, int& version, int& rc) {
    rc = SQLITE_OK;
    SqliteStatement pragma(db, "PRAGMA user_version");
    if ((rc = pragma.step()) != SQLITE_ROW)
        return FileKind::Foreign;
    version = static_cast<int>(pragma.int64(0));
    SqliteStatement tables(db, "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'");
    std::set<std::string> names;
    while ((rc = tables.step()) == SQLITE_ROW)
        names.insert(tables.text(0));
    if (rc != SQLITE_DONE)
        return FileKind::Foreign;
    rc = SQLITE_OK;
    if (names.empty())
        return version == 0 ? FileKind::Empty : FileKind::Foreign;
    if (names.count("samples") == 0)
        return FileKind::Foreign;
    return version > kVersion ? FileKind::Newer : FileKind::Ledger;
}

RttStats readStats(const SqliteStatement& row, int c) {
    RttStats stats;
    RttStats::Parts p;
    p.sent = static_cast<std::uint64_t>(row.int64(c));
    p.lost = static_cast<std::uint64_t>(row.int64(c + 1));
    p.min = row.int64(c + 2);
    p.max = row.int64(c + 3);
    p.sum = row.int64(c + 4);
    p.first = row.int64(c + 5);
    p.last = row.int64(c + 6);
    p.jitterSum = row.int64(c + 7);
    p.jitterCount = static_cast<std::uint64_t>(row.int64(c + 8));
    stats.setParts(p);
    // A damaged histogram only costs the percentiles of that stretch.
    (void)stats.setHistogramBlob(row.blob(c + 9));
    return stats;
}

void bindStats(SqliteStatement& s, int i, const RttStats& stats) {
    const RttStats::Parts p = stats.parts();
    const bool replies = stats.replies() > 0;
    auto optional = [replies](std::int64_t v) { return replies ? std::optional<std::int64_t>(v) : std::nullopt; };
    s.bind(i, static_cast<std::int64_t>(p.sent));
    s.bind(i + 1, static_cast<std::int64_t>(p.lost));
    s.bind(i + 2, optional(p.min));
    s.bind(i + 3, optional(p.max));
    s.bind(i + 4, p.sum);
    s.bind(i + 5, optional(p.first));
    s.bind(i + 6, optional(p.last));
    s.bind(i + 7, p.jitterSum);
    s.bind(i + 8, static_cast<std::int64_t>(p.jitterCount));
    s.bindBlob(i + 9, stats.histogramBlob());
}

std::int64_t floorTo(std::int64_t ms, std::int64_t unit) {
    std::int64_t q = ms / unit;
    if (ms % unit != 0 && ms < 0)
        --q;
    return q * unit;
}

std::int64_t ceilTo(std::int64_t ms, std::int64_t unit) {
    const std::int64_t f = floorTo(ms, unit);
    return f == ms ? f : f + unit;
}

} // namespace LedgerSchema
