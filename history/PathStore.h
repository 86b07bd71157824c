#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "history/SqliteDb.h"
#include "types/PathObserver.h"

// The writer's side of path watching in history.sqlite: merges each trace into its host's minute, keeps route
// changes and prunes both with the other minute figures. Runs inside the transactions of LedgerStore, on its
// connection, so a trace is committed with the probes of its batch.
class PathStore {
public:
    explicit PathStore(SqliteDb& db);
    ~PathStore();
    PathStore(const PathStore&) = delete;
    PathStore& operator=(const PathStore&) = delete;

    [[nodiscard]] int prepared() const;
    // `hostId`: the row of `hosts` for the trace's host and address.
    [[nodiscard]] bool writeTrace(const PathTrace& trace, std::int64_t hostId);
    [[nodiscard]] bool writeChange(const RouteChange& change);
    // Deletes at most `limit` minutes and changes older than `cutoffMs`; `more` when some were left.
    [[nodiscard]] bool prune(std::int64_t cutoffMs, int limit, bool& more);
    // After a rollback: ids handed out in it may not exist.
    void forgetIds() { ids_.clear(); }

private:
    struct Statements;
    // The id of an address list, stored when new; 0 for none (a silent hop, or no room left in the two bytes).
    [[nodiscard]] bool idOf(const std::vector<IpAddress>& addresses, std::uint16_t& id);
    [[nodiscard]] bool addressesOf(std::uint16_t id, std::vector<IpAddress>& addresses);

    SqliteDb& db_;
    std::unique_ptr<Statements> st_;
    std::map<std::string, std::uint16_t> ids_; // address lists committed or written in this transaction
};
