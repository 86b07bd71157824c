#include "history/PathStore.h"

#include <sqlite3.h>

#include "history/LedgerSchema.h"
#include "history/PathCodec.h"

namespace {

std::string addressList(const std::vector<IpAddress>& path) {
    // A hop that did not answer is "*", so the list keeps each hop in its place.
    std::string out;
    for (const IpAddress& a : path)
        out += (out.empty() ? "" : " ") + (a.family == IpAddress::Family::None ? std::string("*") : a.text());
    return out;
}

} // namespace

struct PathStore::Statements {
    explicit Statements(SqliteDb& db)
        : selectMinute(db, "SELECT hops FROM path_minutes WHERE slot = ?1"),
          upsertMinute(db, "INSERT OR REPLACE INTO path_minutes(slot, hops) VALUES (?1, ?2)"),
          selectList(db, "SELECT id FROM path_addresses WHERE addresses = ?1"),
          insertList(db, "INSERT INTO path_addresses(addresses) VALUES (?1)"),
          listText(db, "SELECT addresses FROM path_addresses WHERE id = ?1"),
          insertChange(db, "INSERT INTO path_changes(host, address, at_ms, hop, before, after) "
                           "VALUES (?1, ?2, ?3, ?4, ?5, ?6)"),
          pruneMinutes(db, "DELETE FROM path_minutes WHERE slot IN (SELECT slot FROM path_minutes WHERE slot < ?1 "
                           "ORDER BY slot LIMIT ?2)"),
          pruneChanges(db, "DELETE FROM path_changes WHERE id IN (SELECT id FROM path_changes WHERE at_ms < ?1 "
                           "ORDER BY at_ms LIMIT ?2)") {}

    SqliteStatement selectMinute, upsertMinute, selectList, insertList, listText, insertChange, pruneMinutes,
        pruneChanges;
};

PathStore::PathStore(SqliteDb& db) : db_(db), st_(std::make_unique<Statements>(db)) {}

PathStore::~PathStore() = default;

int PathStore::prepared() const {
    for (const SqliteStatement* s : {&st_->selectMinute, &st_->upsertMinute, &st_->selectList, &st_->insertList,
                                     &st_->listText, &st_->insertChange, &st_->pruneMinutes, &st_->pruneChanges})
        if (s->prepared() != SQLITE_OK)
            return s->prepared();
    return SQLITE_OK;
}

bool PathStore::idOf(const std::vector<IpAddress>& addresses, std::uint16_t& id) {
    id = 0;
    if (addresses.empty())
        return true;
    const std::string text = PathCodec::joinAddresses(addresses);
    if (const auto known = ids_.find(text); known != ids_.end()) {
        id = known->second;
        return true;
    }
    SqliteStatement& select = st_->selectList;
    select.reset();
    select.bind(1, text);
    int rc = select.step();
    std::int64_t row = 0;
    if (rc == SQLITE_ROW) {
        row = select.int64(0);
    } else if (rc == SQLITE_DONE) {
        st_->insertList.reset();
        st_->insertList.bind(1, text);
        if (st_->insertList.step() != SQLITE_DONE)
            return false;
        row = db_.lastInsertRowid();
    } else {
        return false;
    }
    select.reset();
    // Past 65,535 lists (a network answering from ever new addresses) a hop keeps its figures without them.
    if (row > 0 && row <= 0xffff)
        id = static_cast<std::uint16_t>(row);
    ids_.emplace(text, id);
    return true;
}

bool PathStore::addressesOf(std::uint16_t id, std::vector<IpAddress>& addresses) {
    addresses.clear();
    if (id == 0)
        return true;
    SqliteStatement& s = st_->listText;
    s.reset();
    s.bind(1, std::int64_t{id});
    const int rc = s.step();
    if (rc == SQLITE_ROW)
        addresses = PathCodec::splitAddresses(s.text(0));
    s.reset();
    return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

bool PathStore::writeTrace(const PathTrace& trace, std::int64_t hostId) {
    if (hostId <= 0 || hostId >= PathCodec::kHostSlots)
        return true; // beyond 16 million hosts and addresses a path is not kept
    const std::int64_t minute = LedgerSchema::floorTo(trace.atMs, LedgerSchema::kMinuteMs) / LedgerSchema::kMinuteMs;
    const std::int64_t slot = PathCodec::slot(minute, hostId);
    std::vector<PathMinute> hops;
    SqliteStatement& select = st_->selectMinute;
    select.reset();
    select.bind(1, slot);
    const int rc = select.step();
    if (rc == SQLITE_ROW) {
        std::vector<std::uint16_t> ids;
        hops = PathCodec::decode(select.blob(0), ids);
        for (std::size_t i = 0; i < hops.size(); ++i)
            if (!addressesOf(ids[i], hops[i].answered))
                return false;
    } else if (rc != SQLITE_DONE) {
        return false;
    }
    select.reset();
    PathCodec::merge(hops, PathCodec::fromTrace(trace.hops));
    std::vector<std::uint16_t> ids(hops.size());
    for (std::size_t i = 0; i < hops.size(); ++i)
        if (!idOf(hops[i].answered, ids[i]))
            return false;
    SqliteStatement& upsert = st_->upsertMinute;
    upsert.reset();
    upsert.bind(1, slot);
    upsert.bindBlob(2, PathCodec::encode(hops, ids));
    return upsert.step() == SQLITE_DONE;
}

bool PathStore::writeChange(const RouteChange& change) {
    SqliteStatement& s = st_->insertChange;
    s.reset();
    s.bind(1, change.host);
    s.bind(2, change.address);
    s.bind(3, change.atMs);
    s.bind(4, std::int64_t{change.hop});
    s.bind(5, addressList(change.before));
    s.bind(6, addressList(change.after));
    return s.step() == SQLITE_DONE;
}

bool PathStore::prune(std::int64_t cutoffMs, int limit, bool& more) {
    // Whole minutes before the cutoff, as the minute figures go.
    const std::int64_t minutes = LedgerSchema::floorTo(cutoffMs, LedgerSchema::kMinuteMs) / LedgerSchema::kMinuteMs;
    for (SqliteStatement* s : {&st_->pruneMinutes, &st_->pruneChanges}) {
        s->reset();
        s->bind(1, s == &st_->pruneMinutes ? PathCodec::slot(minutes, 0) : cutoffMs);
        s->bind(2, std::int64_t{limit});
        if (s->step() != SQLITE_DONE)
            return false;
        more = more || db_.changes() >= limit;
    }
    return true;
}
