#include "history/PathQueries.h"

#include <algorithm>
#include <map>
#include <sqlite3.h>

#include "history/LedgerSchema.h"
#include "history/PathCodec.h"

namespace PathQueries {

namespace {

// "198.18.1.2 * 198.18.3.2": a hop that did not answer is "*" (and so is anything that is no address).
std::vector<IpAddress> pathOf(const std::string& text) {
    std::vector<IpAddress> out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find(' ', at), text.size());
        if (end > at)
            out.push_back(IpAddress::parse(std::string_view(text).substr(at, end - at)).value_or(IpAddress{}));
        at = end + 1;
    }
    return out;
}

} // namespace

bool known(SqliteDb& db) {
    SqliteStatement s(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'path_changes'");
    return s.step() == SQLITE_ROW && s.int64(0) > 0;
}

bool minutes(SqliteDb& db, const std::string& host, std::int64_t fromMs, std::int64_t toMs,
             std::vector<PathMinute>& out) {
    using LedgerSchema::kMinuteMs;
    SqliteStatement s(db, "SELECT slot, hops FROM path_minutes WHERE slot >= ?1 AND slot < ?2 "
                          "AND slot % 16777216 IN (SELECT id FROM hosts WHERE host = ?3) ORDER BY slot");
    s.bind(1, PathCodec::slot(LedgerSchema::ceilTo(fromMs, kMinuteMs) / kMinuteMs, 0));
    s.bind(2, PathCodec::slot(LedgerSchema::ceilTo(toMs, kMinuteMs) / kMinuteMs, 0));
    s.bind(3, host);
    SqliteStatement list(db, "SELECT addresses FROM path_addresses WHERE id = ?1");
    std::map<std::uint16_t, std::vector<IpAddress>> lists;
    int rc = SQLITE_OK;
    while ((rc = s.step()) == SQLITE_ROW) {
        std::vector<std::uint16_t> ids;
        std::vector<PathMinute> hops = PathCodec::decode(s.blob(1), ids);
        for (std::size_t i = 0; i < hops.size(); ++i) {
            PathMinute& m = hops[i];
            m.minuteMs = s.int64(0) / PathCodec::kHostSlots * kMinuteMs;
            if (ids[i] != 0) {
                auto found = lists.find(ids[i]);
                if (found == lists.end()) {
                    list.reset();
                    list.bind(1, std::int64_t{ids[i]});
                    const int got = list.step();
                    if (got != SQLITE_ROW && got != SQLITE_DONE)
                        return false;
                    found = lists
                                .emplace(ids[i], got == SQLITE_ROW ? PathCodec::splitAddresses(list.text(0))
                                                                   : std::vector<IpAddress>{})
                                .first;
                }
                m.answered = found->second;
            }
            if (m.received() == 0)
                m.minUs = m.avgUs = m.maxUs = m.mdevUs = 0;
            out.push_back(std::move(m));
        }
    }
    return rc == SQLITE_DONE;
}

bool changes(SqliteDb& db, const std::string& host, std::int64_t fromMs, std::int64_t toMs,
             std::vector<RouteChange>& out) {
    SqliteStatement s(db, "SELECT id, host, address, at_ms, hop, before, after FROM path_changes "
                          "WHERE host = ?1 AND at_ms >= ?2 AND at_ms < ?3 ORDER BY at_ms, id");
    s.bind(1, host);
    s.bind(2, fromMs);
    s.bind(3, toMs);
    int rc = SQLITE_OK;
    while ((rc = s.step()) == SQLITE_ROW) {
        RouteChange c;
        c.id = s.int64(0);
        c.host = s.text(1);
        c.address = s.text(2);
        c.atMs = s.int64(3);
        c.hop = static_cast<std::uint8_t>(std::clamp<std::int64_t>(s.int64(4), 0, 255));
        c.before = pathOf(s.text(5));
        c.after = pathOf(s.text(6));
        out.push_back(std::move(c));
    }
    return rc == SQLITE_DONE;
}

} // namespace PathQueries
