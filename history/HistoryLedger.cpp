#include "history/HistoryLedger.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <optional>
#include <pthread.h>
#include <time.h>

#include "history/LedgerReader.h"
#include "history/PathExport.h"

namespace {

constexpr std::int64_t kDayMs = 86'400'000;
// Between two pruning steps while old rows remain, so a large backlog never keeps the disk busy for long.
constexpr std::chrono::milliseconds kPruneStepPause{20};
// How far the clock may run ahead of the newest stored probe (plus the time passed since) before retention
// stops trusting it: a restart after a night off is normal, a year ahead is a clock set wrong.
constexpr std::int64_t kClockLeewayMs = 3'600'000;
// Between attempts while another program holds the write lock (each attempt already waits a while).
constexpr std::chrono::milliseconds kBusyRetry{500};
// How long a query waits for what was recorded before it to be committed.
constexpr std::chrono::milliseconds kReadWait{2'000};

// Time since boot, including suspend, unlike steady_clock: a laptop closed for a week has aged a week.
std::int64_t bootMs() {
    timespec ts{};
    if (::clock_gettime(CLOCK_BOOTTIME, &ts) != 0)
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1'000'000;
}

std::int64_t systemNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

HistoryLedger::HistoryLedger(HistoryOptions options)
    : options_(std::move(options)), logId_(PendingLog::newId()), log_(options_.path, logId_),
      store_(options_.path, logId_), reader_(std::make_unique<LedgerReader>(options_.path)) {
    if (!options_.clock)
        options_.clock = systemNowMs;
    options_.queueLimit = std::max<std::size_t>(options_.queueLimit, 1);
    options_.batchLimit = std::max<std::size_t>(options_.batchLimit, 1);
    options_.commitBatch = std::max<std::size_t>(options_.commitBatch, 1);
    options_.pruneBatch = std::max(options_.pruneBatch, 1);
    if (!enabled())
        return;
    busy_ = true; // until the file is opened
    thread_ = std::thread([this] { run(); });
}

HistoryLedger::~HistoryLedger() {
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void HistoryLedger::record(ProbeSample sample) {
    if (enabled())
        enqueue(LedgerEntry{std::move(sample), false, nullptr}, false);
}

bool HistoryLedger::readOnly() const {
    std::lock_guard lock(mutex_);
    return standing_ != Standing::Recording;
}

bool HistoryLedger::hasFile() const {
    std::error_code error;
    return std::filesystem::exists(options_.path, error);
}

void HistoryLedger::endRun(std::int64_t atMs) {
    endRun(std::string(), atMs);
}

void HistoryLedger::endRun(const std::string& host, std::int64_t atMs) {
    if (!enabled())
        return;
    LedgerEntry entry;
    entry.sample.atMs = atMs;
    entry.sample.host = host;
    entry.runEnd = true;
    // A stopped run is committed at once: whoever looks next sees it whole.
    enqueue(std::move(entry), true);
}

void HistoryLedger::recordRoute(RouteSnapshot snapshot) {
    if (!enabled())
        return;
    LedgerEntry entry;
    entry.sample.host = snapshot.host;
    entry.sample.atMs = snapshot.takenMs;
    entry.route = std::make_shared<const RouteSnapshot>(std::move(snapshot));
    enqueue(std::move(entry), true);
}

void HistoryLedger::recordPath(PathTrace trace) {
    if (!enabled())
        return;
    LedgerEntry entry;
    entry.sample.host = trace.host;
    entry.sample.atMs = trace.atMs;
    entry.path = std::make_shared<const PathTrace>(std::move(trace));
    enqueue(std::move(entry), false);
}

void HistoryLedger::recordRouteChange(RouteChange change) {
    if (!enabled())
        return;
    LedgerEntry entry;
    entry.sample.host = change.host;
    entry.sample.atMs = change.atMs;
    entry.change = std::make_shared<const RouteChange>(std::move(change));
    enqueue(std::move(entry), true);
}

void HistoryLedger::enqueue(LedgerEntry entry, bool urgent) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        // A newer or foreign file is never written: nothing is kept waiting for it.
        if (stopping_ || standing_ == Standing::Newer || standing_ == Standing::Foreign)
            return;
        if (queue_.size() >= options_.queueLimit) {
            queue_.pop_front();
            ++dropped_;
        }
        if (queue_.empty()) {
            queuedSince_ = Clock::now();
            // The writer sleeps until its next duty; it is woken only when that comes after this batch is due.
            wake = wakeAt_ > queuedSince_ + options_.commitInterval;
        }
        // A new status (an outage begins or ends) is committed at once, so whoever reads the file sees it.
        if (entry.route || entry.change) {
            urgent = true; // rare, and whoever looks at the outage or the path wants it
        } else if (entry.path) {
            // A minute's figures: they go with the probes' next commit.
        } else if (!entry.runEnd) {
            const auto [known, added] = lastStatus_.try_emplace(entry.sample.host, entry.sample.hostStatus);
            urgent = urgent || added || known->second != entry.sample.hostStatus;
            known->second = entry.sample.hostStatus;
        } else if (entry.sample.host.empty()) {
            lastStatus_.clear();
        } else {
            lastStatus_.erase(entry.sample.host);
        }
        // On disk before record() returns, so a program that dies after it loses nothing it took. A file that
        // cannot be written gets no log: the folder is read-only as well, as a rule.
        if (!entry.sideRecord())
            entry.seq = nextSeq_++;
        if (standing_ == Standing::Recording) {
            (void)log_.append(entry);
            noteLogReplaced();
            urgent = urgent || !logNotice_.empty();
        }
        queue_.push_back(std::move(entry));
        wake = wake || urgent || queue_.size() + unsavedCount_ == options_.commitBatch;
        urgent_ = urgent_ || urgent;
    }
    if (wake)
        wake_.notify_one();
}

void HistoryLedger::noteLogReplaced() {
    const std::string old = log_.takeReplaced();
    if (old.empty())
        return;
    // What the lost file held is still here: committed at once, so nothing depends on the new log's start.
    logNotice_ = "pending log " + old + " was changed or removed by something else; a new one was started";
    urgent_ = true;
}

bool HistoryLedger::flush(std::chrono::milliseconds timeout) {
    if (!enabled())
        return true;
    std::unique_lock lock(mutex_);
    urgent_ = true;
    wake_.notify_one();
    return idle_.wait_for(
        lock, timeout, [this] { return queue_.empty() && unsavedCount_ == 0 && !busy_ && (!pruneOwed_ || failing_); });
}

void HistoryLedger::commitForRead() {
    if (!enabled())
        return;
    std::unique_lock lock(mutex_);
    if ((queue_.empty() && unsavedCount_ == 0) || failing_ || standing_ != Standing::Recording)
        return;
    urgent_ = true;
    wake_.notify_one();
    idle_.wait_for(lock, kReadWait, [this] { return (queue_.empty() && unsavedCount_ == 0 && !busy_) || failing_; });
}

std::string HistoryLedger::problem() const {
    std::lock_guard lock(mutex_);
    return problem_;
}

std::uint64_t HistoryLedger::dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

void HistoryLedger::run() {
    pthread_setname_np(pthread_self(), "ostrevo-ledger"); // for top -H and perf
    retryAt_ = pruneAt_ = lastCommit_ = Clock::now();
    (void)ensureOpen();
    {
        std::lock_guard lock(mutex_);
        busy_ = false;
    }
    idle_.notify_all();
    for (;;) {
        bool final = false;
        bool commitNow = false;
        bool prune = false;
        {
            std::unique_lock lock(mutex_);
            for (;;) {
                const auto now = Clock::now();
                if (stopping_) {
                    final = true;
                    break;
                }
                // Each condition is a time: the first one due wakes the writer.
                std::optional<Clock::time_point> until = commitDue(now);
                if (store_.isOpen())
                    until = until ? std::min(*until, pruneAt_) : pruneAt_;
                if (until && now >= *until)
                    break;
                wakeAt_ = until.value_or(Clock::time_point::max());
                if (until)
                    wake_.wait_until(lock, *until);
                else
                    wake_.wait(lock);
            }
            wakeAt_ = Clock::time_point::min();
            if (final && queue_.empty() && unsaved_.empty())
                break;
            const auto now = Clock::now();
            const std::optional<Clock::time_point> due = commitDue(now);
            commitNow = final || (due && now >= *due);
            if (commitNow) {
                if (!queue_.empty()) {
                    if (unsaved_.empty())
                        unsavedSince_ = queuedSince_;
                    unsaved_.insert(unsaved_.end(), std::make_move_iterator(queue_.begin()),
                                    std::make_move_iterator(queue_.end()));
                    queue_.clear();
                    unsavedCount_ = unsaved_.size();
                }
                urgent_ = false;
            }
            prune = !final && store_.isOpen() && now >= pruneAt_;
            busy_ = true;
        }
        if (commitNow)
            commit(final);
        if (prune)
            pruneStep();
        std::string notice;
        {
            std::lock_guard lock(mutex_);
            unsavedCount_ = unsaved_.size();
            busy_ = false;
            notice.swap(logNotice_);
        }
        if (!notice.empty())
            report(notice, true);
        idle_.notify_all();
    }
    // Everything committed, the log empty: its places are of no more use to anyone.
    bool kept = false;
    {
        std::lock_guard lock(mutex_);
        kept = log_.kept();
    }
    if (!kept)
        store_.forgetLog();
    store_.close();
    idle_.notify_all();
}

std::optional<HistoryLedger::Clock::time_point> HistoryLedger::commitDue(Clock::time_point now) const {
    if (queue_.empty() && unsaved_.empty())
        return std::nullopt;
    const auto oldest = unsaved_.empty() ? queuedSince_ : unsavedSince_;
    Clock::time_point at = urgent_ ? now : oldest + options_.commitInterval;
    if (queue_.size() + unsaved_.size() >= options_.commitBatch)
        at = std::min(at, lastCommit_ + options_.commitGap);
    return std::max(at, retryAt_);
}

void HistoryLedger::commit(bool final) {
    bool ok = ensureOpen();
    while (ok && !unsaved_.empty()) {
        const std::size_t take = std::min(unsaved_.size(), options_.batchLimit);
        std::vector<LedgerEntry> batch(std::make_move_iterator(unsaved_.begin()),
                                       std::make_move_iterator(unsaved_.begin() + static_cast<std::ptrdiff_t>(take)));
        unsaved_.erase(unsaved_.begin(), unsaved_.begin() + static_cast<std::ptrdiff_t>(take));
        ok = writeBatch(batch);
        if (!ok)
            unsaved_.insert(unsaved_.begin(), std::make_move_iterator(batch.begin()),
                            std::make_move_iterator(batch.end()));
    }
    lastCommit_ = Clock::now();
    if (unsaved_.empty()) {
        // What was recorded while the batch was written stays in the log.
        std::lock_guard lock(mutex_);
        (void)log_.rewrite(unsaved_, queue_);
        noteLogReplaced();
        return;
    }
    const Standing now = standing();
    if (now == Standing::Newer || now == Standing::Foreign) {
        unsaved_.clear();
        std::lock_guard lock(mutex_);
        log_.clear();
        return;
    }
    // Kept for the next attempt, the newest first in line to survive: what waits stays bounded.
    std::uint64_t lost = 0;
    while (unsaved_.size() > options_.queueLimit) {
        unsaved_.pop_front();
        ++lost;
    }
    std::lock_guard lock(mutex_);
    // The log holds what still waits; at exit it stays for the next start to commit.
    const bool logged = now == Standing::Recording && log_.rewrite(unsaved_, queue_);
    noteLogReplaced();
    if (final) {
        if (logged)
            log_.keep();
        else
            lost += unsaved_.size();
        unsaved_.clear();
    }
    dropped_ += lost;
}

bool HistoryLedger::ensureOpen() {
    if (store_.isOpen())
        return true;
    {
        std::lock_guard lock(mutex_);
        if (standing_ == Standing::Newer || standing_ == Standing::Foreign)
            return false;
    }
    LedgerStore::Outcome outcome = store_.open();
    if (outcome == LedgerStore::Outcome::Corrupt) {
        handleCorruption();
        outcome = store_.open();
    }
    if (outcome == LedgerStore::Outcome::Ok) {
        pruneAt_ = Clock::now();
        if (!anchorRead_) {
            anchorMs_ = store_.newestSampleMs();
            anchorBootMs_ = bootMs();
            anchorRead_ = true;
        }
        setStanding(Standing::Recording);
        return true;
    }
    if (outcome == LedgerStore::Outcome::Newer || outcome == LedgerStore::Outcome::Foreign) {
        refuse(outcome);
        return false;
    }
    if (outcome == LedgerStore::Outcome::ReadOnly) {
        // Said as it is: the file is still shown, only not written.
        setStanding(Standing::ReadOnly);
        report(store_.errorText(), false);
    } else {
        report("History is not being recorded: " + store_.errorText(), false);
    }
    retryAt_ = Clock::now() + (outcome == LedgerStore::Outcome::Busy ? kBusyRetry : options_.retryInterval);
    return false;
}

HistoryLedger::Standing HistoryLedger::standing() const {
    std::lock_guard lock(mutex_);
    return standing_;
}

void HistoryLedger::setStanding(Standing standing) {
    std::lock_guard lock(mutex_);
    standing_ = standing;
}

void HistoryLedger::refuse(LedgerStore::Outcome outcome) {
    {
        std::lock_guard lock(mutex_);
        standing_ = outcome == LedgerStore::Outcome::Newer ? Standing::Newer : Standing::Foreign;
        queue_.clear();
        log_.clear();
    }
    unsaved_.clear();
    report(store_.errorText(), false);
}

bool HistoryLedger::writeBatch(const std::vector<LedgerEntry>& batch) {
    LedgerStore::Outcome outcome = store_.write(batch);
    if (outcome == LedgerStore::Outcome::Corrupt) {
        handleCorruption();
        outcome = ensureOpen() ? store_.write(batch) : LedgerStore::Outcome::Failed;
    }
    if (outcome == LedgerStore::Outcome::Ok) {
        if (!anchorMs_) {
            for (const LedgerEntry& entry : batch)
                if (!entry.runEnd && !entry.sideRecord())
                    anchorMs_ = std::max(anchorMs_.value_or(entry.sample.atMs), entry.sample.atMs);
            anchorBootMs_ = bootMs();
        }
        recovered();
        return true;
    }
    report("History is not being recorded: " + store_.errorText(), false);
    retryAt_ = Clock::now() + (outcome == LedgerStore::Outcome::Busy ? kBusyRetry : options_.retryInterval);
    return false;
}

std::optional<std::int64_t> HistoryLedger::retentionNow() const {
    // Nothing stored when the file was opened and nothing written since: nothing to prune either.
    if (!anchorMs_)
        return std::nullopt;
    // Saturated: a stored time far in the future must not wrap round and put every sample before the cutoff.
    std::int64_t trusted = 0;
    if (__builtin_add_overflow(*anchorMs_, bootMs() - anchorBootMs_ + kClockLeewayMs, &trusted))
        trusted = std::numeric_limits<std::int64_t>::max();
    return std::min(options_.clock(), trusted);
}

void HistoryLedger::pruneStep() {
    bool more = false;
    const std::optional<std::int64_t> now = retentionNow();
    LedgerStore::Outcome outcome = LedgerStore::Outcome::Ok;
    if (now) {
        std::int64_t cutoff = 0;
        if (__builtin_sub_overflow(*now, std::int64_t{options_.days} * kDayMs, &cutoff))
            cutoff = std::numeric_limits<std::int64_t>::min();
        outcome = store_.prune(cutoff, options_.pruneBatch, more);
    }
    if (outcome == LedgerStore::Outcome::Corrupt)
        handleCorruption();
    else if (outcome == LedgerStore::Outcome::Failed)
        report("History is not being recorded: " + store_.errorText(), false);
    const bool owed = outcome == LedgerStore::Outcome::Ok && more;
    pruneAt_ = Clock::now() + (owed                                    ? kPruneStepPause
                               : outcome == LedgerStore::Outcome::Busy ? kBusyRetry
                                                                       : options_.pruneInterval);
    std::lock_guard lock(mutex_);
    pruneOwed_ = owed;
}

void HistoryLedger::handleCorruption() {
    const std::string target = store_.moveAside();
    if (target.empty()) {
        report("History is not being recorded: " + store_.errorText(), false);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        ++generation_;
    }
    report("History file " + options_.path + " was damaged; it was moved aside as " + target +
               " and a new one was started",
           true);
}

void HistoryLedger::report(const std::string& message, bool always) {
    bool tell = false;
    {
        std::lock_guard lock(mutex_);
        problem_ = message;
        tell = always || !failing_;
        if (!always)
            failing_ = true;
    }
    if (tell && options_.onProblem)
        options_.onProblem(message);
}

void HistoryLedger::recovered() {
    std::lock_guard lock(mutex_);
    if (failing_) {
        failing_ = false;
        problem_.clear();
    }
}

bool HistoryLedger::foreign() const {
    std::lock_guard lock(mutex_);
    return standing_ == Standing::Foreign;
}

LedgerReader& HistoryLedger::reader() {
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        generation = generation_;
    }
    if (generation != readerGeneration_) {
        reader_->reopen();
        readerGeneration_ = generation;
    }
    return *reader_;
}

