#include "history/HistoryLedger.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <time.h>

#include "history/LedgerReader.h"

namespace {

constexpr std::int64_t kDayMs = 86'400'000;
// Between two pruning steps while old rows remain, so a large backlog never keeps the disk busy for long.
constexpr std::chrono::milliseconds kPruneStepPause{20};
// How far the clock may run ahead of the newest stored probe (plus the time passed since) before retention
// stops trusting it: a restart after a night off is normal, a year ahead is a clock set wrong.
constexpr std::int64_t kClockLeewayMs = 3'600'000;
// Between attempts while another program holds the write lock (each attempt already waits a while).
constexpr std::chrono::milliseconds kBusyRetry{500};

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
    : options_(std::move(options)), store_(options_.path), reader_(std::make_unique<LedgerReader>(options_.path)) {
    if (!options_.clock)
        options_.clock = systemNowMs;
    options_.queueLimit = std::max<std::size_t>(options_.queueLimit, 1);
    options_.batchLimit = std::max<std::size_t>(options_.batchLimit, 1);
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
        enqueue(LedgerEntry{std::move(sample), false});
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
    if (!enabled())
        return;
    LedgerEntry entry;
    entry.sample.atMs = atMs;
    entry.runEnd = true;
    enqueue(std::move(entry));
}

void HistoryLedger::enqueue(LedgerEntry entry) {
    {
        std::lock_guard lock(mutex_);
        // A newer or foreign file is never written: nothing is kept waiting for it.
        if (stopping_ || standing_ == Standing::Newer || standing_ == Standing::Foreign)
            return;
        if (queue_.size() >= options_.queueLimit) {
            queue_.pop_front();
            ++dropped_;
        }
        queue_.push_back(std::move(entry));
    }
    wake_.notify_one();
}

bool HistoryLedger::flush(std::chrono::milliseconds timeout) {
    if (!enabled())
        return true;
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, timeout, [this] { return queue_.empty() && !busy_ && (!pruneOwed_ || failing_); });
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
    retryAt_ = pruneAt_ = Clock::now();
    (void)ensureOpen();
    {
        std::lock_guard lock(mutex_);
        busy_ = false;
    }
    idle_.notify_all();
    for (;;) {
        std::vector<LedgerEntry> batch;
        bool final = false;
        bool prune = false;
        {
            std::unique_lock lock(mutex_);
            for (;;) {
                const auto now = Clock::now();
                if (stopping_) {
                    final = true;
                    break;
                }
                if ((!queue_.empty() && now >= retryAt_) || (store_.isOpen() && now >= pruneAt_))
                    break;
                std::optional<Clock::time_point> until;
                if (!queue_.empty())
                    until = retryAt_;
                if (store_.isOpen())
                    until = until ? std::min(*until, pruneAt_) : pruneAt_;
                if (until)
                    wake_.wait_until(lock, *until);
                else
                    wake_.wait(lock);
            }
            if (final && queue_.empty())
                break;
            const std::size_t take = std::min(queue_.size(), options_.batchLimit);
            if (final || Clock::now() >= retryAt_) {
                batch.assign(std::make_move_iterator(queue_.begin()),
                             std::make_move_iterator(queue_.begin() + static_cast<std::ptrdiff_t>(take)));
                queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(take));
            }
            prune = !final && store_.isOpen() && Clock::now() >= pruneAt_;
            busy_ = true;
        }
        if (!batch.empty())
            writeBatch(batch, final);
        if (prune)
            pruneStep();
        {
            std::lock_guard lock(mutex_);
            busy_ = false;
        }
        idle_.notify_all();
    }
    store_.close();
    idle_.notify_all();
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

void HistoryLedger::setStanding(Standing standing) {
    std::lock_guard lock(mutex_);
    standing_ = standing;
}

void HistoryLedger::refuse(LedgerStore::Outcome outcome) {
    {
        std::lock_guard lock(mutex_);
        standing_ = outcome == LedgerStore::Outcome::Newer ? Standing::Newer : Standing::Foreign;
        queue_.clear();
    }
    report(store_.errorText(), false);
}

