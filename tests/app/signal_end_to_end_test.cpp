// The real program ended by a hang-up (terminal closed, session ended): it ends like SIGTERM, unless it was
// started with hang-ups ignored, as nohup starts it.
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

using HangUp = EndToEndFixture;

TEST_F(HangUp, WithoutArgumentsTheSettingsAreSaved) {
    if (!startDisplay())
        GTEST_SKIP() << "Xvfb is not available";
    auto app = launch({});
    ASSERT_TRUE(waitForWindow("^Ostrevo ver"));
    app->signal(SIGHUP);
    EXPECT_EQ(app->waitExit(10s), 0) << programOutput();
    const std::string saved = readFile(settingsFile());
    EXPECT_NE(saved.find("Interval=10"), std::string::npos) << saved;
}

TEST_F(HangUp, StopsTheRunAndReleasesTheLogWithoutSaving) {
    if (!canProbe())
        GTEST_SKIP() << "no ICMP socket here (needs root, CAP_NET_RAW or net.ipv4.ping_group_range)";
    if (!startDisplay())
        GTEST_SKIP() << "Xvfb is not available";
    fs::create_directories(settingsFile().parent_path());
    const std::string stored = "[General]\nHost=127.0.0.9\nInterval=30\n";
    std::ofstream(settingsFile(), std::ios::binary) << stored;
    const fs::path log = dir_ / "x.log";

    auto app = launch({"/start", "/logl=2", "/logf=" + log.string(), "/i=1", "127.0.0.1"});
    const bool logging = waitUntil([&] { return splitLines(readFile(log)).size() >= 2; }, 20s);
    app->signal(SIGHUP);
    EXPECT_EQ(app->waitExit(10s), 0) << programOutput();
    ASSERT_TRUE(logging) << programOutput();
    const std::string text = readFile(log);
    EXPECT_TRUE(text.ends_with("\r\n")) << "the last record is whole:\n" << text;
    EXPECT_EQ(readFile(settingsFile()), stored); // started with arguments: nothing is saved
}

TEST_F(HangUp, IgnoredWhenStartedUnderNohup) {
    const std::string nohup = which("nohup");
    if (nohup.empty())
        GTEST_SKIP() << "nohup is not installed";
    if (!canProbe())
        GTEST_SKIP() << "no ICMP socket here (needs root, CAP_NET_RAW or net.ipv4.ping_group_range)";
    if (!startDisplay())
        GTEST_SKIP() << "Xvfb is not available";
    const fs::path log = dir_ / "x.log";
    LaunchedProgram app({nohup, program_.string(), "/start", "/logl=2", "/logf=" + log.string(), "/i=1", "127.0.0.1"},
                        environment(true), -1, (dir_ / "output.txt").string());
    ASSERT_TRUE(waitUntil([&] { return splitLines(readFile(log)).size() >= 2; }, 20s)) << programOutput();
    app.signal(SIGHUP);
    // Still probing: two more records, as one may already have been under way when the hang-up came.
    const std::size_t seen = splitLines(readFile(log)).size();
    EXPECT_TRUE(waitUntil([&] { return splitLines(readFile(log)).size() >= seen + 2; }, 20s)) << programOutput();
    app.signal(SIGTERM);
    EXPECT_EQ(app.waitExit(10s), 0) << programOutput();
}

} // namespace
