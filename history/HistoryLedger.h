#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "history/HistoryCsv.h"
#include "history/HistoryRecords.h"
#include "history/LedgerStore.h"
#include "history/PathRecords.h"
#include "history/PendingLog.h"
#include "history/ProbeSample.h"

class LedgerReader;

struct HistoryOptions {
    std::string path; // the history.sqlite file
    int days = 30;    // retention; 0 records nothing, never creates the file and leaves one that exists as it is
    std::size_t queueLimit = 100'000; // probes waiting for the disk; beyond it the oldest are dropped
    std::size_t batchLimit = 5'000;   // probes per transaction
    // A commit rewrites whole pages, so probes are committed in batches: when this many wait (but at most once
    // every commitGap), when the oldest has waited commitInterval, and at once on a new status, at the end of a
    // run, on flush(), before a query and at exit. Meanwhile record() appends each probe to a log beside the
    // file, so a program that dies loses none that record() took; the writer thread sleeps until a batch is due.
    // Many hosts fill a batch in a fraction of a second, each with a probe or two: the gap lets each commit take
    // several probes of every host into the same pages and figures.
    std::size_t commitBatch = 256;
    std::chrono::milliseconds commitInterval{150'000};
    std::chrono::milliseconds commitGap{10'000};
    int pruneBatch = 1'000; // old rows deleted per table and transaction
    // Between pruning passes once nothing old is left. A pass costs about as much as a commit, and retention
    // counts in days: a row kept ten minutes longer harms nobody.
    std::chrono::milliseconds pruneInterval{600'000};
    std::chrono::milliseconds retryInterval{10'000}; // between attempts while the file cannot be written
    // A problem worth telling the user, called once per failure (again only after the file worked in between)
    // and for every damaged file moved aside. Runs on the writer thread.
    std::function<void(const std::string& message)> onProblem;
    // Unix time in milliseconds, for retention; the system clock when empty. Retention never trusts it far
    // beyond the newest stored probe: see retentionNow().
    std::function<std::int64_t()> clock;
};

// Keeps every probe in history.sqlite. Recording only queues: a writer thread of its own writes batches,
// so neither a slow disk nor a broken file ever holds up monitoring, and nothing here throws.
// Queries are safe from any thread and read through their own connection.
class HistoryLedger {
public:
    explicit HistoryLedger(HistoryOptions options);
    // Writes what is queued and ends open outages at their last probe.
    ~HistoryLedger();
    HistoryLedger(const HistoryLedger&) = delete;
    HistoryLedger& operator=(const HistoryLedger&) = delete;

    // Recording is on (HistoryDays > 0). Queries read an existing file either way.
    [[nodiscard]] bool enabled() const { return options_.days > 0; }
    // The file is read but not written: it cannot be written, or it comes from a newer program or another
    // program altogether. problem() says which.
    [[nodiscard]] bool readOnly() const;
    [[nodiscard]] bool hasFile() const;

    void record(ProbeSample sample);
    // The run of `host` stopped at `atMs`: its open outage ends there and its status band shows no status from
    // then on. The other hosts' runs go on.
    void endRun(const std::string& host, std::int64_t atMs);
    // Every host's run stopped at `atMs`.
    void endRun(std::int64_t atMs);
    // A route trace, linked (when taken at an outage and not linked already) to the host's latest outage begun by
    // the time it was taken. Committed at once.
    void recordRoute(RouteSnapshot snapshot);
    // A trace of a watched path, merged into its host's minute with the probes' next commit. It is not in the
    // pending log: a program that dies loses the minutes not committed yet.
    void recordPath(PathTrace trace);
    // A route change, committed at once.
    void recordRouteChange(RouteChange change);
    // The hosts as configured that the file holds probes of, in alphabetical order.
    [[nodiscard]] std::vector<std::string> hosts();
    // Waits up to `timeout` until everything recorded so far is committed and no old rows wait to be pruned.
    bool flush(std::chrono::milliseconds timeout);

    // The latest problem, empty while all is well.
    [[nodiscard]] std::string problem() const;
    // Probes dropped because the disk could not keep up or the file could not be written.
    [[nodiscard]] std::uint64_t dropped() const;

    [[nodiscard]] std::vector<ProbeSample> samples(const std::string& host, std::int64_t fromMs, std::int64_t toMs);
    [[nodiscard]] std::vector<SeriesPoint> series(const std::string& host, std::int64_t fromMs, std::int64_t toMs,
                                                  int maxPoints);
    [[nodiscard]] RttStats summary(const std::string& host, std::int64_t fromMs, std::int64_t toMs);
    [[nodiscard]] std::vector<Outage> outages(const std::string& host, std::int64_t fromMs, std::int64_t toMs);
    [[nodiscard]] std::vector<StatusChange> statusChanges(const std::string& host, std::int64_t fromMs,
                                                          std::int64_t toMs);
    // A stored route trace with its hops; none when there is no such trace.
    [[nodiscard]] std::optional<RouteSnapshot> routeSnapshot(std::int64_t id);
    [[nodiscard]] std::vector<PathMinute> pathMinutes(const std::string& host, std::int64_t fromMs, std::int64_t toMs);
    [[nodiscard]] std::vector<RouteChange> routeChanges(const std::string& host, std::int64_t fromMs,
                                                        std::int64_t toMs);
    [[nodiscard]] bool exportCsv(const std::string& host, std::int64_t fromMs, std::int64_t toMs, std::ostream& out,
                                 const HistoryCsv::StatusText& statusText);
    // The host's path over the range, one line (CSV) or object (JSON) per hop and minute, the JSON with the
    // route changes as well; false when the file cannot be read or `out` fails.
    [[nodiscard]] bool exportPathCsv(const std::string& host, std::int64_t fromMs, std::int64_t toMs,
                                     std::ostream& out);
    [[nodiscard]] bool exportPathJson(const std::string& host, std::int64_t fromMs, std::int64_t toMs,
                                      std::ostream& out);

private:
    using Clock = std::chrono::steady_clock;
    enum class Standing { Recording, ReadOnly, Newer, Foreign };

    void enqueue(LedgerEntry entry, bool urgent);
    void run();
    // Commits what waits, in transactions of batchLimit; what fails stays waiting (and in the log).
    void commit(bool final);
    // When what waits is to be committed, none when nothing waits. Under mutex_, by the writer.
    [[nodiscard]] std::optional<Clock::time_point> commitDue(Clock::time_point now) const;
    [[nodiscard]] bool writeBatch(const std::vector<LedgerEntry>& batch);
    // Queries show what was recorded up to them: what waits is committed first (briefly waited for).
    void commitForRead();
    void pruneStep();
    [[nodiscard]] bool ensureOpen();
    void handleCorruption();
    void refuse(LedgerStore::Outcome outcome);
    [[nodiscard]] Standing standing() const;
    void setStanding(Standing standing);
    [[nodiscard]] bool foreign() const;
    // "Now" for retention: the clock, but no further than the newest probe found at opening plus the time
    // that has really passed since (and an hour's leeway), so a clock set far ahead deletes nothing.
    [[nodiscard]] std::optional<std::int64_t> retentionNow() const;
    void report(const std::string& message, bool always);
    void recovered();
    // Why the latest query found nothing, empty when it read the file (or there is none yet).
    [[nodiscard]] std::string problemReading();
    // A reader that matches the current file, opened again after the file was moved aside.
    [[nodiscard]] LedgerReader& reader();

    // Under mutex_: the log went missing or was changed from outside; the writer says so and commits at once.
    void noteLogReplaced();

    HistoryOptions options_;
    const std::uint64_t logId_; // of log_, in the file's pending_logs

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<LedgerEntry> queue_;
    Clock::time_point queuedSince_{};                // when queue_ last stopped being empty
    Clock::time_point wakeAt_{};                     // when the writer looks at the queue next, unasked
    std::size_t unsavedCount_ = 0;                   // unsaved_.size(), for those that wait for it
    PendingLog log_;                                 // holds unsaved_ and queue_, in that order
    std::uint64_t nextSeq_ = 1;                      // the log place of the next entry
    std::string logNotice_;                          // to be said by the writer
    bool urgent_ = false;                            // commit at once
    std::map<std::string, std::uint8_t> lastStatus_; // the host status of each host's latest probe
    bool stopping_ = false;
    bool busy_ = false;
    bool pruneOwed_ = true; // old rows may be waiting: at start, and after a step that hit its limit
    std::uint64_t dropped_ = 0;
    std::uint64_t generation_ = 0; // files moved aside so far
    bool failing_ = false;
    Standing standing_ = Standing::Recording;
    std::string problem_;

    // Writer thread only.
    LedgerStore store_;
    std::deque<LedgerEntry> unsaved_; // taken from the queue, not committed yet
    Clock::time_point unsavedSince_{};
    Clock::time_point lastCommit_{};
    Clock::time_point retryAt_{};
    Clock::time_point pruneAt_{};
    bool anchorRead_ = false;
    std::optional<std::int64_t> anchorMs_; // the newest probe stored when the file was opened
    std::int64_t anchorBootMs_ = 0;        // time since boot then, suspend included

    std::mutex readMutex_;
    std::unique_ptr<LedgerReader> reader_;
    std::uint64_t readerGeneration_ = 0;

    std::thread thread_;
};