std::vector<ProbeSample> HistoryLedger::samples(const std::string& host, std::int64_t fromMs, std::int64_t toMs) {
    if (foreign())
        return {};
    commitForRead();
    std::lock_guard lock(readMutex_);
    return reader().samples(host, fromMs, toMs);
}

std::vector<std::string> HistoryLedger::hosts() {
    if (foreign())
        return {};
    commitForRead();
    std::lock_guard lock(readMutex_);
    return reader().hosts();
}

std::vector<SeriesPoint> HistoryLedger::series(const std::string& host, std::int64_t fromMs, std::int64_t toMs,
                                               int maxPoints) {
    if (foreign())
        return {};
    commitForRead();
    std::lock_guard lock(readMutex_);
    return reader().series(host, fromMs, toMs, maxPoints);
}

RttStats HistoryLedger::summary(const std::string& host, std::int64_t fromMs, std::int64_t toMs) {
    if (foreign())
        return {};
    commitForRead();
    std::lock_guard lock(readMutex_);
    return reader().summary(host, fromMs, toMs);
}

std::vector<Outage> HistoryLedger::outages(const std::string& host, std::int64_t fromMs, std::int64_t toMs) {
    if (foreign())
        return {};
    commitForRead();
    std::lock_guard lock(readMutex_);
    return reader().outages(host, fromMs, toMs);
}

