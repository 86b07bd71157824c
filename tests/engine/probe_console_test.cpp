#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

// Runs the console probe against 127.0.0.1 only.

namespace {

using namespace std::chrono_literals;

struct Finished {
    int exitCode = -1;  // -1: killed after the deadline
    std::string output; // standard output and error together
};

std::string probeProgram() {
    if (const char* dir = std::getenv("OSTREVO_BINARY_DIR"))
        return std::string(dir) + "/engine/ostrevo-probe";
    // Started by hand: the tests live beside the engine folder of the same build.
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    return self.substr(0, self.rfind('/')) + "/../engine/ostrevo-probe";
}

// Runs argv; once `trigger` appears in the output, sends SIGINT. Gives up (and kills) after 30 s.
Finished run(std::vector<std::string> argv, const std::string& trigger = {}) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(pipeFds[1], STDERR_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        std::vector<char*> args;
        for (std::string& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(pipeFds[1]);
    Finished result;
    bool interrupted = false;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left <= 0ms) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            close(pipeFds[0]);
            return result;
        }
        pollfd p{pipeFds[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[512];
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        result.output.append(buffer, static_cast<std::size_t>(n));
        if (!trigger.empty() && !interrupted && result.output.find(trigger) != std::string::npos) {
            kill(pid, SIGINT);
            interrupted = true;
        }
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

bool noEchoSocket(const Finished& f) {
    return f.output.find("Can't open Ping Chanel.") != std::string::npos;
}

TEST(ConsoleProbe, PrintsEachReplyAndStopsAfterTheCount) {
    const Finished f = run({probeProgram(), "127.0.0.1", "2"});
    if (noEchoSocket(f) && geteuid() != 0)
        GTEST_SKIP() << "no ICMP socket for this user: " << f.output;
    EXPECT_EQ(f.exitCode, 0) << f.output;
    EXPECT_EQ(occurrences(f.output, "Replay from 127.0.0.1: bytes=32 time="), 2u) << f.output;
    EXPECT_NE(f.output.find("Total 2  Lost 0 (0%)"), std::string::npos) << f.output;
    EXPECT_EQ(occurrences(f.output, "Total 3"), 0u) << f.output;
}

TEST(ConsoleProbe, CtrlCEndsTheRunCleanly) {
    const Finished f = run({probeProgram(), "127.0.0.1"}, "Total 1 ");
    if (noEchoSocket(f) && geteuid() != 0)
        GTEST_SKIP() << "no ICMP socket for this user: " << f.output;
    EXPECT_EQ(f.exitCode, 0) << f.output;
    EXPECT_EQ(occurrences(f.output, "Total 2 "), 0u) << "a stop must not let another probe out:\n" << f.output;
}

TEST(ConsoleProbe, ReportsAnUnopenableChannel) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to drop cap_net_raw from a child";
    std::ifstream range("/proc/sys/net/ipv4/ping_group_range");
    long low = 0;
    long high = 0;
    if (!(range >> low >> high) || (low <= 0 && 0 <= high))
        GTEST_SKIP() << "group 0 may open datagram ICMP sockets here";
    if (access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "setpriv is missing";
    const Finished f = run(
        {"/usr/bin/setpriv", "--bounding-set=-net_raw", "--inh-caps=-net_raw", "--", probeProgram(), "127.0.0.1", "1"});
    EXPECT_EQ(f.exitCode, 1) << f.output;
    EXPECT_NE(f.output.find("Can't open Ping Chanel.\n"), std::string::npos) << f.output;
    EXPECT_EQ(f.output.find("Replay"), std::string::npos) << f.output;
}

TEST(ConsoleProbe, RejectsBadArgumentsWithUsage) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{"127.0.0.1", "0"},
          std::vector<std::string>{"127.0.0.1", "-3"}, std::vector<std::string>{"127.0.0.1", "2x"},
          std::vector<std::string>{"127.0.0.1", "1", "extra"}}) {
        std::vector<std::string> argv{probeProgram()};
        argv.insert(argv.end(), args.begin(), args.end());
        const Finished f = run(argv);
        EXPECT_EQ(f.exitCode, 2) << f.output;
        EXPECT_EQ(f.output.find("Replay"), std::string::npos) << f.output;
    }
}

} // namespace
