// The real program watching ::1 inside a private network namespace: started from the command line with a
// log of every request, ended by SIGTERM.
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/EndToEndFixture.h"
#include "support/NetNamespace.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

using Ipv6EndToEnd = EndToEndFixture;

TEST_F(Ipv6EndToEnd, CommandLineRunOnIpv6LoopbackLogsTheIpv6Texts) {
    NetNamespace ns("e2e6");
    if (!ns.ok())
        GTEST_SKIP() << ns.error();
    const std::string ip = which("ip").empty() ? "/sbin/ip" : which("ip");
    if (!startDisplay())
        GTEST_SKIP() << "Xvfb is not available";
    fs::create_directories(settingsFile().parent_path());
    // No reverse lookup: the namespace has no name server, and the log is what is checked.
    std::ofstream(settingsFile(), std::ios::binary) << "[General]\nResolveIP=No\nInterval=30\n";
    const fs::path log = dir_ / "x6.log";

    std::vector<std::string> argv = ns.execPrefix();
    argv.front() = ip;
    argv.insert(argv.end(), {program_.string(), "/start", "/logl=2", "/logf=" + log.string(), "/i=1", "::1"});
    LaunchedProgram app(argv, environment(true), -1, (dir_ / "output.txt").string());
    const bool twoRecords = waitUntil([&] { return splitLines(readFile(log)).size() >= 3; }, 20s);
    app.signal(SIGTERM);
    EXPECT_EQ(app.waitExit(10s), 0) << programOutput();
    ASSERT_TRUE(twoRecords) << readFile(log) << programOutput();

    const std::vector<std::string> lines = splitLines(readFile(log));
    EXPECT_EQ(lines.front(), "Address;Date;Time;Status;Responce");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        EXPECT_EQ(lines[i].rfind("::1;", 0), 0u) << "the host as typed";
        const bool replay = lines[i].ends_with(";Replay from ::1: bytes=32 time=0ms TTL=64") ||
                            lines[i].ends_with(";Replay from ::1: bytes=32 time=1ms TTL=64");
        EXPECT_TRUE(replay);
    }
}

} // namespace