std::optional<RouteSnapshot> HistoryLedger::routeSnapshot(std::int64_t id) {
    if (foreign())
        return std::nullopt;
    commitForRead();
    std::lock_guard lock(readMutex_);
    return reader().routeSnapshot(id);
}

std::vector<PathMinute> HistoryLedger::pathMinutes(const std::string& host, std::int64_t fromMs, std::int64_t toMs) {
    if (foreign())
        return {};
    commitForRead();
    std::lock_guard lock(readMutex_);
    return reader().pathMinutes(host, fromMs, toMs);
}

std::vector<RouteChange> HistoryLedger::routeChanges(const std::string& host, std::int64_t fromMs,
                                                     std::int64_t toMs) {
    if (foreign())
        return {};
    commitForRead();
    std::lock_guard lock(readMutex_);
    return reader().routeChanges(host, fromMs, toMs);
}

std::vector<StatusChange> HistoryLedger::statusChanges(const std::string& host, std::int64_t fromMs,
                                                       std::int64_t toMs) {
    if (foreign())
        return {};
    commitForRead();
    std::lock_guard lock(readMutex_);
    return reader().statusChanges(host, fromMs, toMs);
}

bool HistoryLedger::exportCsv(const std::string& host, std::int64_t fromMs, std::int64_t toMs, std::ostream& out,
                              const HistoryCsv::StatusText& statusText) {
    if (foreign()) {
        out << HistoryCsv::header();
        return static_cast<bool>(out);
    }
    commitForRead();
    std::lock_guard lock(readMutex_);
    return reader().exportCsv(host, fromMs, toMs, out, statusText);
}

bool HistoryLedger::exportPathCsv(const std::string& host, std::int64_t fromMs, std::int64_t toMs, std::ostream& out) {
    PathExport::writeCsv(host, pathMinutes(host, fromMs, toMs), out);
    return static_cast<bool>(out) && problemReading().empty();
}

bool HistoryLedger::exportPathJson(const std::string& host, std::int64_t fromMs, std::int64_t toMs, std::ostream& out) {
    const std::vector<PathMinute> minutes = pathMinutes(host, fromMs, toMs);
    PathExport::writeJson(host, minutes, routeChanges(host, fromMs, toMs), out);
    return static_cast<bool>(out) && problemReading().empty();
}

std::string HistoryLedger::problemReading() {
    std::lock_guard lock(readMutex_);
    return reader().errorText();
}
