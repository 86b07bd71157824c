#include "history/LedgerReader.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sqlite3.h>
#include <unistd.h>

#include "history/LedgerSchema.h"
#include "history/PathQueries.h"

using namespace LedgerSchema;

namespace {

// Column widths from which the graph reads consolidated figures instead of single probes.
constexpr std::int64_t kMinutesFrom = 15'000;
constexpr std::int64_t kHoursFrom = 15 * kMinuteMs;

// A read transaction, so a query made of several statements sees one state of the file.
class ReadSnapshot {
public:
    explicit ReadSnapshot(SqliteDb& db) : db_(db), ok_(db.exec("BEGIN") == SQLITE_OK) {}
    ~ReadSnapshot() {
        if (ok_)
            sqlite3_exec(db_.handle(), "COMMIT", nullptr, nullptr, nullptr);
    }
    ReadSnapshot(const ReadSnapshot&) = delete;
    ReadSnapshot& operator=(const ReadSnapshot&) = delete;
    [[nodiscard]] bool ok() const { return ok_; }

private:
    SqliteDb& db_;
    bool ok_;
};

ProbeSample sampleFrom(const SqliteStatement& row) {
    ProbeSample s;
    s.atMs = row.int64(0);
    s.host = row.text(1);
    s.address = row.text(2);
    s.rttUs = row.optionalInt64(3);
    s.status = static_cast<std::uint32_t>(row.int64(4));
    if (!row.isNull(5))
        s.ttl = static_cast<int>(row.int64(5));
    return s;
}

// A file name as an SQLite URI path: only these three characters mean something there.
std::string uriPath(const std::string& path) {
    std::string out;
    for (const char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            static const char hex[] = "0123456789ABCDEF";
            out += '%';
            out += hex[(static_cast<unsigned char>(c) >> 4) & 0xf];
            out += hex[static_cast<unsigned char>(c) & 0xf];
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

LedgerReader::LedgerReader(std::string path) : path_(std::move(path)) {}

LedgerReader::~LedgerReader() {
    reopen();
}

void LedgerReader::reopen() {
    db_.close();
    if (!copyDir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(copyDir_, ignored);
        copyDir_.clear();
    }
}

bool LedgerReader::usable() {
    sqlite3_busy_timeout(db_.handle(), 1000);
    db_.exec("PRAGMA query_only = 1");
    SqliteStatement probe(db_, "SELECT count(*) FROM pragma_table_info('outages') WHERE name = 'verdict_ms'");
    if (probe.step() != SQLITE_ROW) {
        error_ = path_ + ": " + db_.errorText();
        db_.close();
        return false;
    }
    hasVerdict_ = probe.int64(0) > 0;
    SqliteStatement layout(db_, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'probes'");
    if (layout.step() != SQLITE_ROW) {
        error_ = path_ + ": " + db_.errorText();
        db_.close();
        return false;
    }
    hasProbes_ = layout.int64(0) > 0;
    hasRoutes_ = false;
    (void)routesKnown();
    hasPaths_ = false;
    error_.clear();
    return true;
}

bool LedgerReader::openUnwritable() {
    const std::filesystem::path file(path_);
    const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    // Only a folder nobody can write: there the file cannot change under a copy or an immutable view.
    if (::access(folder.c_str(), W_OK) == 0)
        return false;
    std::error_code error;
    const std::string wal = path_ + "-wal";
    if (std::filesystem::exists(wal, error) && std::filesystem::file_size(wal, error) > 0 && !error) {
        // Writes still in the log: a private copy lets SQLite read them with an index of its own.
        const std::filesystem::path base = std::filesystem::temp_directory_path(error);
        std::string pattern = (base / "ostrevo-history-XXXXXX").string();
        if (error || ::mkdtemp(pattern.data()) == nullptr)
            return false;
        copyDir_ = pattern;
        const std::string copy = copyDir_ + "/history.sqlite";
        if (!std::filesystem::copy_file(path_, copy, error) || !std::filesystem::copy_file(wal, copy + "-wal", error))
            return false;
        return db_.open(copy, SQLITE_OPEN_READONLY) == SQLITE_OK && usable();
    }
    // Nothing in the log: the file alone is the whole history, and nobody can be writing it.
    return db_.open("file:" + uriPath(path_) + "?immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI) == SQLITE_OK &&
           usable();
}

bool LedgerReader::routesKnown() {
    // An older file gains the tables when the writer first opens it, which may be after this connection did.
    if (!hasRoutes_) {
        SqliteStatement routes(db_, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'route_hops'");
        hasRoutes_ = routes.step() == SQLITE_ROW && routes.int64(0) > 0;
    }
    return hasRoutes_;
}

bool LedgerReader::ready() {
    if (db_.isOpen())
        return true;
    // No file yet is not an error: nothing has been recorded.
    if (!std::filesystem::exists(path_)) {
        error_.clear();
        return false;
    }
    // Read-only: the reader never changes the file, and a newer program's file can be read this way too.
    if (db_.open(path_, SQLITE_OPEN_READONLY) == SQLITE_OK && usable())
        return true;
    const std::string first = error_.empty() ? path_ + ": " + db_.errorText() : error_;
    reopen();
    if (openUnwritable())
        return true;
    reopen();
    error_ = first;
    return false;
}

void LedgerReader::note() {
    error_ = path_ + ": " + db_.errorText();
    // A failed connection may hold a stale view of a file that was replaced; start over next time.
    db_.close();
}

bool LedgerReader::eachSample(const std::string& host, std::int64_t fromMs, std::int64_t toMs,
                              const std::function<void(const SqliteStatement&)>& row) {
    const char* sql = "SELECT at_ms, host, address, rtt_us, status, ttl FROM samples "
                      "WHERE at_ms >= ?1 AND at_ms < ?2 AND host = ?3 ORDER BY at_ms, rowid";
    std::optional<std::pair<std::int64_t, std::string>> only;
    if (hasProbes_) {
        // A host is almost always probed at one address: its probes are then one range of the table, already
        // in time order. Several addresses go through the view and a sort.
        SqliteStatement ids(db_, "SELECT id, address FROM hosts WHERE host = ?1 LIMIT 2");
        ids.bind(1, host);
        int count = 0;
        int rc = SQLITE_OK;
        while ((rc = ids.step()) == SQLITE_ROW && ++count == 1)
            only.emplace(ids.int64(0), ids.text(1));
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            return false;
        if (count == 0)
            return true;
        if (count > 1)
            only.reset();
        // The status and the TTL split as the view splits them.
        sql = only ? "SELECT at_ms, ?4, ?5, rtt_us, CASE WHEN outcome >= 0 THEN 0 ELSE (-1 - outcome) / 512 END, "
                     "CASE WHEN outcome >= 0 THEN outcome ELSE nullif((-1 - outcome) % 512, 0) - 1 END FROM probes "
                     "WHERE host_id = ?3 AND at_ms >= ?1 AND at_ms < ?2 ORDER BY at_ms"
                   : "SELECT at_ms, host, address, rtt_us, status, ttl FROM samples "
                     "WHERE at_ms >= ?1 AND at_ms < ?2 AND host = ?3 ORDER BY at_ms";
    }
    SqliteStatement s(db_, sql);
    if (only) {
        s.bind(3, only->first);
        s.bind(4, host);
        s.bind(5, only->second);
    } else {
        s.bind(3, host);
    }
    s.bind(1, fromMs);
    s.bind(2, toMs);
    int rc = SQLITE_OK;
    while ((rc = s.step()) == SQLITE_ROW)
        row(s);
    return rc == SQLITE_DONE;
}

bool LedgerReader::addStats(const char* table, const std::string& host, std::int64_t fromMs, std::int64_t toMs,
                            RttStats& into) {
    if (fromMs >= toMs)
        return true;
    const std::string sql = std::string("SELECT ") + kStatsColumns + " FROM " + table +
                            " WHERE start_ms >= ?1 AND start_ms < ?2 AND host = ?3 ORDER BY start_ms";
    SqliteStatement s(db_, sql.c_str());
    s.bind(1, fromMs);
    s.bind(2, toMs);
    s.bind(3, host);
    int rc = SQLITE_OK;
    while ((rc = s.step()) == SQLITE_ROW)
        into.merge(readStats(s, 0));
    return rc == SQLITE_DONE;
}

std::vector<ProbeSample> LedgerReader::samples(const std::string& host, std::int64_t fromMs, std::int64_t toMs) {
    std::vector<ProbeSample> out;
    if (!ready())
        return out;
    if (!eachSample(host, fromMs, toMs, [&out](const SqliteStatement& row) { out.push_back(sampleFrom(row)); })) {
        note();
        out.clear();
    }
    return out;
}

std::vector<std::string> LedgerReader::hosts() {
    std::vector<std::string> out;
    if (!ready())
        return out;
    // A host stays in `hosts` when retention has taken all its probes: it has no history left to show.
    SqliteStatement s(db_, hasProbes_ ? "SELECT DISTINCT host FROM hosts WHERE EXISTS "
                                        "(SELECT 1 FROM probes WHERE host_id = hosts.id) ORDER BY host"
                                      : "SELECT DISTINCT host FROM samples ORDER BY host");
    int rc = SQLITE_OK;
    while ((rc = s.step()) == SQLITE_ROW)
        out.push_back(s.text(0));
    if (rc != SQLITE_DONE) {
        note();
        out.clear();
    }
    return out;
}

std::vector<SeriesPoint> LedgerReader::series(const std::string& host, std::int64_t fromMs, std::int64_t toMs,
                                              int maxPoints) {
    std::vector<SeriesPoint> out;
    if (fromMs >= toMs || maxPoints <= 0 || !ready())
        return out;
    const std::int64_t column = (toMs - fromMs + maxPoints - 1) / maxPoints;
    const char* table = column >= kHoursFrom ? "hour_stats" : column >= kMinutesFrom ? "minute_stats" : nullptr;
    const std::int64_t unit = column >= kHoursFrom ? kHourMs : column >= kMinutesFrom ? kMinuteMs : 1;
    // Steps are whole units, on the unit's boundaries, so each stored row falls in exactly one step.
    const std::int64_t step = ceilTo(column, unit);
    const std::int64_t origin = table != nullptr ? 0 : fromMs;
    std::map<std::int64_t, RttStats> steps;
    auto stepOf = [&](std::int64_t at) { return origin + floorTo(at - origin, step); };

    bool ok = true;
    if (table == nullptr) {
        ok = eachSample(host, fromMs, toMs,
                        [&](const SqliteStatement& row) { steps[stepOf(row.int64(0))].add(row.optionalInt64(3)); });
    } else {
        const std::string sql = std::string("SELECT start_ms, ") + kStatsColumns + " FROM " + table +
                                " WHERE start_ms >= ?1 AND start_ms < ?2 AND host = ?3 ORDER BY start_ms";
        SqliteStatement s(db_, sql.c_str());
        s.bind(1, floorTo(fromMs, step));
        s.bind(2, toMs);
        s.bind(3, host);
        int rc = SQLITE_OK;
        while ((rc = s.step()) == SQLITE_ROW)
            steps[stepOf(s.int64(0))].merge(readStats(s, 1));
        ok = rc == SQLITE_DONE;
    }
    if (!ok) {
        note();
        return out;
    }
    out.reserve(steps.size());
    for (auto& [start, stats] : steps)
        out.push_back(SeriesPoint{start, start + step, std::move(stats)});
    return out;
}

RttStats LedgerReader::summary(const std::string& host, std::int64_t fromMs, std::int64_t toMs) {
    RttStats total;
    if (fromMs >= toMs || !ready())
        return total;
    ReadSnapshot snapshot(db_);
    bool ok = snapshot.ok();
    // The stored figures of a minute or hour cut by pruning still count the probes removed from it: start at
    // the oldest probe kept, so the figures used cover only probes that are still there.
    if (ok) {
        SqliteStatement oldest(db_, hasProbes_ ? "SELECT min((SELECT min(at_ms) FROM probes WHERE host_id = hosts.id)) "
                                                 "FROM hosts"
                                               : "SELECT min(at_ms) FROM samples");
        ok = oldest.step() == SQLITE_ROW;
        if (ok && oldest.isNull(0))
            return total;
        if (ok)
            fromMs = std::max(fromMs, oldest.int64(0));
    }
    auto raw = [&](std::int64_t a, std::int64_t b) {
        return a >= b ||
               eachSample(host, a, b, [&total](const SqliteStatement& row) { total.add(row.optionalInt64(3)); });
    };
    const std::int64_t m1 = ceilTo(fromMs, kMinuteMs);
    const std::int64_t m2 = floorTo(toMs, kMinuteMs);
    if (fromMs >= toMs) {
        // Everything asked for was pruned.
    } else if (m1 >= m2) {
        ok = ok && raw(fromMs, toMs);
    } else {
        const std::int64_t h1 = ceilTo(m1, kHourMs);
        const std::int64_t h2 = floorTo(m2, kHourMs);
        ok = ok && raw(fromMs, m1);
        if (h1 < h2) {
            ok = ok && addStats("minute_stats", host, m1, h1, total) && addStats("hour_stats", host, h1, h2, total) &&
                 addStats("minute_stats", host, h2, m2, total);
        } else {
            ok = ok && addStats("minute_stats", host, m1, m2, total);
        }
        ok = ok && raw(m2, toMs);
    }
    if (!ok) {
        note();
        return RttStats();
    }
    return total;
}

std::vector<Outage> LedgerReader::outages(const std::string& host, std::int64_t fromMs, std::int64_t toMs) {
    std::vector<Outage> out;
    if (!ready())
        return out;
    // A version 1 file (read where it cannot be brought up to date) began outages at the verdict.
    const std::string columns =
        hasVerdict_ ? "host, address, start_ms, end_ms, first_status, first_error_ms, verdict_ms, id FROM outages "
                      "WHERE host = ?1 AND start_ms < ?3 AND (end_ms IS NULL OR end_ms >= ?2)"
                    : "host, address, min(start_ms, coalesce(first_error_ms, start_ms)) AS start, end_ms, "
                      "first_status, first_error_ms, start_ms, id FROM outages WHERE host = ?1 AND start < ?3 AND "
                      "(end_ms IS NULL OR end_ms >= ?2)";
    (void)routesKnown();
    // The latest trace of each outage, where loss began on it and from which address that hop answered.
    const std::string sql =
        hasRoutes_ ? "SELECT o.*, r.id, r.loss_begins_at, (SELECT address FROM route_hops WHERE snapshot_id = r.id "
                     "AND hop = r.loss_begins_at), (SELECT hop || ' ' || address FROM route_hops WHERE snapshot_id = "
                     "r.id AND hop < r.loss_begins_at AND lost < sent AND address <> '' ORDER BY hop DESC LIMIT 1) "
                     "FROM (SELECT " +
                         columns +
                         ") AS o LEFT JOIN route_snapshots AS r ON r.id = (SELECT max(id) FROM route_snapshots "
                         "WHERE outage_id = o.id) ORDER BY 3, 8"
                   : "SELECT " + columns + " ORDER BY 3, 8";
    SqliteStatement s(db_, sql.c_str());
    s.bind(1, host);
    s.bind(2, fromMs);
    s.bind(3, toMs);
    int rc = SQLITE_OK;
    while ((rc = s.step()) == SQLITE_ROW) {
        Outage o;
        o.host = s.text(0);
        o.address = s.text(1);
        o.startMs = s.int64(2);
        o.endMs = s.optionalInt64(3);
        o.firstStatus = static_cast<std::uint32_t>(s.int64(4));
        o.firstErrorMs = s.optionalInt64(5);
        o.verdictMs = s.isNull(6) ? s.int64(2) : s.int64(6);
        if (hasRoutes_ && !s.isNull(8)) {
            o.routeId = s.int64(8);
            if (!s.isNull(9))
                o.lossBeginsAt = static_cast<int>(s.int64(9));
            const std::string addresses = s.text(10);
            o.lossAddress = addresses.substr(0, addresses.find(' '));
            // "2 198.18.2.2 198.18.20.2": the hop, then its addresses.
            const std::string last = s.text(11);
            if (const std::size_t space = last.find(' '); space != std::string::npos) {
                o.lastAnsweringHop = std::atoi(last.c_str());
                const std::string lastAddresses = last.substr(space + 1);
                o.lastAnsweringAddress = lastAddresses.substr(0, lastAddresses.find(' '));
            }
        }
        out.push_back(std::move(o));
    }
    if (rc != SQLITE_DONE) {
        note();
        out.clear();
    }
    return out;
}

std::vector<PathMinute> LedgerReader::pathMinutes(const std::string& host, std::int64_t fromMs, std::int64_t toMs) {
    std::vector<PathMinute> out;
    if (fromMs >= toMs || !ready() || !pathsKnown())
        return out;
    if (!PathQueries::minutes(db_, host, fromMs, toMs, out)) {
        note();
        out.clear();
    }
    return out;
}

std::vector<RouteChange> LedgerReader::routeChanges(const std::string& host, std::int64_t fromMs, std::int64_t toMs) {
    std::vector<RouteChange> out;
    if (fromMs >= toMs || !ready() || !pathsKnown())
        return out;
    if (!PathQueries::changes(db_, host, fromMs, toMs, out)) {
        note();
        out.clear();
    }
    return out;
}

bool LedgerReader::pathsKnown() {
    // As with the route traces: the writer may add the tables after this connection opened the file.
    hasPaths_ = hasPaths_ || PathQueries::known(db_);
    return hasPaths_;
}

std::optional<RouteSnapshot> LedgerReader::routeSnapshot(std::int64_t id) {
    if (!ready() || !routesKnown())
        return std::nullopt;
    ReadSnapshot snapshot(db_);
    SqliteStatement head(db_, "SELECT host, address, taken_ms, reason, outage_id, rounds, reached, loss_begins_at "
                              "FROM route_snapshots WHERE id = ?1");
    head.bind(1, id);
    const int rc = head.step();
    if (rc != SQLITE_ROW) {
        if (rc != SQLITE_DONE)
            note();
        return std::nullopt;
    }
    RouteSnapshot route;
    route.id = id;
    route.host = head.text(0);
    route.address = head.text(1);
    route.takenMs = head.int64(2);
    route.reason = routeReasonFromText(head.text(3));
    route.outageId = head.optionalInt64(4);
    route.rounds = static_cast<std::uint32_t>(std::max<std::int64_t>(head.int64(5), 0));
    route.reached = head.int64(6) != 0;
    if (!head.isNull(7))
        route.lossBeginsAt = static_cast<int>(head.int64(7));
    SqliteStatement hops(db_, "SELECT hop, address, sent, lost, last_us, best_us, avg_us, worst_us, stddev_us, "
                              "unreachable FROM route_hops WHERE snapshot_id = ?1 ORDER BY hop");
    hops.bind(1, id);
    auto us = [&hops](int column) {
        return static_cast<std::uint32_t>(std::clamp<std::int64_t>(hops.int64(column), 0, UINT32_MAX));
    };
    int step = SQLITE_OK;
    while ((step = hops.step()) == SQLITE_ROW) {
        // A hop no tracer makes, or an address that is none: a file edited by hand.
        const std::int64_t number = hops.int64(0);
        if (number < 1 || number > 255)
            continue;
        RouteHop hop;
        hop.number = static_cast<std::uint8_t>(number);
        const std::string addresses = hops.text(1);
        for (std::size_t at = 0; at < addresses.size();) {
            const std::size_t end = std::min(addresses.find(' ', at), addresses.size());
            if (end > at)
                if (const std::optional<IpAddress> address = IpAddress::parse(addresses.substr(at, end - at)))
                    hop.answered.push_back(*address);
            at = end + 1;
        }
        hop.sent = us(2);
        hop.received = hop.sent - std::min(us(3), hop.sent);
        hop.lastUs = us(4);
        hop.bestUs = us(5);
        hop.averageUs = us(6);
        hop.worstUs = us(7);
        hop.stdDevUs = us(8);
        hop.unreachable = hops.int64(9) != 0;
        route.hops.push_back(std::move(hop));
    }
    if (step != SQLITE_DONE) {
        note();
        return std::nullopt;
    }
    return route;
}

std::vector<StatusChange> LedgerReader::statusChanges(const std::string& host, std::int64_t fromMs, std::int64_t toMs) {
    std::vector<StatusChange> out;
    if (!ready())
        return out;
    SqliteStatement s(db_, "SELECT at_ms, status FROM (SELECT at_ms, status, rowid AS r FROM status_changes "
                           "WHERE host = ?1 AND at_ms < ?2 ORDER BY at_ms DESC, rowid DESC LIMIT 1) "
                           "UNION ALL SELECT at_ms, status FROM (SELECT at_ms, status, rowid AS r FROM status_changes "
                           "WHERE host = ?1 AND at_ms >= ?2 AND at_ms < ?3 ORDER BY at_ms, rowid)");
    s.bind(1, host);
    s.bind(2, fromMs);
    s.bind(3, toMs);
    int rc = SQLITE_OK;
    while ((rc = s.step()) == SQLITE_ROW)
        out.push_back(StatusChange{s.int64(0), static_cast<std::uint8_t>(s.int64(1))});
    if (rc != SQLITE_DONE) {
        note();
        out.clear();
    }
    return out;
}

bool LedgerReader::exportCsv(const std::string& host, std::int64_t fromMs, std::int64_t toMs, std::ostream& out,
                             const HistoryCsv::StatusText& statusText) {
    out << HistoryCsv::header();
    if (!ready())
        return error_.empty() && static_cast<bool>(out);
    // Streamed row by row: a month of one-second probes is millions of lines.
    if (!eachSample(host, fromMs, toMs,
                    [&](const SqliteStatement& row) { out << HistoryCsv::record(sampleFrom(row), statusText); })) {
        note();
        return false;
    }
    return static_cast<bool>(out);
}
