// The real program and its history file under a clock set far ahead (libfaketime): what was recorded before
// must survive the start, the run and the exit.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "history/HistoryLedger.h"
#include "history/SqliteDb.h"
#include "support/EndToEndFixture.h"
#include "support/NetNamespace.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::int64_t kDayMs = 86'400'000;

std::string fakeTimeLibrary() {
    for (const char* path :
         {"/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1",
          "/usr/lib/aarch64-linux-gnu/faketime/libfaketimeMT.so.1", "/usr/lib/faketime/libfaketimeMT.so.1"})
        if (fs::exists(path))
            return path;
    return {};
}

std::int64_t count(const fs::path& path, const std::string& sql) {
    SqliteDb db;
    if (db.open(path.string(), SQLITE_OPEN_READONLY) != SQLITE_OK)
        return -1;
    SqliteStatement s(db, sql.c_str());
    return s.step() == SQLITE_ROW ? s.int64(0) : -1;
}

using HistoryEndToEnd = EndToEndFixture;
// The program commits probes of an unchanged status every 150 s (a new status at once): what another
// reader of the file waits for may take that long to appear.

TEST_F(HistoryEndToEnd, AClockFarAheadKeepsTheStoredHistory) {
    const std::string faketime = fakeTimeLibrary();
    if (faketime.empty())
        GTEST_SKIP() << "libfaketime is not installed";
    if (!canProbe())
        GTEST_SKIP() << "no ICMP socket here (needs root, CAP_NET_RAW or net.ipv4.ping_group_range)";
    if (!startDisplay())
        GTEST_SKIP() << "Xvfb is not available";

    // Ten days of probes up to now, every hour, as an earlier session left them.
    const fs::path history = dir_ / "home/.local/share/Quorvan Corporation/Ostrevo/history.sqlite";
    fs::create_directories(history.parent_path());
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    {
        HistoryOptions options;
        options.path = history.string();
        HistoryLedger earlier(std::move(options));
        for (int hour = 240; hour > 0; --hour)
            earlier.record(ProbeSample{now - hour * 3'600'000LL, "127.0.0.1", "127.0.0.1", 900, 0, 64, 3});
        ASSERT_TRUE(earlier.flush(30s));
    }
    const std::string before = "SELECT count(*) FROM samples WHERE at_ms < " + std::to_string(now);
    const std::int64_t hours = count(history, "SELECT count(*) FROM hour_stats");
    ASSERT_EQ(count(history, before), 240);

    std::vector<std::string> env = environment(true);
    env.push_back("LD_PRELOAD=" + faketime);
    env.push_back("FAKETIME=+400d");
    // Only the wall clock jumps: a monotonic clock shifted as well leaves timed waits sleeping for 400 days.
    env.push_back("FAKETIME_DONT_FAKE_MONOTONIC=1");
    LaunchedProgram app({program_.string(), "/start", "/i=1", "127.0.0.1"}, env, -1, (dir_ / "output.txt").string());
    const std::string ahead = "SELECT count(*) FROM samples WHERE at_ms > " + std::to_string(now + 399 * kDayMs);
    const bool probed = waitUntil([&] { return count(history, ahead) >= 3; }, 200s);
    app.signal(SIGTERM);
    EXPECT_EQ(app.waitExit(10s), 0) << programOutput();
    ASSERT_TRUE(probed) << "no probes recorded under the fake clock\n" << programOutput();

    EXPECT_EQ(count(history, before), 240);
    EXPECT_GE(count(history, "SELECT count(*) FROM hour_stats"), hours + 1);
    EXPECT_EQ(count(history, "SELECT count(*) FROM minute_stats WHERE start_ms < " + std::to_string(now)), 240);
}

// The clock steps back an hour in the middle of an outage (a private namespace drops the echo requests): the
// outage stored does not end before it began, and the status band ends with the status the host really had.
TEST_F(HistoryEndToEnd, AClockSteppedBackDuringAnOutageKeepsItsDurationAndStatus) {
    const std::string faketime = fakeTimeLibrary();
    if (faketime.empty())
        GTEST_SKIP() << "libfaketime is not installed";
    if (const std::string why = NetNamespace::unavailableReason(); !why.empty())
        GTEST_SKIP() << why;
    NetNamespace ns("history");
    ASSERT_TRUE(ns.ok()) << ns.error();
    ASSERT_TRUE(ns.allowPingSockets());

    const fs::path history = dir_ / "home/.local/share/Quorvan Corporation/Ostrevo/history.sqlite";
    const fs::path clock = dir_ / "faketime.rc";
    std::ofstream(clock) << "+0\n";
    std::vector<std::string> env = environment(false);
    env.push_back("QT_QPA_PLATFORM=offscreen");
    env.push_back("LD_PRELOAD=" + faketime);
    env.push_back("FAKETIME_TIMESTAMP_FILE=" + clock.string());
    env.push_back("FAKETIME_NO_CACHE=1");
    env.push_back("FAKETIME_DONT_FAKE_MONOTONIC=1");
    std::vector<std::string> argv = ns.execPrefix();
    argv.front() = which("ip").empty() ? "/sbin/ip" : which("ip");
    for (const std::string& arg :
         {program_.string(), std::string("/start"), std::string("/i=1"), std::string("127.0.0.1")})
        argv.push_back(arg);
    LaunchedProgram app(argv, env, -1, (dir_ / "output.txt").string());

    ASSERT_TRUE(
        waitUntil([&] { return count(history, "SELECT count(*) FROM samples WHERE rtt_us IS NOT NULL") >= 2; }, 200s))
        << programOutput();
    ASSERT_TRUE(ns.nft(NetNamespace::inputRule("icmp type echo-request drop")));
    ASSERT_TRUE(waitUntil([&] { return count(history, "SELECT count(*) FROM outages") >= 1; }, 200s))
        << programOutput();
    const std::int64_t stepped = count(history, "SELECT max(at_ms) FROM samples");
    std::ofstream(clock, std::ios::trunc) << "-1h\n";
    const std::string earlier = "SELECT count(*) FROM samples WHERE at_ms < " + std::to_string(stepped - 1'800'000);
    ASSERT_TRUE(waitUntil([&] { return count(history, earlier) >= 2; }, 200s)) << programOutput();
    ASSERT_TRUE(ns.flushNft());
    ASSERT_TRUE(
        waitUntil([&] { return count(history, "SELECT count(*) FROM outages WHERE end_ms IS NULL") == 0; }, 200s))
        << programOutput();
    // Good again, a few probes on.
    ASSERT_TRUE(waitUntil(
        [&] {
            return count(history, "SELECT status FROM status_changes ORDER BY at_ms DESC, rowid DESC LIMIT 1") == 3;
        },
        30s));
    app.signal(SIGTERM);
    EXPECT_EQ(app.waitExit(10s), 0) << programOutput();

    EXPECT_EQ(count(history, "SELECT count(*) FROM outages WHERE end_ms < start_ms OR end_ms IS NULL"), 0);
    EXPECT_EQ(count(history, "SELECT count(*) FROM outages WHERE verdict_ms < start_ms"), 0);
    // In time order the band reads Good and then no run: the end of the run comes last.
    EXPECT_EQ(count(history, "SELECT status FROM status_changes ORDER BY at_ms DESC, rowid DESC LIMIT 1"), 0);
    EXPECT_EQ(count(history, "SELECT status FROM status_changes ORDER BY at_ms DESC, rowid DESC LIMIT 1 OFFSET 1"), 3);
}

} // namespace
