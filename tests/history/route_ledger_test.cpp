// Route traces in the ledger: what goes in comes back, each is kept with the outage it was taken for, older
// files gain the tables without losing anything, and files this program must not write stay as they are.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "LedgerFixture.h"
#include "history/LedgerSchema.h"
#include "support/RouteHops.h"

namespace {

constexpr std::int64_t kT0 = 1'796'684'400'000;
constexpr std::int64_t kDay = 86'400'000;

RouteSnapshot trace(std::int64_t takenMs, std::optional<int> lossFrom, RouteReason reason = RouteReason::Outage) {
    RouteSnapshot s;
    s.host = "host.test";
    s.address = "198.18.4.2";
    s.takenMs = takenMs;
    s.reason = reason;
    s.rounds = 10;
    s.reached = true;
    s.lossBeginsAt = lossFrom;
    s.hops = {
        routeHop(1, {"198.18.1.2"}, 10, 0, 310, 250, 300, 420, 51),
        // A hop that never answered: no address and no times.
        routeHop(2, {}, 10, 10, 0, 0, 0, 0, 0),
        // Two routers behind a balancer answer for the same hop.
        routeHop(3, {"198.18.3.2", "198.18.9.2"}, 10, 4, 900, 700, 810, 1200, 140),
        routeHop(4, {"198.18.4.2"}, 10, 4, 1000, 800, 900, 1300, 150),
    };
    return s;
}

// Good, then three lost probes make it Bad at kT0 + 4000; replies from kT0 + 6000.
void recordOutage(HistoryLedger& ledger, std::int64_t from) {
    const struct {
        std::int64_t at;
        bool replied;
        std::uint8_t status;
    } probes[] = {{0, true, 3}, {2000, false, 3}, {3000, false, 2}, {4000, false, 1}, {6000, true, 1}, {7000, true, 3}};
    for (const auto& p : probes)
        ledger.record(probe(from + p.at, p.replied ? std::optional<std::int64_t>(900) : std::nullopt, p.status));
}

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

TEST(LedgerRoutes, ATraceComesBackWholeAndNamesWhereLossBegins) {
    TempDir dir;
    ProblemLog problems;
    const std::string path = dir.file("history.sqlite");
    HistoryLedger ledger(ledgerOptions(path, problems));
    recordOutage(ledger, kT0);
    ledger.recordRoute(trace(kT0 + 4100, 3));
    ASSERT_TRUE(ledger.flush(kPatience));

    const std::vector<Outage> outages = ledger.outages("host.test", kT0, kT0 + 10'000);
    ASSERT_EQ(outages.size(), 1u);
    ASSERT_TRUE(outages[0].routeId);
    EXPECT_EQ(outages[0].lossBeginsAt, 3);
    EXPECT_EQ(outages[0].lossAddress, "198.18.3.2");
    // The last hop before it that answered (hop 2 never did), for when the loss hop is silent.
    EXPECT_EQ(outages[0].lastAnsweringHop, 1);
    EXPECT_EQ(outages[0].lastAnsweringAddress, "198.18.1.2");

    const std::optional<RouteSnapshot> stored = ledger.routeSnapshot(*outages[0].routeId);
    ASSERT_TRUE(stored);
    RouteSnapshot expected = trace(kT0 + 4100, 3);
    expected.id = *outages[0].routeId;
    expected.outageId = scalar(path, "SELECT id FROM outages");
    EXPECT_EQ(*stored, expected);
    EXPECT_EQ(stored->lossAddress(), "198.18.3.2");
    // What users read with sqlite3: the hop that never answered has no times, the reason is a word.
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM route_hops WHERE last_us IS NULL AND address = ''"), 1);
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM route_snapshots WHERE reason = 'outage' AND loss_begins_at = 3"), 1);
    EXPECT_FALSE(ledger.routeSnapshot(*outages[0].routeId + 1));
    EXPECT_TRUE(problems.messages().empty());
}

// A trace ends seconds after the edge: the outage may be over by then, and a later one must not take it.
TEST(LedgerRoutes, EachTraceIsKeptWithTheOutageItWasTakenFor) {
    TempDir dir;
    ProblemLog problems;
    const std::string path = dir.file("history.sqlite");
    HistoryLedger ledger(ledgerOptions(path, problems));
    recordOutage(ledger, kT0);
    recordOutage(ledger, kT0 + 20'000);
    // Taken at the first outage's verdict, stored after both outages ended.
    ledger.recordRoute(trace(kT0 + 4000, std::nullopt));
    // Taken on demand during the second: shown with no outage.
    ledger.recordRoute(trace(kT0 + 25'000, 4, RouteReason::OnDemand));
    ASSERT_TRUE(ledger.flush(kPatience));

    const std::vector<Outage> outages = ledger.outages("host.test", kT0, kT0 + 60'000);
    ASSERT_EQ(outages.size(), 2u);
    ASSERT_TRUE(outages[0].routeId);
    EXPECT_FALSE(outages[0].lossBeginsAt) << "no loss on the path";
    EXPECT_EQ(outages[0].lossAddress, "");
    EXPECT_FALSE(outages[1].routeId);
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM route_snapshots WHERE outage_id IS NULL AND reason = 'on demand'"), 1);

    // While the outage is open the trace goes with it, and the latest of two traces is the one shown.
    ledger.record(probe(kT0 + 40'000, 900, 3));
    ledger.record(probe(kT0 + 41'000, std::nullopt, 1));
    ledger.recordRoute(trace(kT0 + 41'000, 1));
    ledger.recordRoute(trace(kT0 + 43'000, 3));
    // One taken long before the open outage began stays with its own, however late it is stored.
    ledger.recordRoute(trace(kT0 + 24'000, 2));
    ASSERT_TRUE(ledger.flush(kPatience));
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM route_snapshots AS r JOIN outages AS o ON o.id = r.outage_id "
                           "WHERE r.loss_begins_at = 2 AND o.start_ms = 1796684422000"),
              1);
    const std::vector<Outage> later = ledger.outages("host.test", kT0 + 40'000, kT0 + 60'000);
    ASSERT_EQ(later.size(), 1u);
    EXPECT_FALSE(later[0].endMs);
    EXPECT_EQ(later[0].lossBeginsAt, 3);
    EXPECT_EQ(scalar(path, "SELECT count(DISTINCT outage_id) FROM route_snapshots WHERE outage_id IS NOT NULL"), 3);
}

// A file edited by hand reads as far as it makes sense: hops no tracer makes and addresses that are none are
// left out, more lost than sent is all lost.
TEST(LedgerRoutes, AHandEditedTraceReadsAsFarAsItMakesSense) {
    TempDir dir;
    ProblemLog problems;
    const std::string path = dir.file("history.sqlite");
    HistoryLedger ledger(ledgerOptions(path, problems));
    recordOutage(ledger, kT0);
    ledger.recordRoute(trace(kT0 + 4100, 3));
    ASSERT_TRUE(ledger.flush(kPatience));
    {
        SqliteDb db;
        ASSERT_EQ(db.open(path, SQLITE_OPEN_READWRITE), SQLITE_OK);
        ASSERT_EQ(db.exec("UPDATE route_hops SET lost = 99 WHERE hop = 1;"
                          "UPDATE route_hops SET address = 'gateway 198.18.3.2 ' WHERE hop = 3;"
                          "INSERT INTO route_hops (snapshot_id, hop, address, sent, lost, unreachable) "
                          "SELECT snapshot_id, 0, '', 1, 1, 0 FROM route_hops WHERE hop = 1;"
                          "INSERT INTO route_hops (snapshot_id, hop, address, sent, lost, unreachable) "
                          "SELECT snapshot_id, 300, '', 1, 1, 0 FROM route_hops WHERE hop = 1;"),
                  SQLITE_OK);
    }
    const std::vector<Outage> outages = ledger.outages("host.test", kT0, kT0 + 10'000);
    ASSERT_EQ(outages.size(), 1u);
    ASSERT_TRUE(outages[0].routeId);
    const std::optional<RouteSnapshot> read = ledger.routeSnapshot(*outages[0].routeId);
    ASSERT_TRUE(read);
    ASSERT_EQ(read->hops.size(), 4u);
    EXPECT_EQ(read->hops.front().number, 1);
    EXPECT_EQ(read->hops.back().number, 4);
    EXPECT_EQ(read->hops[0].received, 0u);
    EXPECT_EQ(read->hops[0].sent, 10u);
    ASSERT_EQ(read->hops[2].answered.size(), 1u);
    EXPECT_EQ(read->lossAddress(), "198.18.3.2");
}

// A version 3 file is what this layout is without the route tables: it gains them and keeps what it held.
TEST(LedgerRoutes, AVersion3FileGainsTheRouteTables) {
    TempDir dir;
    ProblemLog problems;
    const std::string path = dir.file("history.sqlite");
    {
        HistoryLedger earlier(ledgerOptions(path, problems));
        recordOutage(earlier, kT0);
        ASSERT_TRUE(earlier.flush(kPatience));
    }
    {
        SqliteDb db;
        ASSERT_EQ(db.open(path, SQLITE_OPEN_READWRITE), SQLITE_OK);
        ASSERT_EQ(db.exec("DROP TABLE route_hops; DROP TABLE route_snapshots; PRAGMA user_version = 3;"), SQLITE_OK);
    }
    ASSERT_EQ(scalar(path, "SELECT count(*) FROM sqlite_master WHERE name LIKE 'route%'"), 0);
    HistoryLedger ledger(ledgerOptions(path, problems));
    // Read before anything is written: the outage shows, with no trace.
    const std::vector<Outage> before = ledger.outages("host.test", kT0, kT0 + 10'000);
    ASSERT_EQ(before.size(), 1u);
    EXPECT_FALSE(before[0].routeId);
    ledger.recordRoute(trace(kT0 + 4100, 3));
    ASSERT_TRUE(ledger.flush(kPatience));
    EXPECT_TRUE(problems.messages().empty());
    EXPECT_EQ(scalar(path, "PRAGMA user_version"), LedgerSchema::kVersion);
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM samples"), 6);
    const std::vector<Outage> after = ledger.outages("host.test", kT0, kT0 + 10'000);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].startMs, before[0].startMs);
    EXPECT_EQ(after[0].lossBeginsAt, 3);
}

// A newer program's file keeps its traces as they are: read, never written.
TEST(LedgerRoutes, ANewerFileIsReadButGetsNoTrace) {
    TempDir dir;
    ProblemLog problems;
    const std::string path = dir.file("history.sqlite");
    {
        HistoryLedger earlier(ledgerOptions(path, problems));
        recordOutage(earlier, kT0);
        earlier.recordRoute(trace(kT0 + 4100, 3));
        ASSERT_TRUE(earlier.flush(kPatience));
    }
    {
        SqliteDb db;
        ASSERT_EQ(db.open(path, SQLITE_OPEN_READWRITE), SQLITE_OK);
        ASSERT_EQ(db.exec(("PRAGMA user_version = " + std::to_string(LedgerSchema::kVersion + 1)).c_str()), SQLITE_OK);
    }
    const std::string bytes = fileBytes(path);
    {
        HistoryLedger ledger(ledgerOptions(path, problems));
        ledger.recordRoute(trace(kT0 + 9000, 2));
        EXPECT_TRUE(ledger.flush(kPatience));
        EXPECT_TRUE(ledger.readOnly());
        const std::vector<Outage> outages = ledger.outages("host.test", kT0, kT0 + 10'000);
        ASSERT_EQ(outages.size(), 1u);
        EXPECT_EQ(outages[0].lossBeginsAt, 3);
    }
    EXPECT_EQ(fileBytes(path), bytes);
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM route_snapshots"), 1);
}

// Retention removes old traces with their hops, and only those.
TEST(LedgerRoutes, OldTracesGoWithTheirHops) {
    TempDir dir;
    ProblemLog problems;
    const std::string path = dir.file("history.sqlite");
    HistoryOptions options = ledgerOptions(path, problems, 30);
    options.clock = [] { return kT0; };
    {
        HistoryLedger ledger(options);
        recordOutage(ledger, kT0 - 40 * kDay);
        ledger.recordRoute(trace(kT0 - 40 * kDay + 4100, 3));
        recordOutage(ledger, kT0 - 10'000);
        ledger.recordRoute(trace(kT0 - 5000, 4));
        ASSERT_TRUE(ledger.flush(kPatience));
    }
    HistoryLedger ledger(options);
    ASSERT_TRUE(ledger.flush(kPatience));
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM route_snapshots"), 1);
    EXPECT_EQ(scalar(path, "SELECT min(taken_ms) FROM route_snapshots"), kT0 - 5000);
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM route_hops"), 4);
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM route_hops WHERE snapshot_id NOT IN (SELECT id FROM route_snapshots)"),
              0);
}

// A program killed while a trace is on its way to the file, at several moments: the next start finds every probe
// (the pending log has them), the outage, and the trace either whole, kept with its outage, or not at all.
TEST(LedgerRoutes, AKillDuringATraceLeavesItWholeOrAbsent) {
    for (int moment = 0; moment < 12; ++moment) {
        SCOPED_TRACE("moment " + std::to_string(moment));
        TempDir dir;
        const std::string path = dir.file("history.sqlite");
        const pid_t child = ::fork();
        if (child == 0) {
            ProblemLog problems;
            auto* ledger = new HistoryLedger(ledgerOptions(path, problems));
            if (!ledger->flush(kPatience))
                ::_exit(2);
            recordOutage(*ledger, kT0);
            ledger->recordRoute(trace(kT0 + 4100, 3));
            // Later and later kills: the writer is anywhere from asleep to inside the trace's commit.
            for (int i = 0; i < moment * moment * 1'000; ++i)
                std::this_thread::yield();
            ::kill(::getpid(), SIGKILL);
            ::_exit(3);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

        ProblemLog problems;
        HistoryLedger ledger(ledgerOptions(path, problems));
        ASSERT_TRUE(ledger.flush(kPatience));
        EXPECT_EQ(ledger.samples("host.test", kT0, kT0 + 10'000).size(), 6u);
        const std::vector<Outage> outages = ledger.outages("host.test", kT0, kT0 + 10'000);
        ASSERT_EQ(outages.size(), 1u);
        const std::int64_t traces = scalar(path, "SELECT count(*) FROM route_snapshots");
        EXPECT_LE(traces, 1);
        EXPECT_EQ(scalar(path, "SELECT count(*) FROM route_hops"), traces * 4) << "a trace without all its hops";
        if (traces == 1) {
            ASSERT_TRUE(outages[0].routeId);
            EXPECT_EQ(outages[0].lossBeginsAt, 3);
        }
        EXPECT_EQ(scalar(path, "SELECT count(*) FROM pragma_integrity_check WHERE integrity_check != 'ok'"), 0);
        EXPECT_TRUE(problems.messages().empty());
    }
}

} // namespace
