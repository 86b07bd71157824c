#include <gtest/gtest.h>

#include <csignal>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "LedgerFixture.h"
#include "history/PendingLog.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
constexpr std::int64_t kT0 = 1'796'684'400'000;

std::int64_t wallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::size_t pendingLogs(const fs::path& folder) {
    std::size_t n = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        n += entry.path().filename().string().starts_with("history.sqlite-pending-") ? 1 : 0;
    return n;
}

// The pending log's entries as a dead program would leave them.
std::vector<LedgerEntry> pendingEntries(const fs::path& folder) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (!entry.path().filename().string().starts_with("history.sqlite-pending-"))
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return PendingLog::decode(bytes);
    }
    return {};
}

// Probes of one status are committed in batches, not one by one; a new status, the end of a run, a query and
// flush() commit at once.
TEST(LedgerBatching, CommitsRarelyButAtOnceWhenItMatters) {
    TempDir dir;
    ProblemLog problems;
    const std::string path = dir.file("history.sqlite");
    HistoryLedger ledger(ledgerOptions(path, problems));
    ledger.record(probe(kT0, 900));
    ASSERT_TRUE(ledger.flush(kPatience));
    for (int i = 1; i < 20; ++i)
        ledger.record(probe(kT0 + i * 1000, 900));
    std::this_thread::sleep_for(1500ms); // logged by now, not committed
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM samples"), 1);
    EXPECT_EQ(pendingLogs(dir.path()), 1u);
    // A query commits first, so it sees the probe recorded just before it.
    EXPECT_EQ(ledger.samples("host.test", kT0, kT0 + 60'000).size(), 20u);
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM samples"), 20);

    // The host turns Bad: the new status and its outage reach the file without anyone asking (no flush, no
    // query: whoever reads the file with sqlite3 sees them).
    ledger.record(probe(kT0 + 20'000, std::nullopt, 1));
    for (int i = 0; i < 100 && scalar(path, "SELECT count(*) FROM outages") != 1; ++i)
        std::this_thread::sleep_for(100ms);
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM outages"), 1) << "a host turned Bad waited for the batch";
    ledger.record(probe(kT0 + 21'000, std::nullopt, 1));
    ledger.endRun(kT0 + 21'500);
    for (int i = 0; i < 300 && scalar(path, "SELECT count(*) FROM outages WHERE end_ms IS NOT NULL") != 1; ++i)
        std::this_thread::sleep_for(100ms);
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM samples"), 22);
    EXPECT_EQ(scalar(path, "SELECT end_ms FROM outages"), kT0 + 21'500);
    EXPECT_TRUE(problems.messages().empty());
}

// A program killed while it records (one probe every 100 ms) loses none that record() had taken: the next
// start stores what its log holds, once, and removes the log.
TEST(LedgerBatching, ACrashLosesNoProbeThatWasRecorded) {
    TempDir dir;
    const std::string path = dir.file("history.sqlite");
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        ProblemLog problems;
        HistoryLedger ledger(ledgerOptions(path, problems));
        for (int i = 0;; ++i) {
            const std::int64_t at = wallMs();
            ledger.record(probe(at, 1000 + i));
            // Said once record() has returned: from then on the probe is the ledger's to keep.
            if (::write(fds[1], &at, sizeof at) != sizeof at)
                ::_exit(1);
            std::this_thread::sleep_for(100ms);
        }
    }
    ::close(fds[1]);
    std::vector<std::int64_t> recorded;
    std::int64_t at = 0;
    while (recorded.size() < 40 && ::read(fds[0], &at, sizeof at) == sizeof at)
        recorded.push_back(at);
    ::kill(child, SIGKILL);
    const std::int64_t killedAt = wallMs();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(fds[0]);
    ASSERT_EQ(recorded.size(), 40u);
    ASSERT_TRUE(WIFSIGNALED(status));
    // Only the first probe (a new status) was committed: the rest can only have come from the log.
    ASSERT_LT(scalar(path, "SELECT count(*) FROM samples"), 10);
    ASSERT_EQ(pendingLogs(dir.path()), 1u);

    ProblemLog problems;
    HistoryLedger ledger(ledgerOptions(path, problems));
    ASSERT_TRUE(ledger.flush(kPatience));
    const std::vector<ProbeSample> kept = ledger.samples("host.test", 0, killedAt + 1);
    std::set<std::int64_t> times;
    for (const ProbeSample& s : kept)
        times.insert(s.atMs);
    EXPECT_EQ(times.size(), kept.size()) << "a probe stored twice";
    for (const std::int64_t t : recorded)
        EXPECT_EQ(times.count(t), 1u) << "lost the probe of " << killedAt - t << " ms before the kill";
    EXPECT_EQ(pendingLogs(dir.path()), 0u);
    // Its run was cut short: the status it left open ends at its last probe.
    EXPECT_EQ(ledger.statusChanges("host.test", 0, killedAt + 1).back(), (StatusChange{kept.back().atMs, 0}));
    EXPECT_TRUE(problems.messages().empty());
}

// A ledger abandoned in a child that ends without closing it (no destructor, no flush): everything it had a
// second to log is stored by the next ledger, once, even probes that reached the file before the log was
// cleared (the child puts the log back as it was before its last commit).
TEST(LedgerBatching, AnAbandonedLedgerIsPickedUpByTheNext) {
    TempDir dir;
    const std::string path = dir.file("history.sqlite");
    const pid_t child = ::fork();
    if (child == 0) {
        ProblemLog problems;
        auto* ledger = new HistoryLedger(ledgerOptions(path, problems));
        for (int i = 0; i < 30; ++i) {
            ledger->record(probe(kT0 + i * 1000, i % 10 == 9 ? std::nullopt : std::optional<std::int64_t>(500 + i)));
            if (i == 0 && !ledger->flush(kPatience))
                ::_exit(2);
        }
        std::this_thread::sleep_for(1500ms);
        if (scalar(path, "SELECT count(*) FROM samples") != 1)
            ::_exit(1);
        // The commit reaches the file, the emptying of the log does not.
        std::string log;
        std::string bytes;
        for (const auto& entry : fs::directory_iterator(dir.path()))
            if (entry.path().filename().string().starts_with("history.sqlite-pending-"))
                log = entry.path().string();
        {
            std::ifstream in(log, std::ios::binary);
            bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        if (bytes.empty() || !ledger->flush(kPatience))
            ::_exit(3);
        std::ofstream(log, std::ios::binary | std::ios::in) << bytes;
        ::_exit(scalar(path, "SELECT count(*) FROM samples") == 30 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_EQ(pendingEntries(dir.path()).size(), 29u);

    ProblemLog problems;
    HistoryLedger ledger(ledgerOptions(path, problems));
    ASSERT_TRUE(ledger.flush(kPatience));
    EXPECT_EQ(ledger.samples("host.test", kT0, kT0 + 60'000).size(), 30u);
    const RttStats stats = ledger.summary("host.test", kT0 + 1000, kT0 + 59'000);
    EXPECT_EQ(stats.sent(), 29u);
    EXPECT_EQ(stats.lost(), 3u);
    EXPECT_EQ(scalar(path, "SELECT sent FROM minute_stats"), 30) << "a probe already stored counted again";
    // Its run was cut short: the status it left open ends at its last probe.
    EXPECT_EQ(ledger.statusChanges("host.test", kT0, kT0 + 60'000),
              (std::vector<StatusChange>{{kT0, 3}, {kT0 + 29'000, 0}}));
    EXPECT_EQ(pendingLogs(dir.path()), 0u);
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM pending_logs"), 0) << "the left log's place outlived it";
    EXPECT_TRUE(problems.messages().empty());
}

// Nothing but the clock makes a batch due: the writer wakes for it without a further probe.
TEST(LedgerBatching, ADueBatchIsCommittedWithoutFurtherProbes) {
    struct Case {
        const char* name;
        std::size_t commitBatch;
        std::chrono::milliseconds commitInterval;
        int probes;
    };
    for (const Case& c :
         {Case{"a full batch", 5, std::chrono::hours(1), 5}, Case{"the oldest waited long enough", 1000, 300ms, 3}}) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ProblemLog problems;
        const std::string path = dir.file("history.sqlite");
        HistoryOptions options = ledgerOptions(path, problems);
        options.commitBatch = c.commitBatch;
        options.commitInterval = c.commitInterval;
        options.pruneInterval = std::chrono::hours(1); // no other reason to look at the queue
        HistoryLedger ledger(options);
        ledger.record(probe(kT0, 900)); // the first status is committed at once
        ASSERT_TRUE(ledger.flush(kPatience));
        for (int i = 1; i <= c.probes; ++i)
            ledger.record(probe(kT0 + i * 1000, 900));
        std::int64_t stored = 0;
        for (int i = 0; i < 200 && (stored = scalar(path, "SELECT count(*) FROM samples")) != c.probes + 1; ++i)
            std::this_thread::sleep_for(100ms);
        EXPECT_EQ(stored, c.probes + 1);
        EXPECT_TRUE(pendingEntries(dir.path()).empty()) << "committed probes left in the log";
        EXPECT_TRUE(problems.messages().empty());
    }
}

// record() has put the probe in the log by the time it returns; a commit empties the log.
TEST(LedgerBatching, RecordLogsTheProbeBeforeItReturns) {
    TempDir dir;
    ProblemLog problems;
    const std::string path = dir.file("history.sqlite");
    HistoryOptions options = ledgerOptions(path, problems);
    options.commitInterval = std::chrono::hours(1);
    HistoryLedger ledger(options);
    ledger.record(probe(kT0, 900));
    ASSERT_TRUE(ledger.flush(kPatience));
    std::vector<ProbeSample> expected;
    for (int i = 1; i <= 3; ++i) {
        expected.push_back(probe(kT0 + i * 1000, 900 + i));
        ledger.record(expected.back());
        const std::vector<LedgerEntry> logged = pendingEntries(dir.path());
        ASSERT_EQ(logged.size(), expected.size());
        for (std::size_t k = 0; k < logged.size(); ++k)
            EXPECT_EQ(logged[k].sample, expected[k]) << k;
    }
    ledger.endRun(kT0 + 3500);
    ASSERT_TRUE(ledger.flush(kPatience));
    EXPECT_TRUE(pendingEntries(dir.path()).empty());
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM samples"), 4);
}

// A log longer than the room first given to it, rewritten with part of it, then emptied: the file holds
// exactly what it was given each time.
TEST(PendingLogFile, GrowsRewritesAndEmpties) {
    TempDir dir;
    const std::string path = dir.file("history.sqlite");
    std::deque<LedgerEntry> older;
    std::deque<LedgerEntry> newer;
    {
        PendingLog log(path, 7);
        for (int i = 0; i < 4000; ++i) { // about 27 bytes each, more with the host renamed every 100
            LedgerEntry entry{probe(kT0 + i, i % 7 == 0 ? std::nullopt : std::optional<std::int64_t>(i), 3,
                                    "host-" + std::to_string(i / 100) + ".test"),
                              false};
            ASSERT_TRUE(log.append(entry));
            (i < 2000 ? older : newer).push_back(entry);
        }
        LedgerEntry end;
        end.sample.atMs = kT0 + 5000;
        end.runEnd = true;
        ASSERT_TRUE(log.append(end));
        newer.push_back(end);
        auto same = [](const std::vector<LedgerEntry>& got, const std::deque<LedgerEntry>& a,
                       const std::deque<LedgerEntry>& b) {
            if (got.size() != a.size() + b.size())
                return false;
            for (std::size_t i = 0; i < got.size(); ++i) {
                const LedgerEntry& want = i < a.size() ? a[i] : b[i - a.size()];
                if (!(got[i].sample == want.sample) || got[i].runEnd != want.runEnd)
                    return false;
            }
            return true;
        };
        EXPECT_TRUE(same(pendingEntries(dir.path()), older, newer));
        const std::deque<LedgerEntry> tail(newer.end() - 10, newer.end());
        const std::deque<LedgerEntry> head(older.begin(), older.begin() + 10);
        ASSERT_TRUE(log.rewrite(tail, head));
        EXPECT_TRUE(same(pendingEntries(dir.path()), tail, head));
        log.clear();
        EXPECT_TRUE(pendingEntries(dir.path()).empty());
        ASSERT_TRUE(log.append(older.front()));
        EXPECT_TRUE(same(pendingEntries(dir.path()), {older.front()}, {}));
        log.keep();
    }
    // Kept for the next start: only the entry and the log's mark, no unused room.
    std::vector<PendingLog::Abandoned> left = PendingLog::abandoned(path);
    ASSERT_EQ(left.size(), 1u);
    std::vector<LedgerEntry> read;
    EXPECT_TRUE(left[0].read(read, 100));
    EXPECT_EQ(read.size(), 1u);
    EXPECT_EQ(left[0].logId(), 7u);
    std::string one;
    PendingLog::encodeMark(7, 0, one);
    PendingLog::encode(older.front(), nullptr, one);
    EXPECT_EQ(fs::file_size(left[0].path), one.size());
}

TEST(PendingLogFormat, EntriesRoundTripAndACutTailIsDropped) {
    std::vector<LedgerEntry> entries = {
        {probe(kT0, 1234), false},
        {ProbeSample{kT0 + 1, std::string(300, 'h'), "::1", std::nullopt, 11003, std::nullopt, 1}, false},
        {ProbeSample{kT0 + 2, "", "", 0, 0, 0, 0}, false},
        {probe(kT0 + 3, std::nullopt), true},
    };
    entries[3].sample = ProbeSample{};
    entries[3].sample.atMs = kT0 + 3;
    std::string bytes;
    const ProbeSample* previous = nullptr;
    for (const LedgerEntry& e : entries) {
        PendingLog::encode(e, previous, bytes);
        if (!e.runEnd)
            previous = &e.sample;
    }
    // The same host again is written without its name.
    const std::size_t size = bytes.size();
    PendingLog::encode(entries[1], &entries[2].sample, bytes);
    PendingLog::encode(entries[1], &entries[1].sample, bytes);
    EXPECT_LT(bytes.size() - size, 2 * 30u + 300u);
    entries.push_back(entries[1]);
    entries.push_back(entries[1]);
    const std::vector<LedgerEntry> back = PendingLog::decode(bytes);
    ASSERT_EQ(back.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(back[i].sample, entries[i].sample) << i;
        EXPECT_EQ(back[i].runEnd, entries[i].runEnd) << i;
    }
    std::string one;
    PendingLog::encode(entries[0], nullptr, one);
    for (const std::size_t cut : {std::size_t{1}, one.size() / 2, one.size() - 1})
        EXPECT_EQ(PendingLog::decode(one + one.substr(0, cut)).size(), 1u) << cut;
    EXPECT_TRUE(PendingLog::decode(std::string(40, '\0')).empty());
}

} // namespace

namespace {

// A log left behind that is not what a dying program writes: noise, a cut, values no probe has. The next start
// keeps what reads as probes, drops the rest and records as ever.
TEST(LedgerBatching, ADamagedLeftLogNeverStopsTheNextStart) {
    const auto encoded = [](std::vector<ProbeSample> samples) {
        std::string bytes;
        const ProbeSample* previous = nullptr;
        for (const ProbeSample& s : samples) {
            LedgerEntry entry;
            entry.sample = s;
            PendingLog::encode(entry, previous, bytes);
            previous = &s;
        }
        return bytes;
    };
    std::string noise;
    std::uint32_t state = 7;
    for (int i = 0; i < 4096; ++i) {
        state = state * 1664525u + 1013904223u;
        noise += static_cast<char>(state >> 24);
    }
    const std::string two = encoded({probe(kT0, 800), probe(kT0 + 1000, std::nullopt, 1)});
    ProbeSample extreme = probe(std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::max());
    ProbeSample negative = probe(std::numeric_limits<std::int64_t>::min(), -5);
    negative.ttl = -1;
    ProbeSample nameless = probe(kT0 + 2000, 900);
    nameless.host.clear();
    nameless.address.clear();
    // A time no clock gives ends what is read, as any other damage.
    EXPECT_EQ(PendingLog::decode(two + encoded({extreme})).size(), 2u);
    EXPECT_EQ(PendingLog::decode(two + encoded({negative})).size(), 2u);
    struct Case {
        const char* name;
        std::string bytes;
        std::size_t kept; // probes of host.test near kT0
    };
    const std::vector<Case> cases = {
        {"empty", "", 0},
        {"noise", noise, 0},
        {"zeros", std::string(65'536, '\0'), 0},
        {"probes then noise", two + noise, 2},
        {"probes cut short", two + two.substr(0, two.size() / 2 + 3), 2},
        {"probes with extreme times", two + encoded({extreme, negative, nameless}), 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.file("history.sqlite");
        std::ofstream(path + "-pending-left01", std::ios::binary) << c.bytes;
        ProblemLog problems;
        {
            HistoryLedger ledger(ledgerOptions(path, problems));
            ledger.record(probe(kT0 + 10'000, 700));
            ASSERT_TRUE(ledger.flush(kPatience)) << ledger.problem();
            EXPECT_EQ(ledger.samples("host.test", kT0, kT0 + 5'000).size(), c.kept);
            EXPECT_EQ(ledger.samples("host.test", kT0 + 10'000, kT0 + 10'001).size(), 1u);
            EXPECT_TRUE(ledger.problem().empty()) << ledger.problem();
        }
        EXPECT_EQ(pendingLogs(dir.path()), 0u);
        EXPECT_TRUE(problems.messages().empty());
    }
}

// A stored time no clock gives (a damaged row, a log from before the check above) is no reason to prune
// everything else as old.
TEST(LedgerBatching, AStoredTimeFarAheadPrunesNothingElse) {
    TempDir dir;
    const std::string path = dir.file("history.sqlite");
    ProblemLog problems;
    {
        HistoryLedger ledger(ledgerOptions(path, problems));
        ledger.record(probe(kT0, 800));
        ASSERT_TRUE(ledger.flush(kPatience));
    }
    {
        SqliteDb db;
        ASSERT_EQ(db.open(path, SQLITE_OPEN_READWRITE), SQLITE_OK);
        ASSERT_EQ(db.exec("INSERT INTO samples VALUES (9223372036854775807, 'host.test', '127.0.0.1', 505, 0, 64)"),
                  SQLITE_OK);
    }
    HistoryLedger ledger(ledgerOptions(path, problems));
    ledger.record(probe(kT0 + 10'000, 700));
    ASSERT_TRUE(ledger.flush(kPatience));
    EXPECT_EQ(ledger.samples("host.test", kT0, kT0 + 20'000).size(), 2u);
}

} // namespace
