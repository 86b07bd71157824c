#pragma once

#include <climits>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "history/ProbeSample.h"
#include "history/RouteSnapshot.h"
#include "history/RttStats.h"
#include "history/SqliteDb.h"
#include "types/PathObserver.h"

// What the writer thread takes from the queue: a probe, the end of a run at `sample.atMs`, a route trace, a path
// trace or a route change. A
// run's end names its host in `sample.host`; one without a host (from a log of an older program) ends every
// host's run.
struct LedgerEntry {
    ProbeSample sample;
    bool runEnd = false;
    std::shared_ptr<const RouteSnapshot> route{}; // set: the entry is this trace, nothing else of it counts
    std::shared_ptr<const PathTrace> path{};      // set: a trace of a watched path, likewise
    std::shared_ptr<const RouteChange> change{};  // set: a route change, likewise
    // Its place in its ledger's pending log, counted from 1 over the ledger's life; 0 for a trace (never logged)
    // and for an entry of an older program's log, which has no places.
    std::uint64_t seq = 0;

    // A route trace, a path trace or a route change: no probe, and never in the pending log.
    [[nodiscard]] bool sideRecord() const { return route || path || change; }
};

// The writer's side of history.sqlite: creates the file, writes batches with their per-minute and per-hour
// figures, outages and status changes, and prunes old rows. Owned and used by the writer thread alone.
class LedgerStore {
public:
    // Busy: another program holds the write lock beyond the wait; nothing is wrong with the file.
    // ReadOnly: the file or its folder cannot be written. Newer: a later program's layout, read but never
    // written. Foreign: some other program's database, left exactly as it is.
    enum class Outcome { Ok, Failed, Corrupt, Busy, ReadOnly, Newer, Foreign };

    // `logId`: the pending log of this program's ledger, whose places each commit stores; 0 for none.
    explicit LedgerStore(std::string path, std::uint64_t logId = 0);
    ~LedgerStore();
    LedgerStore(const LedgerStore&) = delete;
    LedgerStore& operator=(const LedgerStore&) = delete;

    // Creates the file (mode 0600, missing folders 0700) or opens it, in WAL mode, with every table. A newer or
    // foreign file is recognised before anything in it changes.
    [[nodiscard]] Outcome open();
    [[nodiscard]] bool isOpen() const { return db_.isOpen(); }
    // One transaction; nothing of the batch stays when it fails.
    [[nodiscard]] Outcome write(const std::vector<LedgerEntry>& batch);
    // Deletes at most `limit` rows per table that are older than `cutoffMs`, in one transaction.
    // `more` tells whether a table had more old rows.
    [[nodiscard]] Outcome prune(std::int64_t cutoffMs, int limit, bool& more);
    // Ends what is still open at each host's last probe (the program stops) and closes the file.
    void close();
    // Everything of this program's pending log is committed and the log is about to go: its places are not
    // needed any more.
    void forgetLog();
    // Closes the file and renames it and its -wal and -shm to "<path>.corrupt-<local time>". Returns the new
    // name, or an empty string when the rename failed (errorText() says why).
    [[nodiscard]] std::string moveAside();

    [[nodiscard]] std::string errorText() const { return error_; }
    // The newest probe in the file, none when it holds none.
    [[nodiscard]] std::optional<std::int64_t> newestSampleMs();

    // Milliseconds the wait for another program's write lock may take.
    static constexpr int kBusyTimeoutMs = 2000;

private:
    struct HostTrack {
        std::int64_t lastAtMs = 0;
        int lastStatus = -1; // unknown after opening
        // Status changes and outage ends never go back in time, whatever the clock does, so durations stay
        // positive and the latest change is the status now.
        std::int64_t lastChangeMs = INT64_MIN;
        std::int64_t openOutage = 0;
        std::int64_t outageStartMs = 0;
        bool outageFromFailure = false;
        std::optional<std::int64_t> firstReplyMs; // the first reply since the last failure
        bool failing = false;                     // in a streak of probes without reply
        std::int64_t streakStartMs = 0;
        std::uint32_t streakStatus = 0;
    };
    struct Statements;
    using Tracks = std::map<std::string, HostTrack>;
    // Looked up per probe by the probe's own strings, without copying them into a key.
    struct NamesLess {
        using is_transparent = void;
        template <class A, class B> bool operator()(const A& a, const B& b) const {
            return std::pair<std::string_view, std::string_view>(a.first, a.second) <
                   std::pair<std::string_view, std::string_view>(b.first, b.second);
        }
    };
    using HostIds = std::map<std::pair<std::string, std::string>, std::int64_t, NamesLess>;

    [[nodiscard]] Outcome fail(int rc);
    [[nodiscard]] Outcome openFile();
    [[nodiscard]] Outcome prepareLayout();
    [[nodiscard]] Outcome refuseOrFail(int rc);
    [[nodiscard]] bool repairAbandoned();
    // Ownership of a host's open outage and status, held as a lock on the file beside the ledger: the kernel
    // drops it when the process ends, so a later start can tell a crashed run from one still going.
    void claimHost(const std::string& host);
    [[nodiscard]] bool ownedElsewhere(const std::string& host) const;
    // `replaying`: entries from the log of a program that ended, which may be stored already. The last place
    // of `logId` in the batch is stored with it.
    [[nodiscard]] Outcome writeBatch(const std::vector<LedgerEntry>& batch, bool replaying, std::uint64_t logId);
    [[nodiscard]] Outcome replayAbandoned();
    // The last place of the log that a commit took, none when no commit took any.
    [[nodiscard]] std::optional<std::uint64_t> committedPlace(std::uint64_t logId, int& rc);
    // Where the file leaves the hosts of `batch`: their status and open outage.
    [[nodiscard]] Tracks storedTracks(const std::vector<LedgerEntry>& batch);
    [[nodiscard]] std::optional<std::int64_t> hostId(const ProbeSample& sample, HostIds& ids);
    // `storedAt`: the time the probe was stored at, none for the end of a run or a probe stored before.
    [[nodiscard]] bool writeEntry(const LedgerEntry& entry, Tracks& tracks, HostIds& ids, bool replaying,
                                  std::optional<std::int64_t>& storedAt);
    // Ends the run of `host`, or of every host when it is empty.
    [[nodiscard]] bool endRun(Tracks& tracks, const std::string& host, std::optional<std::int64_t> atMs);
    [[nodiscard]] bool closeOutage(HostTrack& track, std::int64_t atMs);
    [[nodiscard]] bool writeRoute(const RouteSnapshot& route);
    [[nodiscard]] Outcome busyOrFail(int rc);
    [[nodiscard]] bool addStatusChange(std::int64_t atMs, const std::string& host, int status);
    [[nodiscard]] bool mergeStats(bool hourly, const std::string& host, std::int64_t startMs, const RttStats& later);
    void rollback();

    std::string path_;
    std::uint64_t logId_;
    SqliteDb db_;
    std::unique_ptr<Statements> statements_;
    Tracks tracks_;
    HostIds hostIds_; // as committed
    bool repaired_ = false;
    int lockFd_ = -1;
    std::string error_;
};
