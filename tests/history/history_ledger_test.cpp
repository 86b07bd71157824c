#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <thread>

#include "LedgerFixture.h"
#include "history/LedgerSchema.h"

namespace {

constexpr std::int64_t kT0 = 1'796'684'400'000; // 2026-12-07 23:00 UTC, a whole hour
constexpr std::int64_t kDay = 86'400'000;

TEST(LedgerFile, KeepsEveryFieldInAPrivateWalFile) {
    TempDir dir;
    ProblemLog problems;
    const std::string path = dir.file("Quorvan Corporation/Ostrevo/history.sqlite");
    std::vector<ProbeSample> recorded = {
        probe(kT0, 1234), // sub-millisecond precision kept
        probe(kT0 + 1000, std::nullopt, 1),
        ProbeSample{kT0 + 2000, "host.test", "127.0.0.1", std::nullopt, 11003, std::nullopt, 1},
        probe(kT0 + 3000, 1'999'999),
    };
    {
        HistoryLedger ledger(ledgerOptions(path, problems));
        for (const ProbeSample& s : recorded)
            ledger.record(s);
        ASSERT_TRUE(ledger.flush(kPatience));
        for (ProbeSample& s : recorded)
            s.hostStatus = 0; // not a column of its own
        EXPECT_EQ(ledger.samples("host.test", kT0, kT0 + 4000), recorded);
        EXPECT_TRUE(ledger.samples("other.test", kT0, kT0 + 4000).empty());
    }
    EXPECT_TRUE(problems.messages().empty());

    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(std::filesystem::path(path).parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    SqliteDb db;
    ASSERT_EQ(db.open(path, SQLITE_OPEN_READONLY), SQLITE_OK);
    EXPECT_EQ(db.queryText("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(db.queryText("PRAGMA page_size"), "2048"); // a commit rewrites whole pages
    SqliteStatement columns(db, "SELECT group_concat(name, ' ') FROM pragma_table_info('samples')");
    ASSERT_EQ(columns.step(), SQLITE_ROW);
    EXPECT_EQ(columns.text(0), "at_ms host address rtt_us status ttl");
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM samples WHERE rtt_us IS NULL AND ttl IS NULL"), 2);
    EXPECT_EQ(scalar(path, "SELECT rtt_us FROM samples WHERE at_ms = 1796684400000"), 1234);
}

// Status and TTL share a column in the file: every combination comes back the same through the ledger, the
// view users query and the helpers, including a reply with a status of its own and a probe in the same
// millisecond as another.
TEST(LedgerFile, StatusAndTtlComeBackThroughTheView) {
    TempDir dir;
    ProblemLog problems;
    const std::string path = dir.file("history.sqlite");
    std::vector<ProbeSample> recorded = {
        {kT0, "host.test", "127.0.0.1", 900, 0, 64, 3},
        {kT0 + 1, "host.test", "127.0.0.1", 900, 0, 255, 3},
        {kT0 + 2, "host.test", "127.0.0.1", 900, 0, 0, 3},
        {kT0 + 3, "host.test", "127.0.0.1", 900, 0, std::nullopt, 3},
        {kT0 + 4, "host.test", "127.0.0.1", std::nullopt, 11010, std::nullopt, 3},
        {kT0 + 5, "host.test", "127.0.0.1", 5000, 11013, 3, 3},
        {kT0 + 6, "host.test", "127.0.0.1", std::nullopt, 4'000'000'000u, 1, 3},
        {kT0 + 6, "host.test", "127.0.0.1", 700, 0, 64, 3},
    };
    HistoryLedger ledger(ledgerOptions(path, problems));
    for (const ProbeSample& s : recorded)
        ledger.record(s);
    ASSERT_TRUE(ledger.flush(kPatience));
    recorded.back().atMs = kT0 + 7; // kept a millisecond later
    for (ProbeSample& s : recorded)
        s.hostStatus = 0;
    EXPECT_EQ(ledger.samples("host.test", kT0, kT0 + 10), recorded);
    SqliteDb db;
    ASSERT_EQ(db.open(path, SQLITE_OPEN_READONLY), SQLITE_OK);
    SqliteStatement view(db, "SELECT at_ms, rtt_us, status, ttl FROM samples ORDER BY at_ms");
    for (const ProbeSample& s : recorded) {
        ASSERT_EQ(view.step(), SQLITE_ROW);
        EXPECT_EQ(view.int64(0), s.atMs);
        EXPECT_EQ(view.optionalInt64(1), s.rttUs);
        EXPECT_EQ(view.int64(2), std::int64_t{s.status}) << s;
        EXPECT_EQ(view.optionalInt64(3), s.ttl ? std::optional<std::int64_t>(*s.ttl) : std::nullopt) << s;
        const std::int64_t code = LedgerSchema::outcomeCode(s.status, s.ttl);
        EXPECT_EQ(LedgerSchema::statusOf(code), s.status);
        EXPECT_EQ(LedgerSchema::ttlOf(code), s.ttl);
    }
    EXPECT_EQ(scalar(path, "SELECT max(outcome) FROM probes"), 255) << "a reply's TTL is stored as it is";
}

TEST(LedgerFile, NoHistoryDaysMeansNoFile) {
    TempDir dir;
    ProblemLog problems;
    {
        HistoryLedger ledger(ledgerOptions(dir.file("history.sqlite"), problems, 0));
        ledger.record(probe(kT0, 1000));
        ledger.endRun(kT0 + 1);
        EXPECT_TRUE(ledger.flush(kPatience));
        EXPECT_TRUE(ledger.samples("host.test", 0, kT0 * 2).empty());
        std::ostringstream csv;
        EXPECT_TRUE(ledger.exportCsv("host.test", 0, kT0 * 2, csv, {}));
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    EXPECT_TRUE(problems.messages().empty());
}

// Good, failures turning the host Average then Bad, recovery, a slow spell that is Bad without losses and
// ends with the run, then a run that is still Bad when the program stops.
TEST(LedgerOutages, FollowTheAnalysedStatus) {
    TempDir dir;
    ProblemLog problems;
    const std::string path = dir.file("history.sqlite");
    HistoryLedger ledger(ledgerOptions(path, problems));
    const std::vector<ProbeSample> script = {
        probe(kT0, 900, 3),
        probe(kT0 + 1000, 950, 3),
        probe(kT0 + 2000, std::nullopt, 3),
        ProbeSample{kT0 + 3000, "host.test", "127.0.0.1", std::nullopt, 11003, std::nullopt, 2},
        probe(kT0 + 4000, std::nullopt, 1),
        probe(kT0 + 5000, std::nullopt, 1),
        probe(kT0 + 6000, 1000, 1),
        probe(kT0 + 7000, 1000, 3),
        probe(kT0 + 9000, 800'000, 1),
    };
    for (const ProbeSample& s : script)
        ledger.record(s);
    ledger.endRun(kT0 + 9500);
    ASSERT_TRUE(ledger.flush(kPatience));
    // Lost replies: from the first failed probe (2000) to the first reply (6000), the verdict (4000) beside it.
    // Slow replies: from verdict to the end of the run.
    const std::vector<Outage> expected = {
        {"host.test", "127.0.0.1", kT0 + 2000, kT0 + 6000, 11010, kT0 + 2000, kT0 + 4000},
        {"host.test", "127.0.0.1", kT0 + 9000, kT0 + 9500, 0, std::nullopt, kT0 + 9000},
    };
    EXPECT_EQ(ledger.outages("host.test", kT0, kT0 + 10'000), expected);
    EXPECT_EQ(ledger.outages("host.test", kT0 + 6001, kT0 + 9000), std::vector<Outage>{});
    EXPECT_EQ(ledger.outages("host.test", kT0 + 6000, kT0 + 9001).size(), 2u);
    const std::vector<StatusChange> changes = {{kT0, 3},        {kT0 + 3000, 2}, {kT0 + 4000, 1},
                                               {kT0 + 7000, 3}, {kT0 + 9000, 1}, {kT0 + 9500, 0}};
    EXPECT_EQ(ledger.statusChanges("host.test", kT0, kT0 + 10'000), changes);
    // The status already in force at the start of a range comes first.
    EXPECT_EQ(ledger.statusChanges("host.test", kT0 + 5000, kT0 + 8000),
              (std::vector<StatusChange>{{kT0 + 4000, 1}, {kT0 + 7000, 3}}));

    ledger.record(probe(kT0 + 20'000, std::nullopt, 1));
    ledger.record(probe(kT0 + 21'000, std::nullopt, 1));
    ASSERT_TRUE(ledger.flush(kPatience));
    ASSERT_EQ(ledger.outages("host.test", kT0 + 20'000, kT0 + 30'000).size(), 1u);
    EXPECT_EQ(ledger.outages("host.test", kT0 + 20'000, kT0 + 30'000)[0].endMs, std::nullopt);
}

// The clock stepped back an hour during an outage: the outage never ends before it began, and the status
// recorded last is the status now, so the band ends in the right colour.
TEST(LedgerOutages, AClockSteppedBackGivesNoNegativeDuration) {
    TempDir dir;
    ProblemLog problems;
    HistoryLedger ledger(ledgerOptions(dir.file("history.sqlite"), problems));
    const std::int64_t back = kT0 - 3'600'000;
    for (const ProbeSample& s :
         {probe(kT0, 900, 3), probe(kT0 + 1000, std::nullopt, 2), probe(kT0 + 2000, std::nullopt, 1),
          probe(back + 3000, std::nullopt, 1), probe(back + 4000, 1000, 2), probe(back + 5000, 1000, 3)})
        ledger.record(s);
    ASSERT_TRUE(ledger.flush(kPatience));
    const std::vector<Outage> outages = ledger.outages("host.test", back - kDay, kT0 + kDay);
    ASSERT_EQ(outages.size(), 1u);
    ASSERT_TRUE(outages[0].endMs);
    EXPECT_GE(*outages[0].endMs, outages[0].startMs) << outages[0];
    const std::vector<StatusChange> changes = ledger.statusChanges("host.test", back - kDay, kT0 + kDay);
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(changes.back().status, 3);
    for (std::size_t i = 1; i < changes.size(); ++i)
        EXPECT_LE(changes[i - 1].atMs, changes[i].atMs);

    // Stopped while Bad after the step: the run's end still comes after the Bad verdict.
    ledger.record(probe(back + 6000, std::nullopt, 1));
    ledger.endRun(back + 6500);
    ASSERT_TRUE(ledger.flush(kPatience));
    const std::vector<Outage> after = ledger.outages("host.test", back - kDay, kT0 + kDay);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_GE(after[1].endMs.value_or(-1), after[1].startMs) << after[1];
    EXPECT_EQ(ledger.statusChanges("host.test", back - kDay, kT0 + kDay).back().status, 0);
}

TEST(LedgerOutages, AnOutageLeftOpenIsEndedAtItsLastProbe) {
    TempDir dir;
    ProblemLog problems;
    const std::string path = dir.file("history.sqlite");
    {
        HistoryLedger ledger(ledgerOptions(path, problems));
        ledger.record(probe(kT0, std::nullopt, 1));
        ledger.record(probe(kT0 + 1000, std::nullopt, 1));
        ASSERT_TRUE(ledger.flush(kPatience));
    }
    // As a crash would leave it: the outage and the status still open.
    {
        SqliteDb db;
        ASSERT_EQ(db.open(path, SQLITE_OPEN_READWRITE), SQLITE_OK);
        ASSERT_EQ(db.exec("UPDATE outages SET end_ms = NULL; DELETE FROM status_changes WHERE status = 0;"
                          "INSERT INTO samples VALUES (1796684402000, 'host.test', '127.0.0.1', NULL, 11010, NULL)"),
                  SQLITE_OK);
    }
    HistoryLedger reopened(ledgerOptions(path, problems));
    ASSERT_TRUE(reopened.flush(kPatience));
    const std::vector<Outage> outages = reopened.outages("host.test", kT0, kT0 + 10'000);
    ASSERT_EQ(outages.size(), 1u);
    EXPECT_EQ(outages[0].endMs, kT0 + 2000);
    EXPECT_EQ(reopened.statusChanges("host.test", kT0, kT0 + 10'000).back(), (StatusChange{kT0 + 2000, 0}));
}

// Three hours of one-second probes, written in several batches with a second host in between: the stored
// per-minute and per-hour figures must add up to what the single probes say, for any range.
TEST(LedgerFigures, SeriesAndSummaryAgreeWithTheProbes) {
    TempDir dir;
    ProblemLog problems;
    HistoryLedger ledger(ledgerOptions(dir.file("history.sqlite"), problems));
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> rtt(200, 90'000);
    std::uniform_int_distribution<int> pick(0, 19);
    std::vector<ProbeSample> mine;
    const std::int64_t start = kT0 - 1'234'567;
    for (std::int64_t at = start; at < start + 3 * 3'600'000; at += 1000) {
        ProbeSample s = probe(at, pick(rng) == 0 ? std::nullopt : std::optional<std::int64_t>(rtt(rng)));
        mine.push_back(s);
        ledger.record(s);
        ledger.record(probe(at + 500, 5, 3, "other.test"));
        if (pick(rng) == 0) {
            ASSERT_TRUE(ledger.flush(kPatience));
        }
    }
    ASSERT_TRUE(ledger.flush(kPatience));

    auto bruteForce = [&mine](std::int64_t from, std::int64_t to) {
        RttStats stats;
        for (const ProbeSample& s : mine)
            if (s.atMs >= from && s.atMs < to)
                stats.add(s.rttUs);
        return stats;
    };
    const std::vector<std::pair<std::int64_t, std::int64_t>> ranges = {
        {start, start + 3 * 3'600'000}, {start + 1, start + 59'999},
        {kT0 - 60'000, kT0 + 60'000},   {start + 12'345, start + 2 * 3'600'000 + 6789},
        {kT0, kT0 + 3'600'000},         {start - kDay, start},
    };
    for (const auto& [from, to] : ranges) {
        const RttStats got = ledger.summary("host.test", from, to);
        const RttStats want = bruteForce(from, to);
        ASSERT_EQ(got.sent(), want.sent()) << from << ".." << to;
        EXPECT_EQ(got.lost(), want.lost());
        if (want.replies() == 0)
            continue;
        EXPECT_EQ(got.minUs(), want.minUs());
        EXPECT_EQ(got.maxUs(), want.maxUs());
        EXPECT_DOUBLE_EQ(got.meanUs(), want.meanUs());
        EXPECT_DOUBLE_EQ(got.jitterUs(), want.jitterUs());
        EXPECT_EQ(got.quantileUs(0.95), want.quantileUs(0.95));
    }

    // 10 points: hourly figures; 100: two-minute steps from minute figures; 5000: single probes. The last
    // step reaches past the range but holds only what lies inside it.
    const std::int64_t from = kT0 - 3'600'000;
    const std::int64_t to = kT0 + 2 * 3'600'000;
    for (const auto& [points, stepMs] :
         std::vector<std::pair<int, std::int64_t>>{{10, 3'600'000}, {100, 120'000}, {5000, 2160}, {7, 3'600'000}}) {
        const std::vector<SeriesPoint> series = ledger.series("host.test", from, to, points);
        ASSERT_FALSE(series.empty());
        EXPECT_LE(series.size(), static_cast<std::size_t>(points));
        std::uint64_t sent = 0;
        for (const SeriesPoint& p : series) {
            EXPECT_EQ(p.endMs - p.startMs, stepMs) << points;
            const RttStats want = bruteForce(std::max(p.startMs, from), std::min(p.endMs, to));
            ASSERT_EQ(p.stats.sent(), want.sent()) << points << " at " << p.startMs;
            EXPECT_EQ(p.stats.lost(), want.lost());
            EXPECT_EQ(p.stats.quantileUs(0.5), want.quantileUs(0.5));
            sent += p.stats.sent();
        }
        EXPECT_EQ(sent, bruteForce(from, to).sent()) << points;
    }
    EXPECT_TRUE(problems.messages().empty());
}

TEST(LedgerRetention, OldRowsArePrunedInSmallStepsAndRecentOnesKept) {
    TempDir dir;
    ProblemLog problems;
    const std::string path = dir.file("history.sqlite");
    HistoryOptions options = ledgerOptions(path, problems, 365);
    options.clock = [] { return kT0; };
    {
        HistoryLedger ledger(options);
        // Every two hours for 40 days, with an outage now and then.
        for (std::int64_t at = kT0 - 40 * kDay; at < kT0; at += 2 * 3'600'000)
            ledger.record(probe(at, (at / 3'600'000) % 7 == 0 ? std::nullopt : std::optional<std::int64_t>(1500),
                                (at / 3'600'000) % 7 == 0 ? 1 : 3));
        ASSERT_TRUE(ledger.flush(kPatience));
    }
    ASSERT_EQ(scalar(path, "SELECT count(*) FROM samples"), 480);

    options.days = 30;
    options.pruneBatch = 7;
    HistoryLedger ledger(options);
    ASSERT_TRUE(ledger.flush(kPatience));
    const std::int64_t cutoff = kT0 - 30 * kDay;
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM samples"), 360);
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM minute_stats"), 360);
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM hour_stats"), 360);
    EXPECT_GE(scalar(path, "SELECT min(at_ms) FROM samples"), cutoff);
    EXPECT_GE(scalar(path, "SELECT min(end_ms) FROM outages"), cutoff);
    EXPECT_GE(scalar(path, "SELECT min(at_ms) FROM status_changes"), cutoff);
    EXPECT_GT(scalar(path, "SELECT count(*) FROM outages"), 0);
    EXPECT_EQ(ledger.summary("host.test", cutoff, kT0).sent(), 360u);
}

// An outage that began before the cutoff and ended after it is part of what is kept: it stays, whole, while
// one that ended before the cutoff goes.
TEST(LedgerRetention, AnOutageAcrossTheCutoffIsKept) {
    TempDir dir;
    ProblemLog problems;
    const std::string path = dir.file("history.sqlite");
    HistoryOptions options = ledgerOptions(path, problems);
    options.clock = [] { return kT0; };
    const std::int64_t cutoff = kT0 - 30 * kDay;
    const std::int64_t hour = 3'600'000;
    {
        HistoryLedger ledger(options);
        for (const ProbeSample& s :
             {probe(cutoff - 10 * hour, std::nullopt, 1), probe(cutoff - 9 * hour, 900, 3),
              probe(cutoff - 2 * hour, std::nullopt, 1), probe(cutoff + hour, 900, 3), probe(kT0 - 1000, 900, 3)})
            ledger.record(s);
        ASSERT_TRUE(ledger.flush(kPatience));
    }
    HistoryLedger ledger(options); // prunes at opening, after everything above was committed
    ASSERT_TRUE(ledger.flush(kPatience));
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM outages"), 1);
    const std::vector<Outage> kept = ledger.outages("host.test", cutoff, kT0);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].startMs, cutoff - 2 * hour);
    EXPECT_EQ(kept[0].endMs, cutoff + hour);
    EXPECT_TRUE(problems.messages().empty());
}

// A clock set far ahead is no reason to delete anything: not at opening, and not once the program has recorded
// probes with that clock. Within the leeway the clock is trusted as before.
TEST(LedgerRetention, AClockFarAheadDeletesNothing) {
    TempDir dir;
    ProblemLog problems;
    const std::string path = dir.file("history.sqlite");
    HistoryOptions options = ledgerOptions(path, problems);
    options.clock = [] { return kT0; };
    {
        HistoryLedger ledger(options);
        for (std::int64_t at = kT0 - 20 * kDay; at < kT0; at += 3'600'000)
            ledger.record(probe(at, 1500));
        ASSERT_TRUE(ledger.flush(kPatience));
    }
    ASSERT_EQ(scalar(path, "SELECT count(*) FROM samples"), 480);
    const std::int64_t ahead = kT0 + 400 * kDay;
    options.clock = [ahead] { return ahead; };
    options.pruneInterval = std::chrono::milliseconds(1); // a pruning pass after every write
    {
        HistoryLedger ledger(options);
        for (int i = 0; i < 5; ++i) {
            ledger.record(probe(ahead + i * 1000, 2000));
            ASSERT_TRUE(ledger.flush(kPatience));
        }
    }
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM samples WHERE at_ms < 1796684400000"), 480);
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM hour_stats"), 481);
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM minute_stats"), 481);

    // Half an hour past the newest probe is an ordinary restart: the clock rules.
    options.days = 1;
    options.clock = [ahead] { return ahead + 1'800'000; };
    HistoryLedger ledger(options);
    ASSERT_TRUE(ledger.flush(kPatience));
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM samples"), 5);
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM hour_stats"), 1);
}

// A figures row stays while any of its stretch is within retention, and a summary reaching past the cutoff
// counts exactly the probes that are kept, not those pruned from a cut minute or hour.
TEST(LedgerRetention, FiguresStayWhileAnyOfTheirStretchIsKept) {
    TempDir dir;
    ProblemLog problems;
    const std::string path = dir.file("history.sqlite");
    const std::int64_t now = kT0 + 30 * 60'000 + 30'000; // the cutoff falls inside a minute and an hour
    HistoryOptions options = ledgerOptions(path, problems, 365);
    options.clock = [now] { return now; };
    {
        HistoryLedger ledger(options);
        for (std::int64_t at = now - kDay - 2 * 3'600'000; at < now; at += 10'000)
            ledger.record(probe(at, at % 70'000 == 0 ? std::nullopt : std::optional<std::int64_t>(1000)));
        ASSERT_TRUE(ledger.flush(kPatience));
    }
    options.days = 1;
    HistoryLedger ledger(options);
    ASSERT_TRUE(ledger.flush(kPatience));
    const std::int64_t cutoff = now - kDay;
    const std::int64_t kept = scalar(path, "SELECT count(*) FROM samples");
    EXPECT_EQ(kept, kDay / 10'000);
    EXPECT_EQ(scalar(path, "SELECT min(at_ms) FROM samples"), cutoff);
    EXPECT_EQ(scalar(path, "SELECT min(start_ms) FROM minute_stats"), LedgerSchema::floorTo(cutoff, 60'000));
    EXPECT_EQ(scalar(path, "SELECT min(start_ms) FROM hour_stats"), LedgerSchema::floorTo(cutoff, 3'600'000));
    for (const std::int64_t span : {30 * kDay, kDay + 60'000, 2 * kDay}) {
        const RttStats summary = ledger.summary("host.test", now + 1 - span, now + 1);
        EXPECT_EQ(static_cast<std::int64_t>(summary.sent()), kept) << span;
        EXPECT_EQ(static_cast<std::int64_t>(summary.lost()),
                  scalar(path, "SELECT count(*) FROM samples WHERE rtt_us IS NULL"));
    }
}

// Recording from one thread while another reads: ThreadSanitizer checks this in the tsan build.
TEST(LedgerConcurrency, QueriesRunWhileTheWriterWrites) {
    TempDir dir;
    ProblemLog problems;
    HistoryOptions options = ledgerOptions(dir.file("history.sqlite"), problems);
    options.batchLimit = 64;
    HistoryLedger ledger(options);
    constexpr int kCount = 20'000;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        std::size_t reads = 0;
        while (!done.load()) {
            (void)ledger.series("host.test", kT0, kT0 + kCount * 100, 300);
            (void)ledger.summary("host.test", kT0 + 12'345, kT0 + kCount * 100);
            (void)ledger.outages("host.test", kT0, kT0 + kCount * 100);
            (void)ledger.problem();
            ++reads;
        }
        EXPECT_GT(reads, 0u);
    });
    for (int i = 0; i < kCount; ++i)
        ledger.record(probe(kT0 + i * 100, i % 10 == 0 ? std::nullopt : std::optional<std::int64_t>(1000 + i),
                            i % 1000 < 50 ? 1 : 3));
    ASSERT_TRUE(ledger.flush(kPatience));
    done = true;
    reader.join();
    EXPECT_EQ(ledger.samples("host.test", kT0, kT0 + kCount * 100).size(), static_cast<std::size_t>(kCount));
    EXPECT_EQ(ledger.outages("host.test", kT0, kT0 + kCount * 100).size(), 20u);
    EXPECT_EQ(ledger.dropped(), 0u);
}

} // namespace
