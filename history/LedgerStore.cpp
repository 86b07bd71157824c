#include "history/LedgerStore.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "history/LedgerSchema.h"
#include "history/PathStore.h"
#include "history/PendingLog.h"
#include "history/RttStats.h"

using namespace LedgerSchema;

namespace {

std::string statsUpsert(const char* table) {
    return std::string("INSERT OR REPLACE INTO ") + table + "(host, start_ms, " + kStatsColumns +
           ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)";
}

std::string statsSelect(const char* table) {
    return std::string("SELECT ") + kStatsColumns + " FROM " + table + " WHERE start_ms = ?1 AND host = ?2";
}

std::string pruneStats(const char* table, std::int64_t spanMs) {
    return std::string("DELETE FROM ") + table + " WHERE (start_ms, host) IN (SELECT start_ms, host FROM " + table +
           " WHERE start_ms <= ?1 - " + std::to_string(spanMs) + " ORDER BY start_ms LIMIT ?2)";
}

// Folders the program creates hold only this user's data.
bool createFolders(const std::filesystem::path& folder, std::string& error) {
    if (folder.empty() || std::filesystem::is_directory(folder))
        return true;
    if (!createFolders(folder.parent_path(), error))
        return false;
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + folder.string() + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool notWritable(const std::string& path) {
    const std::filesystem::path file(path);
    const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    return ::access(folder.c_str(), W_OK) != 0 ||
           (::access(path.c_str(), F_OK) == 0 && ::access(path.c_str(), W_OK) != 0);
}

bool isBusy(int rc) {
    return (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED;
}

// A stable place for a host's ownership lock in the lock file (FNV-1a; a shared place only makes two hosts
// wait for each other's owner).
off_t lockOffset(const std::string& host) {
    std::uint64_t h = 14695981039346656037ULL;
    for (const unsigned char c : host)
        h = (h ^ c) * 1099511628211ULL;
    return static_cast<off_t>(h & 0x7fff'ffff'ffffULL);
}

} // namespace

struct LedgerStore::Statements {
    explicit Statements(SqliteDb& db)
        : insertSample(db, "INSERT INTO probes(host_id, at_ms, rtt_us, outcome) VALUES (?1, ?2, ?3, ?4)"),
          insertHost(db, "INSERT OR IGNORE INTO hosts(host, address) VALUES (?1, ?2)"),
          selectHost(db, "SELECT id FROM hosts WHERE host = ?1 AND address = ?2"),
          sameProbe(db, "SELECT count(*) FROM probes WHERE host_id = ?1 AND at_ms = ?2 AND rtt_us IS ?3 AND "
                        "outcome = ?4"),
          insertChange(db, "INSERT INTO status_changes(at_ms, host, status) VALUES (?1, ?2, ?3)"),
          openOutage(db, "INSERT INTO outages(host, address, start_ms, first_status, first_error_ms, verdict_ms) "
                         "VALUES (?1, ?2, ?3, ?4, ?5, ?6)"),
          closeOutage(db, "UPDATE outages SET end_ms = ?2 WHERE id = ?1"),
          selectMinute(db, statsSelect("minute_stats").c_str()), selectHour(db, statsSelect("hour_stats").c_str()),
          upsertMinute(db, statsUpsert("minute_stats").c_str()), upsertHour(db, statsUpsert("hour_stats").c_str()),
          // Host by host: the key leads with the host, so each step reads only what it deletes.
          pruneSamples(db, "DELETE FROM probes WHERE host_id = ?3 AND at_ms IN "
                           "(SELECT at_ms FROM probes WHERE host_id = ?3 AND at_ms < ?1 ORDER BY at_ms LIMIT ?2)"),
          hostIds(db, "SELECT id FROM hosts"), pruneMinutes(db, pruneStats("minute_stats", kMinuteMs).c_str()),
          pruneHours(db, pruneStats("hour_stats", kHourMs).c_str()),
          pruneOutages(db, "DELETE FROM outages WHERE id IN (SELECT id FROM outages "
                           "WHERE end_ms IS NOT NULL AND end_ms < ?1 ORDER BY start_ms LIMIT ?2)"),
          pruneChanges(db, "DELETE FROM status_changes WHERE rowid IN "
                           "(SELECT rowid FROM status_changes WHERE at_ms < ?1 ORDER BY at_ms LIMIT ?2)"),
          insertRoute(db, "INSERT INTO route_snapshots(host, address, taken_ms, reason, outage_id, rounds, reached, "
                          "loss_begins_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"),
          insertHop(db,
                    "INSERT OR REPLACE INTO route_hops(snapshot_id, hop, address, sent, lost, last_us, best_us, "
                    "avg_us, worst_us, stddev_us, unreachable) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)"),
          // The outage a trace at a Good to Bad edge belongs to: the host's latest one begun by then.
          routeOutage(db, "SELECT id FROM outages WHERE host = ?1 AND start_ms <= ?2 ORDER BY start_ms DESC, id DESC "
                          "LIMIT 1"),
          // Hops first, while their snapshots still say which are old.
          pruneHops(db, "DELETE FROM route_hops WHERE snapshot_id IN (SELECT id FROM route_snapshots "
                        "WHERE taken_ms < ?1 ORDER BY taken_ms LIMIT ?2)"),
          pruneRoutes(db, "DELETE FROM route_snapshots WHERE id IN (SELECT id FROM route_snapshots "
                          "WHERE taken_ms < ?1 ORDER BY taken_ms LIMIT ?2)"),
          markLog(db, "INSERT OR REPLACE INTO pending_logs(log, seq) VALUES (?1, ?2)"),
          logPlace(db, "SELECT seq FROM pending_logs WHERE log = ?1"),
          forgetLog(db, "DELETE FROM pending_logs WHERE log = ?1"), paths(db) {}

    [[nodiscard]] int prepared() const {
        for (const SqliteStatement* s :
             {&insertSample, &insertHost,   &selectHost,   &sameProbe,   &insertChange, &openOutage,  &closeOutage,
              &selectMinute, &selectHour,   &upsertMinute, &upsertHour,  &pruneSamples, &hostIds,     &pruneMinutes,
              &pruneHours,   &pruneOutages, &pruneChanges, &insertRoute, &insertHop,    &routeOutage, &pruneHops,
              &pruneRoutes,  &markLog,      &logPlace,     &forgetLog})
            if (s->prepared() != SQLITE_OK)
                return s->prepared();
        return paths.prepared();
    }

    SqliteStatement insertSample, insertHost, selectHost, sameProbe, insertChange, openOutage, closeOutage;
    SqliteStatement selectMinute, selectHour, upsertMinute, upsertHour;
    SqliteStatement pruneSamples, hostIds, pruneMinutes, pruneHours, pruneOutages, pruneChanges;
    SqliteStatement insertRoute, insertHop, routeOutage, pruneHops, pruneRoutes;
    SqliteStatement markLog, logPlace, forgetLog;
    PathStore paths;
};

LedgerStore::LedgerStore(std::string path, std::uint64_t logId) : path_(std::move(path)), logId_(logId) {}

LedgerStore::~LedgerStore() {
    close();
    if (lockFd_ >= 0)
        ::close(lockFd_);
}

LedgerStore::Outcome LedgerStore::fail(int rc) {
    error_ = path_ + ": " + db_.errorText();
    statements_.reset();
    db_.close();
    return isCorruption(rc) ? Outcome::Corrupt : Outcome::Failed;
}

LedgerStore::Outcome LedgerStore::openFile() {
    const std::filesystem::path file(path_);
    if (!createFolders(file.parent_path(), error_))
        return errno == EROFS || errno == EACCES || errno == EPERM ? refuseOrFail(SQLITE_READONLY) : Outcome::Failed;
    // SQLite would create the file with the umask's permissions; history is nobody else's business.
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error_ = "cannot open " + path_ + ": " + std::strerror(errno);
        return errno == EROFS || errno == EACCES || errno == EPERM ? refuseOrFail(SQLITE_READONLY) : Outcome::Failed;
    }
    // A file that is not SQLite at all is moved aside before SQLite touches it: closing such a connection would
    // delete a -wal beside it that may be all that is left worth saving.
    char header[16] = {};
    const ssize_t got = ::pread(fd, header, sizeof header, 0);
    ::close(fd);
    if (got != 0 && (got != static_cast<ssize_t>(sizeof header) || std::memcmp(header, "SQLite format 3", 16) != 0)) {
        error_ = path_ + ": file is not a database";
        return Outcome::Corrupt;
    }
    // The writer thread alone uses the connection: SQLite's locks around every call would guard nothing.
    if (const int rc = db_.open(path_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX); rc != SQLITE_OK) {
        error_ = path_ + ": " + db_.errorText();
        return isCorruption(rc) ? Outcome::Corrupt : Outcome::Failed;
    }
    return Outcome::Ok;
}