void HistoryLedger::writeBatch(std::vector<LedgerEntry>& batch, bool final) {
    LedgerStore::Outcome outcome = LedgerStore::Outcome::Failed;
    if (ensureOpen()) {
        outcome = store_.write(batch);
        if (outcome == LedgerStore::Outcome::Corrupt) {
            handleCorruption();
            outcome = ensureOpen() ? store_.write(batch) : LedgerStore::Outcome::Failed;
        }
        if (outcome == LedgerStore::Outcome::Ok) {
            if (!anchorMs_) {
                for (const LedgerEntry& entry : batch)
                    if (!entry.runEnd)
                        anchorMs_ = std::max(anchorMs_.value_or(entry.sample.atMs), entry.sample.atMs);
                anchorBootMs_ = bootMs();
            }
            recovered();
            return;
        }
        report("History is not being recorded: " + store_.errorText(), false);
        retryAt_ = Clock::now() + (outcome == LedgerStore::Outcome::Busy ? kBusyRetry : options_.retryInterval);
    }
    // Kept for the next attempt, newest first in line to survive: the queue stays bounded either way.
    std::lock_guard lock(mutex_);
    if (standing_ == Standing::Newer || standing_ == Standing::Foreign)
        return;
    if (final || stopping_) {
        // The program ends and the file would not take this batch: the rest would fare no better.
        dropped_ += batch.size() + queue_.size();
        queue_.clear();
        return;
    }
    queue_.insert(queue_.begin(), std::make_move_iterator(batch.begin()), std::make_move_iterator(batch.end()));
    while (queue_.size() > options_.queueLimit) {
        queue_.pop_front();
        ++dropped_;
    }
}

std::optional<std::int64_t> HistoryLedger::retentionNow() const {
    // Nothing stored when the file was opened and nothing written since: nothing to prune either.
    if (!anchorMs_)
        return std::nullopt;
    const std::int64_t trusted = *anchorMs_ + (bootMs() - anchorBootMs_) + kClockLeewayMs;
    return std::min(options_.clock(), trusted);
}

void HistoryLedger::pruneStep() {
    bool more = false;
    const std::optional<std::int64_t> now = retentionNow();
    LedgerStore::Outcome outcome = LedgerStore::Outcome::Ok;
    if (now) {
        const std::int64_t cutoff = *now - std::int64_t{options_.days} * kDayMs;
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
    std::lock_guard lock(readMutex_);
    return reader().samples(host, fromMs, toMs);
}

std::vector<SeriesPoint> HistoryLedger::series(const std::string& host, std::int64_t fromMs, std::int64_t toMs,
                                               int maxPoints) {
    if (foreign())
        return {};
    std::lock_guard lock(readMutex_);
    return reader().series(host, fromMs, toMs, maxPoints);
}

RttStats HistoryLedger::summary(const std::string& host, std::int64_t fromMs, std::int64_t toMs) {
    if (foreign())
        return {};
    std::lock_guard lock(readMutex_);
    return reader().summary(host, fromMs, toMs);
}

std::vector<Outage> HistoryLedger::outages(const std::string& host, std::int64_t fromMs, std::int64_t toMs) {
    if (foreign())
        return {};
    std::lock_guard lock(readMutex_);
    return reader().outages(host, fromMs, toMs);
}

std::vector<StatusChange> HistoryLedger::statusChanges(const std::string& host, std::int64_t fromMs,
                                                       std::int64_t toMs) {
    if (foreign())
        return {};
    std::lock_guard lock(readMutex_);
    return reader().statusChanges(host, fromMs, toMs);
}

bool HistoryLedger::exportCsv(const std::string& host, std::int64_t fromMs, std::int64_t toMs, std::ostream& out,
                              const HistoryCsv::StatusText& statusText) {
    if (foreign()) {
        out << HistoryCsv::header();
        return static_cast<bool>(out);
    }
    std::lock_guard lock(readMutex_);
    return reader().exportCsv(host, fromMs, toMs, out, statusText);
}
