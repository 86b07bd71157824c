#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/ProbeSample.h"
#include "history/RttStats.h"
#include "history/SqliteDb.h"

// What the writer thread takes from the queue: a probe, or the end of a run at `sample.atMs`.
struct LedgerEntry {
    ProbeSample sample;
    bool runEnd = false;
};

// The writer's side of history.sqlite: creates the file, writes batches with their per-minute and per-hour
// figures, outages and status changes, and prunes old rows. Owned and used by the writer thread alone.
class LedgerStore {
public:
    enum class Outcome { Ok, Failed, Corrupt };

    explicit LedgerStore(std::string path);
    ~LedgerStore();
    LedgerStore(const LedgerStore&) = delete;
    LedgerStore& operator=(const LedgerStore&) = delete;

    // Creates the file (mode 0600, missing folders 0700) or opens it, in WAL mode, with every table.
    [[nodiscard]] Outcome open();
    [[nodiscard]] bool isOpen() const { return db_.isOpen(); }
    // One transaction; nothing of the batch stays when it fails.
    [[nodiscard]] Outcome write(const std::vector<LedgerEntry>& batch);
    // Deletes at most `limit` rows per table that are older than `cutoffMs`, in one transaction.
    // `more` tells whether a table had more old rows.
    [[nodiscard]] Outcome prune(std::int64_t cutoffMs, int limit, bool& more);
    // Ends what is still open at each host's last probe (the program stops) and closes the file.
    void close();
    // Closes the file and renames it and its -wal and -shm to "<path>.corrupt-<local time>". Returns the new
    // name, or an empty string when the rename failed (errorText() says why).
    [[nodiscard]] std::string moveAside();

    [[nodiscard]] std::string errorText() const { return error_; }

private:
    struct HostTrack {
        std::int64_t lastAtMs = 0;
        int lastStatus = -1; // unknown after opening
        std::int64_t openOutage = 0;
        bool failing = false; // in a streak of probes without reply
        std::int64_t streakStartMs = 0;
        std::uint32_t streakStatus = 0;
    };
    struct Statements;
    using Tracks = std::map<std::string, HostTrack>;

    [[nodiscard]] Outcome fail(int rc);
    [[nodiscard]] Outcome openFile();
    [[nodiscard]] bool writeEntry(const LedgerEntry& entry, Tracks& tracks);
    [[nodiscard]] bool endRun(Tracks& tracks, std::optional<std::int64_t> atMs);
    [[nodiscard]] bool addStatusChange(std::int64_t atMs, const std::string& host, int status);
    [[nodiscard]] bool mergeStats(bool hourly, const std::string& host, std::int64_t startMs, const RttStats& later);
    void rollback();

    std::string path_;
    SqliteDb db_;
    std::unique_ptr<Statements> statements_;
    Tracks tracks_;
    bool repaired_ = false;
    std::string error_;
};