LedgerStore::Outcome LedgerStore::refuseOrFail(int rc) {
    if (isBusy(rc)) {
        error_ = path_ + ": " + db_.errorText();
        statements_.reset();
        db_.close();
        return Outcome::Busy;
    }
    if (!isCorruption(rc) && notWritable(path_)) {
        error_ = path_ + ": read-only: not recording";
        statements_.reset();
        db_.close();
        return Outcome::ReadOnly;
    }
    return fail(rc);
}

LedgerStore::Outcome LedgerStore::open() {
    close();
    if (const Outcome o = openFile(); o != Outcome::Ok)
        return o;
    sqlite3_busy_timeout(db_.handle(), kBusyTimeoutMs);
    // The first read of the file: a damaged one shows here, and a file that is not ours is left untouched.
    int version = 0;
    int rc = SQLITE_OK;
    const LedgerSchema::FileKind kind = classify(db_, version, rc);
    if (rc != SQLITE_OK)
        return refuseOrFail(rc);
    if (kind == LedgerSchema::FileKind::Foreign || kind == LedgerSchema::FileKind::Newer) {
        error_ = kind == LedgerSchema::FileKind::Newer
                     ? std::string("history file is from a newer version of Ostrevo; not recording")
                     : path_ + " is not an Ostrevo history file; it is left as it is and nothing is recorded";
        db_.close();
        return kind == LedgerSchema::FileKind::Newer ? Outcome::Newer : Outcome::Foreign;
    }
    // Every commit rewrites the pages it touches in full: smaller pages halve what a commit writes, and
    // 2 KiB still holds an hour's figures in one cell. Only a new file can have it.
    if (kind == LedgerSchema::FileKind::Empty) {
        if (rc = db_.exec("PRAGMA page_size = 2048"); rc != SQLITE_OK)
            return refuseOrFail(rc);
    }
    SqliteStatement journal(db_, "PRAGMA journal_mode = WAL");
    if (journal.prepared() != SQLITE_OK)
        return refuseOrFail(journal.prepared());
    if (rc = journal.step(); rc != SQLITE_ROW)
        return refuseOrFail(rc);
    if (journal.text(0) != "wal") {
        error_ = path_ + ": the folder does not allow a write-ahead log";
        db_.close();
        return Outcome::Failed;
    }
    journal.reset();
    if (rc = db_.exec("PRAGMA synchronous = NORMAL"); rc != SQLITE_OK)
        return refuseOrFail(rc);
    // A commit of many hosts touches a page of each one's probes and figures: with SQLite's default 2 MiB
    // cache a thousand hosts read their pages from the file again at every commit. Pages are only cached as
    // they are used, so a few hosts cost no more than before.
    if (rc = db_.exec("PRAGMA cache_size = -16384"); rc != SQLITE_OK)
        return refuseOrFail(rc);
    if (const Outcome o = prepareLayout(); o != Outcome::Ok)
        return o;
    if (lockFd_ < 0)
        lockFd_ = ::open((path_ + "-lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    statements_ = std::make_unique<Statements>(db_);
    if (rc = statements_->prepared(); rc != SQLITE_OK)
        return fail(rc);
    hostIds_.clear();
    // A run cut short (crash, power loss) leaves its last probes in its log and its outage and status open:
    // the probes are stored, then the outage and status end at the last of them. Only on the first opening:
    // later ones follow a passing failure of this program's own run.
    if (!repaired_) {
        if (const Outcome o = replayAbandoned(); o != Outcome::Ok) {
            statements_.reset();
            db_.close();
            return o;
        }
        if (!repairAbandoned()) {
            rc = sqlite3_extended_errcode(db_.handle());
            db_.noteError(rc);
            rollback();
            return refuseOrFail(rc);
        }
        tracks_.clear();
        repaired_ = true;
    }
    error_.clear();
    return Outcome::Ok;
}

LedgerStore::Outcome LedgerStore::prepareLayout() {
    int rc = db_.exec("BEGIN IMMEDIATE");
    if (rc != SQLITE_OK)
        return refuseOrFail(rc);
    // Before version 3 the probes were the table `samples`, which is a view now.
    bool oldSamples = false;
    bool ok = true;
    {
        SqliteStatement kind(db_, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'samples'");
        ok = kind.step() == SQLITE_ROW;
        oldSamples = ok && kind.int64(0) > 0;
    }
    ok = ok && (!oldSamples || db_.exec(moveAsideSamplesSql().c_str()) == SQLITE_OK);
    ok = ok && db_.exec(createSql().c_str()) == SQLITE_OK;
    if (ok) {
        SqliteStatement has(db_, "SELECT count(*) FROM pragma_table_info('outages') WHERE name = 'verdict_ms'");
        ok = has.step() == SQLITE_ROW;
        if (ok && has.int64(0) == 0)
            ok = db_.exec(upgradeOutagesSql().c_str()) == SQLITE_OK;
    }
    ok = ok && (!oldSamples || db_.exec(upgradeSamplesSql().c_str()) == SQLITE_OK);
    ok = ok && db_.exec(("PRAGMA user_version = " + std::to_string(kVersion)).c_str()) == SQLITE_OK;
    ok = ok && db_.exec("COMMIT") == SQLITE_OK;
    if (ok)
        return Outcome::Ok;
    rc = sqlite3_extended_errcode(db_.handle());
    db_.noteError(rc);
    rollback();
    return refuseOrFail(rc);
}

std::optional<std::uint64_t> LedgerStore::committedPlace(std::uint64_t logId, int& rc) {
    SqliteStatement& s = statements_->logPlace;
    s.reset();
    s.bind(1, static_cast<std::int64_t>(logId));
    rc = s.step();
    std::optional<std::uint64_t> place;
    if (rc == SQLITE_ROW)
        place = static_cast<std::uint64_t>(s.int64(0));
    s.reset();
    rc = rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
    return place;
}

LedgerStore::Outcome LedgerStore::replayAbandoned() {
    // A piece at a time: a log of any size costs a piece of memory, and each piece stores its last place, so
    // an attempt cut short goes on where it stopped.
    constexpr std::size_t kPiece = 5'000;
    for (PendingLog::Abandoned& log : PendingLog::abandoned(path_)) {
        std::vector<LedgerEntry> piece;
        std::optional<std::uint64_t> committed;
        bool placeRead = false;
        while (log.read(piece, kPiece)) {
            if (!placeRead && log.logId() != 0) {
                int rc = SQLITE_OK;
                committed = committedPlace(log.logId(), rc);
                if (rc != SQLITE_OK)
                    return refuseOrFail(rc);
                placeRead = true;
            }
            // What a commit took before the program died; an older program's log has no places and is told by
            // what it holds.
            if (committed)
                std::erase_if(piece, [&](const LedgerEntry& e) { return e.seq != 0 && e.seq <= *committed; });
            // Left for the next attempt, which reads the log again.
            if (!piece.empty())
                if (const Outcome o = writeBatch(piece, true, log.logId()); o != Outcome::Ok)
                    return o;
        }
        log.remove();
        if (log.logId() != 0) {
            statements_->forgetLog.reset();
            statements_->forgetLog.bind(1, static_cast<std::int64_t>(log.logId()));
            (void)statements_->forgetLog.step(); // a row left over costs a few bytes, nothing else
            statements_->forgetLog.reset();
        }
    }
    return Outcome::Ok;
}

void LedgerStore::forgetLog() {
    if (!db_.isOpen() || !statements_ || logId_ == 0)
        return;
    statements_->forgetLog.reset();
    statements_->forgetLog.bind(1, static_cast<std::int64_t>(logId_));
    (void)statements_->forgetLog.step();
    statements_->forgetLog.reset();
}

bool LedgerStore::repairAbandoned() {
    if (db_.exec("BEGIN IMMEDIATE") != SQLITE_OK)
        return false;
    std::vector<std::string> hosts;
    {
        SqliteStatement open(db_,
                             "SELECT host FROM outages WHERE end_ms IS NULL UNION SELECT host FROM "
                             "(SELECT host, status, max(at_ms) FROM status_changes GROUP BY host) WHERE status != 0");
        int rc = SQLITE_OK;
        while ((rc = open.step()) == SQLITE_ROW)
            hosts.push_back(open.text(0));
        if (rc != SQLITE_DONE)
            return false;
    }
    SqliteStatement endOutages(
        db_, "UPDATE outages SET end_ms = max(start_ms, coalesce((SELECT max(at_ms) FROM samples WHERE samples.host "
             "= outages.host AND samples.at_ms >= outages.start_ms), start_ms)) WHERE end_ms IS NULL AND host = ?1");
    SqliteStatement endStatus(
        db_, "INSERT INTO status_changes(at_ms, host, status) SELECT max(last_ms, coalesce((SELECT max(at_ms) FROM "
             "samples WHERE host = ?1), last_ms)), ?1, 0 FROM (SELECT status, max(at_ms) AS last_ms FROM "
             "status_changes WHERE host = ?1) WHERE status != 0");
    for (const std::string& host : hosts) {
        // Another instance is still running this host: its run is not abandoned.
        if (ownedElsewhere(host))
            continue;
        for (SqliteStatement* s : {&endOutages, &endStatus}) {
            s->reset();
            s->bind(1, host);
            if (s->step() != SQLITE_DONE)
                return false;
        }
    }
    return db_.exec("COMMIT") == SQLITE_OK;
}

void LedgerStore::claimHost(const std::string& host) {
    if (lockFd_ < 0)
        return;
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = lockOffset(host);
    lock.l_len = 1;
    (void)::fcntl(lockFd_, F_OFD_SETLK, &lock);
}

bool LedgerStore::ownedElsewhere(const std::string& host) const {
    if (lockFd_ < 0)
        return false;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = lockOffset(host);
    lock.l_len = 1;
    return ::fcntl(lockFd_, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

std::optional<std::int64_t> LedgerStore::newestSampleMs() {
    if (!db_.isOpen())
        return std::nullopt;
    SqliteStatement s(db_, "SELECT max((SELECT max(at_ms) FROM probes WHERE host_id = hosts.id)) FROM hosts");
    if (s.step() != SQLITE_ROW)
        return std::nullopt;
    return s.optionalInt64(0);
}

void LedgerStore::rollback() {
    if (db_.isOpen() && sqlite3_get_autocommit(db_.handle()) == 0)
        sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    if (statements_)
        statements_->paths.forgetIds();
}

bool LedgerStore::addStatusChange(std::int64_t atMs, const std::string& host, int status) {
    SqliteStatement& s = statements_->insertChange;
    s.reset();
    s.bind(1, atMs);
    s.bind(2, host);
    s.bind(3, std::int64_t{status});
    return s.step() == SQLITE_DONE;
}

std::optional<std::int64_t> LedgerStore::hostId(const ProbeSample& sample, HostIds& ids) {
    if (const auto found = ids.find(std::pair<std::string_view, std::string_view>(sample.host, sample.address));
        found != ids.end())
        return found->second;
    Statements& st = *statements_;
    st.insertHost.reset();
    st.insertHost.bind(1, sample.host);
    st.insertHost.bind(2, sample.address);
    if (st.insertHost.step() != SQLITE_DONE)
        return std::nullopt;
    st.selectHost.reset();
    st.selectHost.bind(1, sample.host);
    st.selectHost.bind(2, sample.address);
    if (st.selectHost.step() != SQLITE_ROW)
        return std::nullopt;
    const std::int64_t id = st.selectHost.int64(0);
    st.selectHost.reset();
    ids.emplace(std::make_pair(sample.host, sample.address), id);
    return id;
}

bool LedgerStore::writeEntry(const LedgerEntry& entry, Tracks& tracks, HostIds& ids, bool replaying,
                             std::optional<std::int64_t>& storedAt) {
    storedAt.reset();
    if (entry.route)
        return writeRoute(*entry.route);
    if (entry.change)
        return statements_->paths.writeChange(*entry.change);
    if (entry.path) {
        ProbeSample names;
        names.host = entry.path->host;
        names.address = entry.path->address;
        const std::optional<std::int64_t> id = hostId(names, ids);
        return id && statements_->paths.writeTrace(*entry.path, *id);
    }
    if (entry.runEnd)
        return endRun(tracks, entry.sample.host, entry.sample.atMs);
    const ProbeSample& sample = entry.sample;
    std::int64_t atMs = sample.atMs; // where it is kept
    Statements& st = *statements_;
    const std::optional<std::int64_t> id = hostId(sample, ids);
    if (!id)
        return false;
    const std::int64_t outcome = outcomeCode(sample.status, sample.ttl);
    if (replaying && entry.seq == 0) {
        // An older program's log has no places: it was cleared right after each commit, so a crash in between
        // left probes that are stored already, which only what they hold tells.
        st.sameProbe.reset();
        st.sameProbe.bind(1, *id);
        st.sameProbe.bind(2, atMs);
        st.sameProbe.bind(3, sample.rttUs);
        st.sameProbe.bind(4, outcome);
        if (st.sameProbe.step() != SQLITE_ROW)
            return false;
        const bool stored = st.sameProbe.int64(0) > 0;
        st.sameProbe.reset();
        if (stored)
            return true;
    }
    // A probe in the same millisecond as one already kept for the host (the clock stepped back onto it) is
    // kept a millisecond later rather than lost.
    for (int shift = 0;; ++shift) {
        st.insertSample.reset();
        st.insertSample.bind(1, *id);
        st.insertSample.bind(2, atMs);
        st.insertSample.bind(3, sample.rttUs);
        st.insertSample.bind(4, outcome);
        const int rc = st.insertSample.step();
        if (rc == SQLITE_DONE)
            break;
        if ((rc & 0xff) != SQLITE_CONSTRAINT || shift >= 1000)
            return false;
        ++atMs;
    }
    storedAt = atMs;

    if (tracks.find(sample.host) == tracks.end())
        claimHost(sample.host);
    HostTrack& track = tracks[sample.host];
    track.lastAtMs = atMs;
    if (!sample.replied()) {
        if (!track.failing) {
            track.failing = true;
            track.streakStartMs = atMs;
            track.streakStatus = sample.status;
        }
        track.firstReplyMs.reset();
    } else {
        track.failing = false;
        if (!track.firstReplyMs)
            track.firstReplyMs = atMs;
    }
    if (track.lastStatus != sample.hostStatus) {
        const std::int64_t at = std::max(atMs, track.lastChangeMs);
        if (!addStatusChange(at, sample.host, sample.hostStatus))
            return false;
        track.lastStatus = sample.hostStatus;
        track.lastChangeMs = at;
    }
    const bool bad = sample.hostStatus == HostVerdict::Bad;
    if (bad && track.openOutage == 0) {
        // The outage runs from the first failed probe of the streak that made the status Bad; a Bad verdict
        // without losses (replies too slow) begins it at the verdict.
        const std::int64_t verdict = std::max(atMs, track.lastChangeMs);
        track.outageFromFailure = track.failing;
        track.outageStartMs = track.failing ? std::min(track.streakStartMs, verdict) : verdict;
        st.openOutage.reset();
        st.openOutage.bind(1, sample.host);
        st.openOutage.bind(2, sample.address);
        st.openOutage.bind(3, track.outageStartMs);
        st.openOutage.bind(4, std::int64_t{track.failing ? track.streakStatus : sample.status});
        st.openOutage.bind(5, track.failing ? std::optional<std::int64_t>(track.streakStartMs) : std::nullopt);
        st.openOutage.bind(6, verdict);
        if (st.openOutage.step() != SQLITE_DONE)
            return false;
        track.openOutage = db_.lastInsertRowid();
    } else if (!bad && track.openOutage != 0) {
        if (!closeOutage(track, atMs))
            return false;
    }
    return true;
}

bool LedgerStore::writeRoute(const RouteSnapshot& route) {
    Statements& st = *statements_;
    std::optional<std::int64_t> outage;
    if (route.outageId) {
        outage = route.outageId;
    } else if (route.reason == RouteReason::Outage) {
        // The outage open at the edge, whether it is still open or ended before the trace did; in the same
        // transaction the outage that probe opened is there too.
        st.routeOutage.reset();
        st.routeOutage.bind(1, route.host);
        st.routeOutage.bind(2, route.takenMs);
        const int rc = st.routeOutage.step();
        if (rc == SQLITE_ROW)
            outage = st.routeOutage.int64(0);
        else if (rc != SQLITE_DONE)
            return false;
        st.routeOutage.reset();
    }
    st.insertRoute.reset();
    st.insertRoute.bind(1, route.host);
    st.insertRoute.bind(2, route.address);
    st.insertRoute.bind(3, route.takenMs);
    st.insertRoute.bind(4, std::string_view(routeReasonText(route.reason)));
    st.insertRoute.bind(5, outage);
    st.insertRoute.bind(6, std::int64_t{route.rounds});
    st.insertRoute.bind(7, std::int64_t{route.reached ? 1 : 0});
    st.insertRoute.bind(8, route.lossBeginsAt ? std::optional<std::int64_t>(*route.lossBeginsAt) : std::nullopt);
    if (st.insertRoute.step() != SQLITE_DONE)
        return false;
    const std::int64_t id = db_.lastInsertRowid();
    for (const RouteHop& hop : route.hops) {
        std::string addresses;
        for (const IpAddress& a : hop.answered)
            addresses += (addresses.empty() ? "" : " ") + a.text();
        // Times of a hop that never answered mean nothing: NULL says so to whoever queries the file.
        const bool answered = !hop.neverAnswered();
        auto time = [answered](std::uint32_t us) { return answered ? std::optional<std::int64_t>(us) : std::nullopt; };
        st.insertHop.reset();
        st.insertHop.bind(1, id);
        st.insertHop.bind(2, std::int64_t{hop.number});
        st.insertHop.bind(3, addresses);
        st.insertHop.bind(4, std::int64_t{hop.sent});
        st.insertHop.bind(5, std::int64_t{hop.lost()});
        st.insertHop.bind(6, time(hop.lastUs));
        st.insertHop.bind(7, time(hop.bestUs));
        st.insertHop.bind(8, time(hop.averageUs));
        st.insertHop.bind(9, time(hop.worstUs));
        st.insertHop.bind(10, time(hop.stdDevUs));
        st.insertHop.bind(11, std::int64_t{hop.unreachable ? 1 : 0});
        if (st.insertHop.step() != SQLITE_DONE)
            return false;
    }
    return true;
}

bool LedgerStore::closeOutage(HostTrack& track, std::int64_t atMs) {
    // Lost replies end with the first reply that led out of the outage, not with the verdict that followed.
    std::int64_t end = atMs;
    if (track.outageFromFailure && track.firstReplyMs)
        end = *track.firstReplyMs;
    SqliteStatement& s = statements_->closeOutage;
    s.reset();
    s.bind(1, track.openOutage);
    s.bind(2, std::max(end, track.outageStartMs));
    if (s.step() != SQLITE_DONE)
        return false;
    track.openOutage = 0;
    return true;
}

bool LedgerStore::endRun(Tracks& tracks, const std::string& only, std::optional<std::int64_t> atMs) {
    for (auto& [host, track] : tracks) {
        if (!only.empty() && host != only)
            continue;
        const std::int64_t end = atMs.value_or(track.lastAtMs);
        if (track.openOutage != 0 && !closeOutage(track, end))
            return false;
        if (track.lastStatus > 0) {
            const std::int64_t at = std::max(end, track.lastChangeMs);
            if (!addStatusChange(at, host, 0))
                return false;
            track.lastChangeMs = at;
        }
        track.lastStatus = 0;
        track.failing = false;
        track.firstReplyMs.reset();
    }
    return true;
}

bool LedgerStore::mergeStats(bool hourly, const std::string& host, std::int64_t startMs, const RttStats& later) {
    SqliteStatement& select = hourly ? statements_->selectHour : statements_->selectMinute;
    select.reset();
    select.bind(1, startMs);
    select.bind(2, host);
    RttStats merged;
    const int rc = select.step();
    if (rc == SQLITE_ROW)
        merged = readStats(select, 0);
    else if (rc != SQLITE_DONE)
        return false;
    select.reset();
    merged.merge(later);
    SqliteStatement& upsert = hourly ? statements_->upsertHour : statements_->upsertMinute;
    upsert.reset();
    upsert.bind(1, host);
    upsert.bind(2, startMs);
    bindStats(upsert, 3, merged);
    return upsert.step() == SQLITE_DONE;
}

LedgerStore::Outcome LedgerStore::busyOrFail(int rc) {
    rollback();
    if (!isBusy(rc))
        return fail(rc);
    // Another program holds the file: the connection stays, the caller tries again later.
    error_ = path_ + ": " + db_.errorText();
    return Outcome::Busy;
}

LedgerStore::Tracks LedgerStore::storedTracks(const std::vector<LedgerEntry>& batch) {
    Tracks tracks;
    SqliteStatement status(db_, "SELECT status, at_ms FROM status_changes WHERE host = ?1 "
                                "ORDER BY at_ms DESC, rowid DESC LIMIT 1");
    SqliteStatement outage(db_, "SELECT id, start_ms, first_error_ms FROM outages WHERE host = ?1 AND end_ms IS NULL "
                                "ORDER BY start_ms DESC, id DESC LIMIT 1");
    for (const LedgerEntry& entry : batch) {
        // The end of a host's run needs where the file leaves that host, probes of it in the batch or not.
        if (entry.sideRecord() || (entry.runEnd && entry.sample.host.empty()) || tracks.count(entry.sample.host) != 0)
            continue;
        HostTrack& track = tracks[entry.sample.host];
        status.reset();
        status.bind(1, entry.sample.host);
        if (status.step() == SQLITE_ROW) {
            track.lastStatus = static_cast<int>(status.int64(0));
            track.lastChangeMs = status.int64(1);
        }
        outage.reset();
        outage.bind(1, entry.sample.host);
        if (outage.step() == SQLITE_ROW) {
            track.openOutage = outage.int64(0);
            track.outageStartMs = outage.int64(1);
            track.outageFromFailure = !outage.isNull(2);
            track.failing = track.outageFromFailure;
            track.streakStartMs = track.outageStartMs;
        }
    }
    return tracks;
}

LedgerStore::Outcome LedgerStore::write(const std::vector<LedgerEntry>& batch) {
    return writeBatch(batch, false, logId_);
}

LedgerStore::Outcome LedgerStore::writeBatch(const std::vector<LedgerEntry>& batch, bool replaying,
                                             std::uint64_t logId) {
    if (!db_.isOpen())
        return Outcome::Failed;
    if (const int rc = db_.exec("BEGIN IMMEDIATE"); rc != SQLITE_OK)
        return busyOrFail(rc);
    // A run that ended without closing: it goes on from what the file says, not from this program's runs.
    Tracks tracks = replaying ? storedTracks(batch) : tracks_;
    HostIds ids = hostIds_;
    // Figures of the batch per host and minute and per host and hour, merged into the stored rows at the end.
    std::map<std::pair<std::string, std::int64_t>, RttStats> minutes;
    std::map<std::pair<std::string, std::int64_t>, RttStats> hours;
    bool ok = true;
    for (const LedgerEntry& entry : batch) {
        std::optional<std::int64_t> at;
        if (!(ok = writeEntry(entry, tracks, ids, replaying, at)))
            break;
        if (at) {
            minutes[{entry.sample.host, floorTo(*at, kMinuteMs)}].add(entry.sample.rttUs);
            hours[{entry.sample.host, floorTo(*at, kHourMs)}].add(entry.sample.rttUs);
        }
    }
    for (const auto& [key, stats] : minutes)
        ok = ok && mergeStats(false, key.first, key.second, stats);
    for (const auto& [key, stats] : hours)
        ok = ok && mergeStats(true, key.first, key.second, stats);
    // In the same transaction as the entries: the log's place and what is stored never disagree.
    std::uint64_t last = 0;
    for (const LedgerEntry& entry : batch)
        last = std::max(last, entry.seq);
    if (ok && logId != 0 && last != 0) {
        SqliteStatement& mark = statements_->markLog;
        mark.reset();
        mark.bind(1, static_cast<std::int64_t>(logId));
        mark.bind(2, static_cast<std::int64_t>(last));
        ok = mark.step() == SQLITE_DONE;
    }
    if (ok) {
        if (const int rc = db_.exec("COMMIT"); rc == SQLITE_OK) {
            if (!replaying)
                tracks_ = std::move(tracks);
            hostIds_ = std::move(ids);
            return Outcome::Ok;
        }
    }
    const int rc = sqlite3_extended_errcode(db_.handle());
    db_.noteError(rc);
    return busyOrFail(rc);
}

LedgerStore::Outcome LedgerStore::prune(std::int64_t cutoffMs, int limit, bool& more) {
    more = false;
    if (!db_.isOpen())
        return Outcome::Failed;
    if (const int rc = db_.exec("BEGIN IMMEDIATE"); rc != SQLITE_OK)
        return busyOrFail(rc);
    Statements& st = *statements_;
    std::vector<std::int64_t> hosts;
    st.hostIds.reset();
    int rc = SQLITE_OK;
    while ((rc = st.hostIds.step()) == SQLITE_ROW)
        hosts.push_back(st.hostIds.int64(0));
    if (rc != SQLITE_DONE)
        return busyOrFail(rc);
    for (const std::int64_t host : hosts) {
        st.pruneSamples.reset();
        st.pruneSamples.bind(1, cutoffMs);
        st.pruneSamples.bind(2, std::int64_t{limit});
        st.pruneSamples.bind(3, host);
        if (rc = st.pruneSamples.step(); rc != SQLITE_DONE)
            return busyOrFail(rc);
        more = more || db_.changes() >= limit;
    }
    for (SqliteStatement* s :
         {&st.pruneMinutes, &st.pruneHours, &st.pruneOutages, &st.pruneChanges, &st.pruneHops, &st.pruneRoutes}) {
        s->reset();
        s->bind(1, cutoffMs);
        s->bind(2, std::int64_t{limit});
        if (const int rc = s->step(); rc != SQLITE_DONE)
            return busyOrFail(rc);
        more = more || db_.changes() >= limit;
    }
    if (!st.paths.prune(cutoffMs, limit, more))
        return busyOrFail(sqlite3_extended_errcode(db_.handle()));
    if (const int rc = db_.exec("COMMIT"); rc != SQLITE_OK)
        return busyOrFail(rc);
    return Outcome::Ok;
}

void LedgerStore::close() {
    if (db_.isOpen() && statements_) {
        Tracks tracks = tracks_;
        if (db_.exec("BEGIN IMMEDIATE") == SQLITE_OK) {
            if (endRun(tracks, {}, std::nullopt) && db_.exec("COMMIT") == SQLITE_OK)
                tracks_ = std::move(tracks);
            else
                rollback();
        }
    }
    statements_.reset();
    db_.close();
}

std::string LedgerStore::moveAside() {
    statements_.reset();
    db_.close();
    tracks_.clear();
    repaired_ = false;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &local);
    std::string target = path_ + ".corrupt-" + stamp;
    for (int n = 2; std::filesystem::exists(target); ++n)
        target = path_ + ".corrupt-" + stamp + "-" + std::to_string(n);
    if (std::rename(path_.c_str(), target.c_str()) != 0) {
        error_ = "cannot move " + path_ + " aside: " + std::strerror(errno);
        return {};
    }
    // The log and the index belong to the damaged file; a new file must not pick them up.
    for (const char* companion : {"-wal", "-shm"}) {
        const std::string from = path_ + companion;
        if (std::filesystem::exists(from))
            std::rename(from.c_str(), (target + companion).c_str());
    }
    return target;
}
