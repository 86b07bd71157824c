#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "history/HistoryCsv.h"
#include "history/HistoryRecords.h"
#include "history/PathRecords.h"
#include "history/ProbeSample.h"
#include "history/RouteSnapshot.h"
#include "history/SqliteDb.h"

// Queries on history.sqlite through a connection of its own, beside the writer's (WAL lets both work at
// once). Not thread-safe by itself: HistoryLedger serialises the calls. Ranges are [fromMs, toMs).
class LedgerReader {
public:
    explicit LedgerReader(std::string path);
    ~LedgerReader();
    LedgerReader(const LedgerReader&) = delete;
    LedgerReader& operator=(const LedgerReader&) = delete;

    // Drops the connection; the next query opens the file again (after it was moved aside).
    void reopen();

    // Each gives an empty answer when the file is missing or unreadable; errorText() then says why.
    [[nodiscard]] std::vector<ProbeSample> samples(const std::string& host, std::int64_t fromMs, std::int64_t toMs);
    // The hosts with probes in the file, in alphabetical order.
    [[nodiscard]] std::vector<std::string> hosts();
    // At most `maxPoints` steps of equal length, from single probes for short spans and from the per-minute or
    // per-hour figures for long ones, so a month costs about as much as an hour. Steps without probes are left
    // out. Steps from stored figures lie on whole minutes or hours; an edge step may reach past the range and
    // then also holds the rest of the minute or hour the range cuts.
    [[nodiscard]] std::vector<SeriesPoint> series(const std::string& host, std::int64_t fromMs, std::int64_t toMs,
                                                  int maxPoints);
    // Exact counts for the range: whole hours from the hourly figures, whole minutes from the minute figures,
    // the rest from single probes.
    [[nodiscard]] RttStats summary(const std::string& host, std::int64_t fromMs, std::int64_t toMs);
    // Outages that overlap the range, oldest first.
    [[nodiscard]] std::vector<Outage> outages(const std::string& host, std::int64_t fromMs, std::int64_t toMs);
    // The status at fromMs (when known) and every change up to toMs.
    [[nodiscard]] std::vector<StatusChange> statusChanges(const std::string& host, std::int64_t fromMs,
                                                          std::int64_t toMs);
    // A stored route trace with its hops in hop order; none when it is not there (or the file has no traces).
    [[nodiscard]] std::optional<RouteSnapshot> routeSnapshot(std::int64_t id);
    // The host's path as path watching kept it: one record per hop and minute, in time and hop order.
    [[nodiscard]] std::vector<PathMinute> pathMinutes(const std::string& host, std::int64_t fromMs, std::int64_t toMs);
    // Route changes of the host within the range, oldest first.
    [[nodiscard]] std::vector<RouteChange> routeChanges(const std::string& host, std::int64_t fromMs,
                                                        std::int64_t toMs);
    // Writes the header and one line per sample; false when the file cannot be read or `out` fails.
    [[nodiscard]] bool exportCsv(const std::string& host, std::int64_t fromMs, std::int64_t toMs, std::ostream& out,
                                 const HistoryCsv::StatusText& statusText);

    [[nodiscard]] std::string errorText() const { return error_; }

private:
    [[nodiscard]] bool ready();
    [[nodiscard]] bool routesKnown();
    [[nodiscard]] bool pathsKnown();
    [[nodiscard]] bool usable();
    // A WAL file in a folder that cannot be written (SQLite cannot make its index there): read it as
    // immutable, or through a private copy when its log still holds writes.
    [[nodiscard]] bool openUnwritable();
    void note();
    // Calls `row` for every sample of the range in time order; false on a read error.
    [[nodiscard]] bool eachSample(const std::string& host, std::int64_t fromMs, std::int64_t toMs,
                                  const std::function<void(const SqliteStatement&)>& row);
    [[nodiscard]] bool addStats(const char* table, const std::string& host, std::int64_t fromMs, std::int64_t toMs,
                                RttStats& into);

    std::string path_;
    SqliteDb db_;
    std::string copyDir_;
    bool hasVerdict_ = true;
    bool hasProbes_ = true; // version 3: probes and hosts, `samples` a view
    bool hasRoutes_ = true; // version 4: route traces
    bool hasPaths_ = false; // version 5: path watching
    std::string error_;
};
