#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "support/EchoResponder.h"
#include "support/NetNamespace.h"

// The console probe as a shell user runs it: its exit status, what it prints, how signals end it. Every probe
// goes to 127.0.0.1 inside a private network namespace, which is also where a drop rule or a failing name
// lookup stays.

namespace {

using namespace std::chrono_literals;

struct Finished {
    int exitCode = -1; // -1: killed after the deadline, or ended by a signal
    std::string out;
    std::string err;
};

// Once `trigger` appears in the standard output (after what the previous step matched), `signal` is sent.
struct Step {
    std::string trigger;
    int signal;
};

struct Launch {
    std::vector<std::string> prefix; // e.g. the namespace's `ip netns exec NAME`
    std::vector<Step> steps;
    bool hangUpIgnored = false; // started as nohup starts a program
};

std::string probeProgram() {
    if (const char* dir = std::getenv("OSTREVO_BINARY_DIR"))
        return std::string(dir) + "/probe/ostrevo-probe";
    // Started by hand: the tests live beside the engine folder of the same build.
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    return self.substr(0, self.rfind('/')) + "/../probe/ostrevo-probe";
}

// Runs `program` with `args`, collecting both streams; gives up (and kills it) after 30 s.
Finished runProgram(const std::string& program, const std::vector<std::string>& args, const Launch& how = {}) {
    std::vector<std::string> argv = how.prefix;
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
            close(fd);
        if (how.hangUpIgnored)
            signal(SIGHUP, SIG_IGN);
        std::vector<char*> raw;
        for (std::string& a : argv)
            raw.push_back(a.data());
        raw.push_back(nullptr);
        execvp(raw[0], raw.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    Finished result;
    std::size_t step = 0;
    std::size_t searchFrom = 0;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left <= 0ms) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0)
                continue;
            char buffer[512];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            sinks[i]->append(buffer, static_cast<std::size_t>(n));
        }
        if (step < how.steps.size()) {
            const std::size_t at = result.out.find(how.steps[step].trigger, searchFrom);
            if (at != std::string::npos) {
                kill(pid, how.steps[step].signal);
                searchFrom = at + how.steps[step].trigger.size();
                ++step;
            }
        }
    }
    for (const pollfd& p : fds)
        if (p.fd >= 0)
            close(p.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

Finished run(const std::vector<std::string>& args, const Launch& how = {}) {
    return runProgram(probeProgram(), args, how);
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// The number in the last "Total N" line.
std::string lastTotal(const std::string& out) {
    const std::size_t at = out.rfind("    Total ");
    if (at == std::string::npos)
        return {};
    const std::size_t from = at + 10;
    return out.substr(from, out.find(' ', from) - from);
}

::testing::AssertionResult contains(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << part << "\" is missing from:\n" << text;
}

// A namespace with loopback up in which every group may open ping sockets; null with the reason when none.
std::unique_ptr<NetNamespace> probeNamespace(std::string& why) {
    auto ns = std::make_unique<NetNamespace>("probe");
    if (!ns->ok()) {
        why = ns->error();
        return nullptr;
    }
    if (!ns->allowPingSockets()) {
        why = "cannot open ping sockets in the namespace";
        return nullptr;
    }
    return ns;
}

TEST(ConsoleProbe, HelpAndVersionGoToStandardOutput) {
    const std::pair<const char*, const char*> cases[] = {
        {"--help", "Usage: ostrevo-probe [-qDOn46] [-c COUNT] [-i SECONDS] [-s BYTES] [-W SECONDS] [-t TTL]"},
        {"-h", "Exit status: 0 when at least one reply came back"},
        {"--version", "ostrevo-probe 2.2.2.58\n"},
    };
    for (const auto& [option, expected] : cases) {
        SCOPED_TRACE(option);
        const Finished f = run({option, "127.0.0.1"});
        EXPECT_EQ(f.exitCode, 0);
        EXPECT_TRUE(contains(f.out, expected));
        EXPECT_EQ(f.err, "");
    }
}

TEST(ConsoleProbe, BadUsageExitsWithTwoAndProbesNothing) {
    const std::vector<std::string> cases[] = {
        {},
        {"127.0.0.1", "0"},
        {"127.0.0.1", "-3"},
        {"127.0.0.1", "2x"},
        {"127.0.0.1", "1", "extra"},
        {"-x", "127.0.0.1"},
        {"-i", "0.1", "127.0.0.1"},
        {"-s", "65508", "127.0.0.1"},
        {"--count", "127.0.0.1"},
        {"-W", "0", "127.0.0.1"},
        {"-t", "256", "127.0.0.1"},
        {"-w", "-1", "127.0.0.1"},
        {"-I", "no/such", "127.0.0.1"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const Finished f = run(args);
        EXPECT_EQ(f.exitCode, 2) << f.out << f.err;
        EXPECT_EQ(f.out, "") << "nothing probed";
        EXPECT_EQ(f.err.rfind("ostrevo-probe: ", 0), 0u) << f.err;
        EXPECT_TRUE(contains(f.err, "Try 'ostrevo-probe --help'"));
    }
}

TEST(ConsoleProbe, ExitStatusSaysWhetherAReplyCameBack) {
    std::string why;
    const auto ns = probeNamespace(why);
    if (!ns)
        GTEST_SKIP() << why;
    const struct {
        const char* name;
        std::vector<std::string> args;
        const char* rule; // nft input rule in the namespace, or null
        int exitCode;
        std::vector<std::string> printed;
        std::vector<std::string> absent;
    } rows[] = {
        {"replies",
         {"-c", "2", "-i", "0.2", "127.0.0.1"},
         nullptr,
         0,
         {"Probing 127.0.0.1 [127.0.0.1] with 32 bytes of data:\n", "Replay from 127.0.0.1: seq=1 bytes=32 time=0.",
          " ms TTL=64\n    Total 1  Lost 0 (0%)  Min 0.", "Replay from 127.0.0.1: seq=2 bytes=32 time=0.",
          "    Total 2  Lost 0 (0%)",
          "\n--- 127.0.0.1 statistics ---\n2 requests, 2 replies, 0 lost (0%)\nround-trip min/avg/max/mdev = 0."},
         {"Total 3", "seq=3"}},
        {"positional count and payload size",
         {"-s", "100", "-i", "0.2", "127.0.0.1", "1"},
         nullptr,
         0,
         {"with 100 bytes of data:", "Replay from 127.0.0.1: seq=1 bytes=100 time=",
          "1 requests, 1 replies, 0 lost (0%)"},
         {"Total 2"}},
        {"quiet",
         {"-q", "-c", "2", "-i", "0.2", "127.0.0.1"},
         nullptr,
         0,
         {"Probing 127.0.0.1", "2 requests, 2 replies, 0 lost (0%)\nround-trip min/avg/max/mdev = "},
         {"Replay", "Total", "Status"}},
        {"every request dropped, as ping: only the statistics count them, and the status says so",
         {"-c", "3", "-i", "0.2", "-W", "0.2", "127.0.0.1"},
         "icmp type echo-request drop",
         1,
         {"with 32 bytes of data:\nStatus Bad\n\n", "3 requests, 0 replies, 3 lost (100%)\n"},
         {"round-trip", "Replay", "Request Timed Out", "Total"}},
        {"every request dropped, each reported with -O",
         {"-O", "-c", "2", "-i", "0.2", "-W", "0.2", "127.0.0.1"},
         "icmp type echo-request drop",
         1,
         {"Request Timed Out: seq=1\n    Total 1  Lost 1 (100%)\n", "Request Timed Out: seq=2\n",
          "2 requests, 0 replies, 2 lost (100%)\n"},
         {"round-trip", "Replay"}},
        // The namespace answers only requests that left with a TTL of 7.
        {"-t reaches the requests",
         {"-t", "7", "-c", "1", "127.0.0.1"},
         "ip ttl != 7 icmp type echo-request drop",
         0,
         {"Replay from 127.0.0.1: seq=1 ", "1 requests, 1 replies"},
         {}},
        {"without -t the requests keep 255",
         {"-c", "1", "-W", "0.2", "127.0.0.1"},
         "ip ttl != 255 icmp type echo-request drop",
         0,
         {"Replay from 127.0.0.1: seq=1 "},
         {}},
        {"a TTL the namespace does not answer",
         {"-t", "8", "-c", "1", "-W", "0.2", "127.0.0.1"},
         "ip ttl != 7 icmp type echo-request drop",
         1,
         {"1 requests, 0 replies, 1 lost (100%)\n"},
         {"Replay"}},
        // Until the echo channel sends from a chosen source, -I is passed on and probing goes on as before.
        {"-I with an interface, -n", {"-n", "-I", "lo", "-c", "1", "127.0.0.1"}, nullptr, 0, {"seq=1 bytes=32"}, {}},
        {"-I with an address", {"-I", "127.0.0.1", "-c", "1", "127.0.0.1"}, nullptr, 0, {"seq=1 bytes=32"}, {}},
        {"-D",
         {"-D", "-c", "1", "127.0.0.1"},
         nullptr,
         0,
         {"with 32 bytes of data:\n[", "] Replay from 127.0.0.1: seq=1 ", "\n\n--- 127.0.0.1 statistics ---\n"},
         {"[--- ", "] ---"}},
        // A deadline ends a run that has no count; the summary still closes it.
        {"-w without a count",
         {"-w", "0.5", "-i", "0.2", "127.0.0.1"},
         nullptr,
         0,
         {"seq=1 ", "--- 127.0.0.1 statistics ---\n"},
         {}},
        // Nor does it wait for a reply that may take seconds: the request under way is left out.
        {"-w before a slow timeout",
         {"-w", "0.3", "-W", "20", "127.0.0.1"},
         "icmp type echo-request drop",
         1,
         {"--- 127.0.0.1 statistics ---\n0 requests, 0 replies, 0 lost (0%)\n"},
         {"Request Timed Out"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(ns->flushNft());
        if (row.rule != nullptr) {
            ASSERT_TRUE(ns->nft(NetNamespace::inputRule(row.rule)));
        }
        const Finished f = run(row.args, {ns->execPrefix(), {}, false});
        EXPECT_EQ(f.exitCode, row.exitCode) << f.out << f.err;
        for (const std::string& part : row.printed)
            EXPECT_TRUE(contains(f.out, part));
        for (const std::string& part : row.absent)
            EXPECT_EQ(f.out.find(part), std::string::npos) << part << " in:\n" << f.out;
    }
}

// The number before `word` in the first line that has it ("4 packets transmitted", "4 requests"); -1 without.
long countBefore(const std::string& out, const std::string& word) {
    const std::size_t at = out.find(word);
    if (at == std::string::npos)
        return -1;
    const std::size_t from = out.find_last_not_of("0123456789", at - 2) + 1;
    return std::stol(out.substr(from, at - 1 - from));
}

// Side by side with iputils ping to a host that answers nothing: -i is the time between sends whatever the
// replies do, and each request is lost at its own -W, so a count sends what ping sends and a deadline finds as
// many requests gone out as ping's, less those whose wait is not over yet.
TEST(ConsoleProbe, SendsOnPingsCadenceAndLosesEachRequestAtItsOwnDeadline) {
    std::string why;
    const auto ns = probeNamespace(why);
    if (!ns)
        GTEST_SKIP() << why;
    if (std::system("command -v ping >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "iputils ping is not installed";
    ASSERT_TRUE(ns->nft(NetNamespace::inputRule("icmp type echo-request drop")));
    const std::vector<std::vector<std::string>> withCounts = {{"-O", "-c", "3", "-W", "1"},
                                                              {"-O", "-c", "4", "-i", "0.2", "-W", "1"}};
    for (std::vector<std::string> args : withCounts) {
        SCOPED_TRACE(testing::PrintToString(args));
        args.push_back("127.0.0.1");
        const Finished ours = run(args, {ns->execPrefix(), {}, false});
        const Finished theirs = runProgram("ping", args, {ns->execPrefix(), {}, false});
        const long sent = countBefore(theirs.out, "packets transmitted");
        ASSERT_GT(sent, 0) << theirs.out << theirs.err;
        EXPECT_EQ(theirs.exitCode, 1);
        EXPECT_EQ(ours.exitCode, theirs.exitCode) << ours.out << ours.err;
        EXPECT_TRUE(contains(ours.out, std::to_string(sent) + " requests, 0 replies, " + std::to_string(sent) +
                                           " lost (100%)\n"));
        // ping -O tells of each request but the last as the next goes out; the probe of every one at its end.
        EXPECT_EQ(occurrences(theirs.out, "no answer yet for icmp_seq="), static_cast<std::size_t>(sent - 1));
        EXPECT_EQ(occurrences(ours.out, "Request Timed Out: seq="), static_cast<std::size_t>(sent)) << ours.out;
    }
    // Every other request dropped, each waiting a second while the next go out: a reply names its own request,
    // as ping's icmp_seq does, however the answers interleave with the losses.
    ASSERT_TRUE(ns->flushNft());
    const std::vector<std::string> alternate = {"-c", "6", "-i", "0.2", "-W", "1", "127.0.0.1"};
    std::vector<std::string> replied[2];
    for (int side = 0; side < 2; ++side) {
        ASSERT_TRUE(ns->flushNft());
        ASSERT_TRUE(ns->nft(NetNamespace::inputRule("icmp type echo-request numgen inc mod 2 0 drop")));
        const Finished f = side == 0 ? run(alternate, {ns->execPrefix(), {}, false})
                                     : runProgram("ping", alternate, {ns->execPrefix(), {}, false});
        const std::regex line(side == 0 ? "Replay from 127\\.0\\.0\\.1: seq=(\\d+) " : "icmp_seq=(\\d+) ttl=");
        for (std::sregex_iterator it(f.out.begin(), f.out.end(), line), end; it != end; ++it)
            replied[side].push_back((*it)[1]);
        EXPECT_EQ(f.exitCode, 0) << f.out << f.err;
    }
    EXPECT_EQ(replied[0], replied[1]);
    EXPECT_EQ(replied[0], (std::vector<std::string>{"2", "4", "6"}));
    ASSERT_TRUE(ns->flushNft());
    ASSERT_TRUE(ns->nft(NetNamespace::inputRule("icmp type echo-request drop")));

    // Half-second waits, a send every 0.2 s, two seconds in all: at most the two or three requests still within
    // their wait are left out (a pause after each loss would have sent three in all).
    const std::vector<std::string> deadline = {"-O", "-w", "2", "-i", "0.2", "-W", "0.5", "127.0.0.1"};
    const Finished ours = run(deadline, {ns->execPrefix(), {}, false});
    const Finished theirs = runProgram("ping", deadline, {ns->execPrefix(), {}, false});
    const long sent = countBefore(theirs.out, "packets transmitted");
    const long counted = countBefore(ours.out, "requests,");
    ASSERT_GT(sent, 5) << theirs.out;
    EXPECT_LE(counted, sent) << ours.out;
    EXPECT_GE(counted + 4, sent) << ours.out;
    EXPECT_EQ(occurrences(ours.out, "Request Timed Out: seq="), static_cast<std::size_t>(counted));
}

TEST(ConsoleProbe, TimestampsAreUnixTimeToTheMicrosecondAsPingPrintsThem) {
    std::string why;
    const auto ns = probeNamespace(why);
    if (!ns)
        GTEST_SKIP() << why;
    const auto before = std::chrono::system_clock::now();
    const Finished f = run({"-D", "-c", "2", "-i", "0.2", "127.0.0.1"}, {ns->execPrefix(), {}, false});
    const auto after = std::chrono::system_clock::now();
    EXPECT_EQ(f.exitCode, 0) << f.out << f.err;
    const std::regex stamped(R"(\n\[([0-9]+)\.([0-9]{6})\] Replay from 127\.0\.0\.1: seq=([12]) )");
    int lines = 0;
    for (auto it = std::sregex_iterator(f.out.begin(), f.out.end(), stamped); it != std::sregex_iterator(); ++it) {
        const auto seconds = std::chrono::seconds(std::stoll((*it)[1]));
        EXPECT_GE(seconds, std::chrono::floor<std::chrono::seconds>(before.time_since_epoch()));
        EXPECT_LE(seconds, std::chrono::ceil<std::chrono::seconds>(after.time_since_epoch()));
        EXPECT_EQ((*it)[3], std::to_string(++lines));
    }
    EXPECT_EQ(lines, 2) << f.out;
}

// The HTTP library and what it brings (TLS, compression) are loaded only for --metrics, from the program's module.
TEST(ConsoleProbe, OnlyMetricsLoadTheHttpLibrary) {
    std::string why;
    const auto ns = probeNamespace(why);
    if (!ns)
        GTEST_SKIP() << why;
    std::vector<std::string> prefix = ns->execPrefix();
    prefix.insert(prefix.end(), {"env", "LD_DEBUG=files"}); // the loader names every object it maps
    const struct {
        std::vector<std::string> args;
        bool loaded;
    } rows[] = {
        {{"-c", "1", "127.0.0.1"}, false},
        {{"-c", "1", "--metrics=127.0.0.1:19464", "127.0.0.1"}, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        const Finished f = run(row.args, {prefix, {}, false});
        EXPECT_EQ(f.exitCode, 0) << f.out << f.err;
        for (const char* library : {"/metrics.so", "libcpp-httplib", "libssl", "libbrotli"})
            EXPECT_EQ(f.err.find(library) != std::string::npos, row.loaded) << library;
    }
}

TEST(ConsoleProbe, AMissingMetricsModuleIsASetupError) {
    std::string why;
    const auto ns = probeNamespace(why);
    if (!ns)
        GTEST_SKIP() << why;
    // A copy of the probe with no module folder beside it.
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("ostrevo-probe-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir / "bin");
    const std::filesystem::path copy = dir / "bin" / "ostrevo-probe";
    std::filesystem::copy_file(probeProgram(), copy, std::filesystem::copy_options::overwrite_existing);
    const Finished plain = runProgram(copy.string(), {"-c", "1", "127.0.0.1"}, {ns->execPrefix(), {}, false});
    const Finished serving =
        runProgram(copy.string(), {"-c", "1", "--metrics=19464", "127.0.0.1"}, {ns->execPrefix(), {}, false});
    std::filesystem::remove_all(dir);
    EXPECT_EQ(plain.exitCode, 0) << "a plain ping needs no module: " << plain.out << plain.err;
    EXPECT_EQ(serving.exitCode, 2) << serving.out << serving.err;
    EXPECT_TRUE(contains(serving.err, "ostrevo-probe: metrics: "));
    EXPECT_TRUE(contains(serving.err, "/lib/"));
    EXPECT_EQ(serving.out, "") << "nothing probed";
}

TEST(ConsoleProbe, AReplyWithOtherDataCountsAndSaysSoOnItsLine) {
    std::string why;
    const auto ns = probeNamespace(why);
    if (!ns)
        GTEST_SKIP() << why;
    EchoResponder responder(ns->name(), {0ms, std::nullopt, false});
    ASSERT_TRUE(responder.ok()) << responder.error();
    responder.setChangedByte(3);
    const Finished f = run({"-c", "2", "-i", "0.2", "127.0.0.1"}, {ns->execPrefix(), {}, false});
    EXPECT_EQ(f.exitCode, 0) << f.out << f.err;
    EXPECT_EQ(occurrences(f.out, " TTL=64 (wrong data byte #3 should be 0x20 but was 0x41)\n"), 2u) << f.out;
    EXPECT_TRUE(contains(f.out, "2 requests, 2 replies, 0 lost (0%)\n"));
}

TEST(ConsoleProbe, UnknownHostIsASetupError) {
    std::string why;
    const auto ns = probeNamespace(why); // the failing lookup must not reach any real name server
    if (!ns)
        GTEST_SKIP() << why;
    const struct {
        std::vector<std::string> args;
        const char* complaint;
    } rows[] = {
        {{"-c", "1", "no-such-host.invalid"}, "cannot find an address for \"no-such-host.invalid\""},
        {{"-4", "-c", "1", "::1"}, "cannot find an IPv4 address for \"::1\""},
        {{"-6", "-c", "1", "127.0.0.1"}, "cannot find an IPv6 address for \"127.0.0.1\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.complaint);
        const Finished f = run(row.args, {ns->execPrefix(), {}, false});
        EXPECT_EQ(f.exitCode, 2) << f.out << f.err;
        EXPECT_TRUE(contains(f.err, std::string("ostrevo-probe: ") + row.complaint)) << f.err;
        EXPECT_EQ(f.out, "");
    }
}

TEST(ConsoleProbe, EndingSignalsPrintTheFinalStatistics) {
    std::string why;
    const auto ns = probeNamespace(why);
    if (!ns)
        GTEST_SKIP() << why;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        const Finished f = run({"-i", "0.2", "127.0.0.1"}, {ns->execPrefix(), {{"Total 2 ", sig}}, false});
        EXPECT_EQ(f.exitCode, 0) << f.out << f.err;
        ASSERT_TRUE(contains(f.out, "\n--- 127.0.0.1 statistics ---\n"));
        // The probe under way when the signal came is counted, and no other goes out after it.
        const std::string total = lastTotal(f.out);
        EXPECT_TRUE(contains(f.out, "\n" + total + " requests, " + total + " replies, 0 lost (0%)\n"));
        EXPECT_EQ(occurrences(f.out, "statistics ---"), 1u) << f.out;
        EXPECT_EQ(f.out.substr(f.out.find("statistics ---")).find("Replay"), std::string::npos) << f.out;
    }
}

TEST(ConsoleProbe, HangUpIgnoredAsByNohupKeepsProbing) {
    std::string why;
    const auto ns = probeNamespace(why);
    if (!ns)
        GTEST_SKIP() << why;
    // After the hang-up the probe must still print another probe before the interrupt ends it.
    const Finished f =
        run({"-i", "0.2", "127.0.0.1"}, {ns->execPrefix(), {{"Total 1 ", SIGHUP}, {"Total ", SIGINT}}, true});
    EXPECT_EQ(f.exitCode, 0) << f.out << f.err;
    EXPECT_TRUE(contains(f.out, "Total 2 "));
    EXPECT_EQ(occurrences(f.out, "statistics ---"), 1u) << f.out;
}

// A source interface that is not there is the one reason given, as ping gives it: not also why some other socket
// kind was refused (ping sockets closed, so the raw socket was the one tried), which would point at the wrong fix.
TEST(ConsoleProbe, AMissingSourceInterfaceIsOneMessage) {
    std::string why;
    const auto ns = probeNamespace(why);
    if (!ns)
        GTEST_SKIP() << why;
    for (const char* range : {"0 2147483647", "1 0"}) {
        SCOPED_TRACE(range);
        ASSERT_TRUE(ns->sysctl("net.ipv4.ping_group_range", range));
        const Finished f = run({"-c", "1", "-I", "nosuchif0", "127.0.0.1"}, {ns->execPrefix(), {}, false});
        EXPECT_EQ(f.exitCode, 2) << f.out << f.err;
        EXPECT_EQ(occurrences(f.err, "No such device"), 1u) << f.err;
        EXPECT_EQ(occurrences(f.err, "nosuchif0"), 1u) << f.err;
        EXPECT_EQ(f.err.find("ping_group_range"), std::string::npos) << f.err;
        EXPECT_EQ(f.err.find("Cannot open an ICMP socket"), std::string::npos) << f.err;
        EXPECT_EQ(f.out.find("Replay"), std::string::npos) << f.out;
    }
}

TEST(ConsoleProbe, NoIcmpSocketIsASetupError) {
    std::string why;
    const auto ns = probeNamespace(why);
    if (!ns)
        GTEST_SKIP() << why;
    if (access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "setpriv is missing";
    // Neither socket kind can be had: ping sockets closed to every group, and no raw-socket capability.
    ASSERT_TRUE(ns->sysctl("net.ipv4.ping_group_range", "1 0"));
    std::vector<std::string> prefix = ns->execPrefix();
    prefix.insert(prefix.end(), {"/usr/bin/setpriv", "--bounding-set=-net_raw", "--inh-caps=-net_raw", "--"});
    const Finished f = run({"-c", "1", "127.0.0.1"}, {prefix, {}, false});
    EXPECT_EQ(f.exitCode, 2) << f.out << f.err;
    EXPECT_TRUE(contains(f.err, "Can't open Ping Chanel.\n"));
    EXPECT_EQ(f.out.find("Replay"), std::string::npos) << f.out;
    EXPECT_EQ(f.out.find("statistics"), std::string::npos) << f.out;
}

} // namespace
