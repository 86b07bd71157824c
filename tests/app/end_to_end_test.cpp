// The real program under a real X server: start-up from the command line, probing loopback, the log, and
// the end by SIGTERM/SIGINT with its settings rule.
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/EndToEndFixture.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

using EndToEnd = EndToEndFixture;

TEST_F(EndToEnd, HelpAndVersionNeedNoDisplay) {
    const std::pair<const char*, const char*> cases[] = {{"--help", "/logf=FILE"}, {"--version", "2.2.2.58"}};
    for (const auto& [option, expected] : cases) {
        SCOPED_TRACE(option);
        const std::string out = (dir_ / "info.txt").string();
        LaunchedProgram child({program_.string(), option}, environment(false), -1, out);
        EXPECT_EQ(child.waitExit(10s), 0);
        EXPECT_NE(readFile(out).find(expected), std::string::npos) << readFile(out);
    }
    EXPECT_FALSE(fs::exists(settingsFile()));
}

TEST_F(EndToEnd, CommandLineRunLogsEveryRequestAndEndsOnSigterm) {
    if (!canProbe())
        GTEST_SKIP() << "no ICMP socket here (needs root, CAP_NET_RAW or net.ipv4.ping_group_range)";
    if (!startDisplay())
        GTEST_SKIP() << "Xvfb is not available";
    fs::create_directories(settingsFile().parent_path());
    const std::string stored = "[General]\nHost=127.0.0.9\nInterval=30\nLogLevel=0\n";
    std::ofstream(settingsFile(), std::ios::binary) << stored;
    const fs::path log = dir_ / "x.log";

    auto app = launch({"/start", "/logl=2", "/logf=" + log.string(), "/i=1", "127.0.0.1"});
    const bool twoRecords = waitUntil([&] { return splitLines(readFile(log)).size() >= 3; }, 20s);
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitExit(10s), 0) << programOutput();
    ASSERT_TRUE(twoRecords) << readFile(log) << programOutput();

    const std::vector<std::string> lines = splitLines(readFile(log));
    EXPECT_EQ(lines.front(), "Address;Date;Time;Status;Responce");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        EXPECT_EQ(lines[i].rfind("127.0.0.1;", 0), 0u);
        const bool replay = lines[i].ends_with(";Replay from 127.0.0.1: bytes=32 time=0ms TTL=64") ||
                            lines[i].ends_with(";Replay from 127.0.0.1: bytes=32 time=1ms TTL=64");
        EXPECT_TRUE(replay);
    }
    EXPECT_EQ(readFile(settingsFile()), stored); // any argument: nothing is saved
}

TEST_F(EndToEnd, WithoutArgumentsTheSettingsAreWrittenAtExit) {
    if (!startDisplay())
        GTEST_SKIP() << "Xvfb is not available";
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        fs::remove(settingsFile());
        auto app = launch({});
        ASSERT_TRUE(waitForWindow("^Ostrevo ver"));
        app->signal(sig);
        EXPECT_EQ(app->waitExit(10s), 0) << programOutput();
        const std::string saved = readFile(settingsFile());
        EXPECT_NE(saved.find("Interval=10"), std::string::npos) << saved;
        EXPECT_NE(saved.find("Buffer=32"), std::string::npos) << saved;
    }
}

TEST_F(EndToEnd, SigtermWhileStartUpShowsABoxEnds) {
    if (!startDisplay())
        GTEST_SKIP() << "Xvfb is not available";
    // The log cannot be opened: start-up reports it before the window is up.
    auto app = launch({"/logl=1", "/logf=/nonexistent-dir/x.log", "127.0.0.1"});
    ASSERT_TRUE(waitForWindow("^Logging - Error$"));
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitExit(10s), 0) << programOutput();
}

TEST_F(EndToEnd, SigtermDuringAFailingStartStillEnds) {
    if (!startDisplay())
        GTEST_SKIP() << "Xvfb is not available";
    // No host: the start reports it in a box and opens the options dialog, both waiting for a user.
    auto app = launch({"/start"});
    ASSERT_TRUE(waitForWindow("^Options - Error$"));
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitExit(10s), 0) << programOutput();
}

} // namespace
