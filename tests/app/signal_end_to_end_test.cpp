// The real programs and the signals around them: a hang-up (terminal closed, session ended) ends the program
// like SIGTERM, unless it was started with hang-ups ignored, as nohup starts it; a pipe nobody reads any more
// (`ostrevo 2>&1 | true`) fails the writes to it and ends nothing by itself.
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/EndToEndFixture.h"
#include "support/NetNamespace.h"

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
    EXPECT_NE(saved.find("Interval=10\n"), std::string::npos) << saved;
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

// `argv` with its descriptor `stream` (1 or 2) on the write end of a pipe, `pipeEnd`; the other stream goes to
// output.txt. The pipe must be made close-on-exec, so that the program holds no read end of its own.
std::unique_ptr<LaunchedProgram> launchOnPipe(const std::vector<std::string>& argv, int stream, int pipeEnd,
                                              const std::vector<std::string>& env, const fs::path& output) {
    std::vector<std::string> shell = {"/bin/sh", "-c", "exec \"$0\" \"$@\" " + std::to_string(stream) + ">&3 3>&-"};
    shell.insert(shell.end(), argv.begin(), argv.end());
    return std::make_unique<LaunchedProgram>(shell, env, pipeEnd, output.string());
}

using BrokenPipe = EndToEndFixture;

TEST_F(BrokenPipe, ProgramThatCannotWriteItsMessageGoesOnAndSaves) {
    if (!startDisplay())
        GTEST_SKIP() << "Xvfb is not available";
    // An address the metrics cannot use: the program says so on standard error while it starts. The interval
    // of 0 seconds reads as 1, a value put right at start that the save at exit writes.
    fs::create_directories(settingsFile().parent_path());
    std::ofstream(settingsFile(), std::ios::binary) << "[General]\nInterval=0\nMetricsListen=localhost:http\n";
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ::close(fds[0]); // nobody reads: every write gets EPIPE
    auto app = launchOnPipe({program_.string()}, 2, fds[1], environment(true), dir_ / "output.txt");
    ::close(fds[1]);
    ASSERT_TRUE(waitForWindow("^Ostrevo ver")) << "ended with " << app->waitExit(std::chrono::seconds(0));
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitExit(10s), 0);
    const std::string saved = readFile(settingsFile());
    EXPECT_NE(saved.find("Interval=1\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("MetricsListen=localhost:http"), std::string::npos) << saved;
}

TEST_F(BrokenPipe, ProbeThatCannotWriteItsComplaintExitsWithItsStatus) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ::close(fds[0]);
    const fs::path probe = program_.parent_path().parent_path() / "probe" / "ostrevo-probe";
    auto run =
        launchOnPipe({probe.string(), "--metrics=127.0.0.1:99999", "127.0.0.1"}, 2, fds[1], {}, dir_ / "output.txt");
    ::close(fds[1]);
    EXPECT_EQ(run->waitExit(10s), 2) << "2 is a usage error; 141 would be SIGPIPE";
}

TEST_F(BrokenPipe, ProbeEndsItsRunWhenItsOutputIsNoLongerRead) {
    if (const std::string why = NetNamespace::unavailableReason(); !why.empty())
        GTEST_SKIP() << why;
    NetNamespace ns("pipe");
    ASSERT_TRUE(ns.ok()) << ns.error();
    ASSERT_TRUE(ns.allowPingSockets());
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    std::vector<std::string> argv = ns.execPrefix();
    argv.front() = which(argv.front());
    argv.push_back((program_.parent_path().parent_path() / "probe" / "ostrevo-probe").string());
    argv.insert(argv.end(), {"-i", "0.2", "127.0.0.1"});
    auto probe = launchOnPipe(argv, 1, fds[1], {}, dir_ / "output.txt");
    ::close(fds[1]);

    // Read as `ostrevo-probe 127.0.0.1 | head -n 2` would, then go away.
    std::string seen;
    pollfd p{fds[0], POLLIN, 0};
    while (seen.find("Total 1 ") == std::string::npos && ::poll(&p, 1, 20'000) > 0) {
        char buffer[512];
        const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        seen.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fds[0]);
    ASSERT_NE(seen.find("Total 1 "), std::string::npos) << seen << readFile(dir_ / "output.txt");
    // Like ping it stops, here with the status of its replies rather than killed by SIGPIPE; a probe that
    // went on writing into the void would still run at the limit.
    EXPECT_EQ(probe->waitExit(20s), 0) << readFile(dir_ / "output.txt");
}

} // namespace
