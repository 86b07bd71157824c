#include "history/LedgerSchema.h"

#include <algorithm>
#include <set>
#include <sqlite3.h>
#include <string>

#include "history/PathCodec.h"

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
    // Host and address are stored once; a probe row holds only integers, keyed by host and time, so a host's
    // span is one range of the table and needs no index of its own. `outcome` is the status and the TTL in one
    // column (see outcomeCode()): a column costs a byte in every row, and a plain reply then needs one byte.
    return R"sql(
CREATE TABLE IF NOT EXISTS hosts(
    id INTEGER PRIMARY KEY,
    host TEXT NOT NULL,
    address TEXT NOT NULL,
    UNIQUE(host, address));
CREATE TABLE IF NOT EXISTS probes(
    host_id INTEGER NOT NULL,
    at_ms INTEGER NOT NULL,
    rtt_us INTEGER,
    outcome INTEGER NOT NULL,
    PRIMARY KEY(host_id, at_ms)) WITHOUT ROWID;
CREATE VIEW IF NOT EXISTS samples AS
    SELECT p.at_ms AS at_ms, h.host AS host, h.address AS address, p.rtt_us AS rtt_us,
           CASE WHEN p.outcome >= 0 THEN 0 ELSE (-1 - p.outcome) / 512 END AS status,
           CASE WHEN p.outcome >= 0 THEN p.outcome ELSE nullif((-1 - p.outcome) % 512, 0) - 1 END AS ttl
    FROM probes AS p JOIN hosts AS h ON h.id = p.host_id;
CREATE TRIGGER IF NOT EXISTS samples_insert INSTEAD OF INSERT ON samples BEGIN
    INSERT OR IGNORE INTO hosts(host, address) VALUES (NEW.host, NEW.address);
    INSERT INTO probes(host_id, at_ms, rtt_us, outcome)
        VALUES ((SELECT id FROM hosts WHERE host = NEW.host AND address = NEW.address), NEW.at_ms, NEW.rtt_us,
                )sql" +
           std::string(kOutcomeSql("NEW.status", "NEW.ttl")) + R"sql();
END;
CREATE TRIGGER IF NOT EXISTS samples_delete INSTEAD OF DELETE ON samples BEGIN
    DELETE FROM probes WHERE at_ms = OLD.at_ms
        AND host_id = (SELECT id FROM hosts WHERE host = OLD.host AND address = OLD.address);
END;
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
CREATE TABLE IF NOT EXISTS route_snapshots(
    id INTEGER PRIMARY KEY,
    host TEXT NOT NULL,
    address TEXT NOT NULL,
    taken_ms INTEGER NOT NULL,
    reason TEXT NOT NULL,
    outage_id INTEGER,
    rounds INTEGER NOT NULL,
    reached INTEGER NOT NULL,
    loss_begins_at INTEGER);
CREATE INDEX IF NOT EXISTS route_snapshots_by_outage ON route_snapshots(outage_id);
CREATE INDEX IF NOT EXISTS route_snapshots_by_time ON route_snapshots(taken_ms);
CREATE TABLE IF NOT EXISTS route_hops(
    snapshot_id INTEGER NOT NULL,
    hop INTEGER NOT NULL,
    address TEXT NOT NULL,
    sent INTEGER NOT NULL,
    lost INTEGER NOT NULL,
    last_us INTEGER,
    best_us INTEGER,
    avg_us INTEGER,
    worst_us INTEGER,
    stddev_us INTEGER,
    unreachable INTEGER NOT NULL,
    PRIMARY KEY(snapshot_id, hop)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS pending_logs(
    log INTEGER PRIMARY KEY,
    seq INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS path_addresses(
    id INTEGER PRIMARY KEY,
    addresses TEXT NOT NULL UNIQUE);
CREATE TABLE IF NOT EXISTS path_minutes(
    slot INTEGER PRIMARY KEY,
    hops BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS path_changes(
    id INTEGER PRIMARY KEY,
    host TEXT NOT NULL,
    address TEXT NOT NULL,
    at_ms INTEGER NOT NULL,
    hop INTEGER NOT NULL,
    before TEXT NOT NULL,
    after TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS path_changes_by_time ON path_changes(at_ms);
)sql" + PathCodec::viewSql();
}

std::string upgradeOutagesSql() {
    // Version 1 began an outage at the Bad verdict and kept the first failed probe beside it; an outage now
    // runs from that probe, and the verdict has a column of its own.
    return "ALTER TABLE outages ADD COLUMN verdict_ms INTEGER;"
           "UPDATE outages SET verdict_ms = start_ms, start_ms = min(start_ms, coalesce(first_error_ms, start_ms));";
}

std::string moveAsideSamplesSql() {
    return "ALTER TABLE samples RENAME TO samples_v2;";
}

std::string upgradeSamplesSql() {
    // Two probes of a host in the same millisecond (a clock stepped back onto earlier ones) are kept a
    // millisecond apart, so no probe is lost to the key.
    return "INSERT OR IGNORE INTO hosts(host, address) SELECT DISTINCT host, address FROM samples_v2;"
           "INSERT OR IGNORE INTO probes(host_id, at_ms, rtt_us, outcome)"
           " SELECT h.id, s.at_ms + row_number() OVER (PARTITION BY s.host, s.address, s.at_ms ORDER BY s.rowid) - 1,"
           " s.rtt_us, " +
           kOutcomeSql("s.status", "s.ttl") +
           " FROM samples_v2 AS s JOIN hosts AS h ON h.host = s.host AND"
           " h.address = s.address ORDER BY h.id, s.at_ms;"
           "DROP TABLE samples_v2;";
}

std::int64_t outcomeCode(std::uint32_t status, std::optional<int> ttl) {
    if (status == 0 && ttl && *ttl >= 0 && *ttl <= 510)
        return *ttl;
    return -1 - (std::int64_t{status} * 512 + (ttl ? std::clamp(*ttl, 0, 510) + 1 : 0));
}

std::uint32_t statusOf(std::int64_t outcome) {
    return outcome >= 0 ? 0 : static_cast<std::uint32_t>((-1 - outcome) / 512);
}

std::optional<int> ttlOf(std::int64_t outcome) {
    if (outcome >= 0)
        return static_cast<int>(outcome);
    const auto ttl = static_cast<int>((-1 - outcome) % 512);
    return ttl == 0 ? std::nullopt : std::optional<int>(ttl - 1);
}

FileKind classify(SqliteDb& db, int& version, int& rc) {
    rc = SQLITE_OK;
    SqliteStatement pragma(db, "PRAGMA user_version");
    if ((rc = pragma.step()) != SQLITE_ROW)
        return FileKind::Foreign;
    version = static_cast<int>(pragma.int64(0));
    SqliteStatement tables(
        db, "SELECT name FROM sqlite_master WHERE type IN ('table', 'view') AND name NOT LIKE 'sqlite_%'");
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
