// Path watching in the ledger: each trace merges into its host's minute hop by hop and comes back as it went in
// (also through the view sqlite3 users read), route changes are kept in order, both go with the other minute
// figures, a version 4 file gains the tables, and the exports carry every hop and minute.
#include <gtest/gtest.h>

#include <sstream>

#include "LedgerFixture.h"
#include "history/LedgerSchema.h"
#include "history/PathCodec.h"
#include "support/RouteHops.h"

namespace {

constexpr std::int64_t kMinute0 = 1'796'684'400'000; // on a whole minute
constexpr std::int64_t kDay = 86'400'000;

IpAddress ip(const char* text) {
    return IpAddress::parse(text).value_or(IpAddress{});
}

PathTrace trace(std::int64_t atMs, std::vector<RouteHop> hops) {
    return PathTrace{"host.test", "198.18.4.2", atMs, std::move(hops), true};
}

// Hop 2 never answers; hop 3 is two routers behind a balancer, one heard in each trace.
PathTrace first(std::int64_t atMs) {
    return trace(atMs, {routeHop(1, {"198.18.1.2"}, 3, 0, 0, 100, 200, 300, 100), routeHop(2, {}, 3, 3),
                        routeHop(3, {"198.18.3.2"}, 3, 1, 0, 1000, 1100, 1200, 100),
                        routeHop(4, {"198.18.4.2"}, 3, 0, 0, 2000, 2000, 2000, 0)});
}
PathTrace second(std::int64_t atMs) {
    return trace(atMs, {routeHop(1, {"198.18.1.2"}, 3, 0, 0, 200, 400, 600, 200), routeHop(2, {}, 3, 3),
                        routeHop(3, {"198.18.9.2"}, 3, 3), routeHop(4, {"198.18.4.2"}, 3, 0, 0, 50, 3000, 4000, 0)});
}

RouteChange change(std::int64_t atMs, std::uint8_t hop, std::vector<IpAddress> before, std::vector<IpAddress> after) {
    return RouteChange{0, "host.test", "198.18.4.2", atMs, hop, std::move(before), std::move(after)};
}

TEST(LedgerPaths, TracesOfAMinuteMergeHopByHopAndReadBackAsTheyWentIn) {
    TempDir dir;
    ProblemLog problems;
    const std::string path = dir.file("history.sqlite");
    HistoryLedger ledger(ledgerOptions(path, problems));
    ledger.recordPath(first(kMinute0 + 1000));
    ledger.recordPath(second(kMinute0 + 31'000));
    ledger.recordPath(first(kMinute0 + 61'000));
    ASSERT_TRUE(ledger.flush(kPatience));

    const std::vector<PathMinute> minutes = ledger.pathMinutes("host.test", kMinute0, kMinute0 + 120'000);
    ASSERT_EQ(minutes.size(), 8u);
    const PathMinute& one = minutes[0];
    EXPECT_EQ(one.minuteMs, kMinute0);
    EXPECT_EQ(one.hop, 1);
    EXPECT_EQ(one.answered, std::vector<IpAddress>{ip("198.18.1.2")});
    EXPECT_EQ(one.sent, 6u);
    EXPECT_EQ(one.lost, 0u);
    EXPECT_EQ(one.minUs, 100u);
    EXPECT_EQ(one.maxUs, 600u);
    EXPECT_EQ(one.avgUs, 300u);
    // As one group of six: sqrt((2 * 100^2 + 2 * 200^2 + 3 * 100^2 + 3 * 100^2) / 5).
    EXPECT_EQ(one.mdevUs, 179u);
    EXPECT_TRUE(minutes[1].answered.empty()) << "a silent hop stays silent";
    EXPECT_EQ(minutes[1].lost, 6u);
    EXPECT_EQ(minutes[1].minUs, 0u);
    EXPECT_EQ(minutes[2].answered, (std::vector<IpAddress>{ip("198.18.3.2"), ip("198.18.9.2")}));
    EXPECT_EQ(minutes[2].lost, 4u);
    EXPECT_EQ(minutes[2].avgUs, 1100u) << "a trace without answers at the hop leaves its times alone";
    EXPECT_EQ(minutes[3].minUs, 50u);
    EXPECT_EQ(minutes[4].minuteMs, kMinute0 + 60'000);
    EXPECT_EQ(minutes[4].sent, 3u);
    EXPECT_TRUE(ledger.pathMinutes("other.test", kMinute0, kMinute0 + 120'000).empty());
    EXPECT_EQ(ledger.pathMinutes("host.test", kMinute0 + 60'000, kMinute0 + 120'000).size(), 4u);

    // The view gives sqlite3 users the same figures in plain columns.
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM path_hops WHERE host = 'host.test'"), 8);
    EXPECT_EQ(scalar(path, "SELECT avg_us FROM path_hops WHERE hop = 1 AND minute_ms = 1796684400000"), 300);
    EXPECT_EQ(scalar(path, "SELECT max_us FROM path_hops WHERE hop = 4 AND minute_ms = 1796684400000"), 4000);
    EXPECT_EQ(scalar(path, "SELECT lost FROM path_hops WHERE hop = 3 AND minute_ms = 1796684400000"), 4);
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM path_hops WHERE hop = 2 AND min_us IS NULL AND answered = ''"), 2);
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM path_hops WHERE answered = '198.18.3.2 198.18.9.2'"), 1);
    EXPECT_EQ(scalar(path, "SELECT mdev_us FROM path_hops WHERE hop = 1 AND minute_ms = 1796684400000"), 179);
    EXPECT_TRUE(problems.messages().empty());
}

TEST(LedgerPaths, RouteChangesComeBackInOrderWithTheirSilentHops) {
    TempDir dir;
    ProblemLog problems;
    HistoryLedger ledger(ledgerOptions(dir.file("history.sqlite"), problems));
    ledger.recordRouteChange(change(kMinute0 + 9000, 3, {ip("198.18.1.2"), IpAddress{}, ip("198.18.3.2")},
                                    {ip("198.18.1.2"), IpAddress{}, ip("198.18.5.2"), ip("198.18.3.2")}));
    ledger.recordRouteChange(change(kMinute0 + 2000, 1, {ip("198.18.1.2")}, {ip("198.18.7.2")}));
    const std::vector<RouteChange> changes = ledger.routeChanges("host.test", kMinute0, kMinute0 + 10'000);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].atMs, kMinute0 + 2000);
    EXPECT_NE(changes[0].id, 0);
    RouteChange expected = change(kMinute0 + 9000, 3, {ip("198.18.1.2"), IpAddress{}, ip("198.18.3.2")},
                                  {ip("198.18.1.2"), IpAddress{}, ip("198.18.5.2"), ip("198.18.3.2")});
    expected.id = changes[1].id;
    EXPECT_EQ(changes[1], expected);
    EXPECT_EQ(ledger.routeChanges("host.test", kMinute0 + 2001, kMinute0 + 10'000).size(), 1u);
}

// Retention takes whole old minutes and old changes, as it takes the minute figures, and nothing newer.
TEST(LedgerPaths, OldMinutesAndChangesGoWithTheOtherMinuteFigures) {
    TempDir dir;
    ProblemLog problems;
    const std::string path = dir.file("history.sqlite");
    HistoryOptions options = ledgerOptions(path, problems, 30);
    options.clock = [] { return kMinute0 + 30'000; }; // the cutoff halves a minute
    {
        HistoryLedger ledger(options);
        ledger.record(probe(kMinute0 - 10, 900));
        ledger.recordPath(first(kMinute0 - 40 * kDay));
        ledger.recordRouteChange(change(kMinute0 - 40 * kDay, 1, {}, {}));
        ledger.recordPath(first(kMinute0 - 30 * kDay - 1000));
        ledger.recordPath(first(kMinute0 - 30 * kDay + 1000)); // its minute ends past the cutoff: it stays
        ledger.recordPath(first(kMinute0 - 5000));
        ledger.recordRouteChange(change(kMinute0 - 5000, 1, {}, {}));
        ASSERT_TRUE(ledger.flush(kPatience));
    }
    HistoryLedger ledger(options);
    ASSERT_TRUE(ledger.flush(kPatience));
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM path_minutes"), 2);
    EXPECT_EQ(ledger.pathMinutes("host.test", kMinute0 - 50 * kDay, kMinute0 + 1).size(), 8u);
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM path_changes"), 1);
    EXPECT_EQ(scalar(path, "SELECT at_ms FROM path_changes"), kMinute0 - 5000);
}

TEST(LedgerPaths, AVersion4FileGainsThePathTablesAndKeepsWhatItHeld) {
    TempDir dir;
    ProblemLog problems;
    const std::string path = dir.file("history.sqlite");
    {
        HistoryLedger earlier(ledgerOptions(path, problems));
        earlier.record(probe(kMinute0, 900));
        ASSERT_TRUE(earlier.flush(kPatience));
    }
    {
        SqliteDb db;
        ASSERT_EQ(db.open(path, SQLITE_OPEN_READWRITE), SQLITE_OK);
        ASSERT_EQ(db.exec("DROP VIEW path_hops; DROP TABLE path_minutes; DROP TABLE path_addresses; "
                          "DROP TABLE path_changes; PRAGMA user_version = 4;"),
                  SQLITE_OK);
    }
    HistoryLedger ledger(ledgerOptions(path, problems));
    // Read before the writer has brought the file up: nothing, and no complaint.
    EXPECT_TRUE(ledger.routeChanges("host.test", kMinute0, kMinute0 + 60'000).empty());
    ledger.recordPath(first(kMinute0 + 1000));
    ledger.recordRouteChange(change(kMinute0 + 1000, 1, {ip("198.18.1.2")}, {ip("198.18.7.2")}));
    ASSERT_TRUE(ledger.flush(kPatience));
    EXPECT_TRUE(problems.messages().empty());
    EXPECT_EQ(scalar(path, "PRAGMA user_version"), LedgerSchema::kVersion);
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM samples"), 1);
    EXPECT_EQ(ledger.pathMinutes("host.test", kMinute0, kMinute0 + 60'000).size(), 4u);
    EXPECT_EQ(ledger.routeChanges("host.test", kMinute0, kMinute0 + 60'000).size(), 1u);
}

TEST(LedgerPaths, ExportsCarryEveryHopAndMinuteAndTheChanges) {
    TempDir dir;
    ProblemLog problems;
    HistoryLedger ledger(ledgerOptions(dir.file("history.sqlite"), problems));
    ledger.recordPath(first(kMinute0 + 1000));
    ledger.recordRouteChange(change(kMinute0 + 1000, 3, {ip("198.18.1.2"), IpAddress{}, ip("198.18.3.2")},
                                    {ip("198.18.1.2"), IpAddress{}, ip("198.18.5.2")}));
    std::ostringstream csv;
    ASSERT_TRUE(ledger.exportPathCsv("host.test", kMinute0, kMinute0 + 60'000, csv));
    EXPECT_EQ(csv.str(), "time,host,hop,answered,sent,lost,loss_percent,min_ms,avg_ms,max_ms,mdev_ms\r\n"
                         "2026-12-07T23:00:00.000Z,host.test,1,198.18.1.2,3,0,0.0,0.100,0.200,0.300,0.100\r\n"
                         "2026-12-07T23:00:00.000Z,host.test,2,,3,3,100.0,,,,\r\n"
                         "2026-12-07T23:00:00.000Z,host.test,3,198.18.3.2,3,1,33.3,1.000,1.100,1.200,0.100\r\n"
                         "2026-12-07T23:00:00.000Z,host.test,4,198.18.4.2,3,0,0.0,2.000,2.000,2.000,0.000\r\n");
    std::ostringstream json;
    ASSERT_TRUE(ledger.exportPathJson("host.test", kMinute0, kMinute0 + 60'000, json));
    const std::string text = json.str();
    EXPECT_EQ(text.rfind("{\"host\":\"host.test\",\"minutes\":[", 0), 0u) << text;
    EXPECT_NE(text.find("{\"time\":\"2026-12-07T23:00:00.000Z\",\"hop\":2,\"answered\":[],\"sent\":3,\"lost\":3}"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\"hop\":3,\"before\":[\"198.18.1.2\",null,\"198.18.3.2\"],\"after\":[\"198.18.1.2\",null,"
                        "\"198.18.5.2\"]}]}"),
              std::string::npos)
        << text;
}

// A minute traced more often than its byte counts keeps its share of loss; a time beyond three bytes is capped,
// and a deviation beyond two bytes' microseconds is kept to 32 us.
TEST(PathCodec, CountsPastAByteKeepTheirLossShare) {
    PathMinute hop;
    hop.sent = 600;
    hop.lost = 150;
    hop.maxUs = 20'000'000;
    hop.mdevUs = 100'010;
    std::vector<std::uint16_t> ids;
    const std::vector<PathMinute> back = PathCodec::decode(PathCodec::encode({hop}, {7}), ids);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(ids, std::vector<std::uint16_t>{7});
    EXPECT_EQ(back[0].sent, 255u);
    EXPECT_EQ(back[0].lost, 64u);
    EXPECT_EQ(back[0].maxUs, PathCodec::kMostMicros);
    EXPECT_EQ(back[0].mdevUs, 100'000u) << "a wide deviation to 32 us";
    EXPECT_TRUE(PathCodec::decode(std::string(PathCodec::kHopBytes - 1, '\x01'), ids).empty()) << "a cut record";
}

} // namespace
