#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "history/HistoryLedger.h"
#include "history/SqliteDb.h"
#include "support/TempDir.h"

// Collects what the ledger reports; the writer thread calls in.
class ProblemLog {
public:
    void add(const std::string& message) {
        {
            std::lock_guard lock(mutex_);
            messages_.push_back(message);
        }
        changed_.notify_all();
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds patience = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, patience, [&] { return messages_.size() >= count; });
    }
    std::vector<std::string> messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> messages_;
};

inline constexpr std::chrono::seconds kPatience{30};

inline HistoryOptions ledgerOptions(const std::string& path, ProblemLog& problems, int days = 30) {
    HistoryOptions o;
    o.path = path;
    o.days = days;
    o.retryInterval = std::chrono::milliseconds(50);
    o.onProblem = [&problems](const std::string& m) { problems.add(m); };
    return o;
}

inline ProbeSample probe(std::int64_t atMs, std::optional<std::int64_t> rttUs, std::uint8_t hostStatus = 3,
                         std::string host = "host.test") {
    return ProbeSample{atMs,      std::move(host),     "127.0.0.1",
                       rttUs,     rttUs ? 0u : 11010u, rttUs ? std::optional<int>(64) : std::nullopt,
                       hostStatus};
}

// The first column of the first row of `sql` in the file, as a number (-1 when there is no row).
inline std::int64_t scalar(const std::string& path, const char* sql) {
    SqliteDb db;
    if (db.open(path, SQLITE_OPEN_READONLY) != SQLITE_OK)
        return -2;
    SqliteStatement s(db, sql);
    return s.step() == SQLITE_ROW ? s.int64(0) : -1;
}
