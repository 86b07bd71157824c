#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "LedgerFixture.h"
#include "history/PendingLog.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
constexpr std::int64_t kT0 = 1'796'684'400'000;

std::vector<fs::path> pendingFiles(const fs::path& folder) {
    std::vector<fs::path> out;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().starts_with("history.sqlite-pending-"))
            out.push_back(entry.path());
    return out;
}

// Runs `body` in a child that says "ready" through a pipe once it has recorded what it means to, then is
// killed with SIGKILL before anything more is committed, as a crash would. Returns how the child ended.
int crashAfter(const std::function<bool()>& body) {
    int fds[2];
    if (::pipe(fds) != 0)
        return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        const char verdict = body() ? 'y' : 'n';
        if (::write(fds[1], &verdict, 1) != 1)
            ::_exit(1);
        for (;;)
            ::pause();
    }
    ::close(fds[1]);
    // The body's waits are bounded; this one is bounded by them.
    char verdict = 0;
    const bool said = ::read(fds[0], &verdict, 1) == 1;
    ::close(fds[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    return said && verdict == 'y' && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL ? 0 : status | 0x10000;
}

ProbeSample timeout(std::int64_t atMs, std::string host, std::string address = "127.0.0.1") {
    return ProbeSample{atMs, std::move(host), std::move(address), std::nullopt, 11010, std::nullopt, 3};
}

// A host watched twice (two entries of one name) times out in both at the same millisecond, and a host's
// address changes, then the program is killed before a commit: the next start stores every probe once, each
// at its own address, and the log's places of the next crash start from there.
TEST(PendingLogReplay, EveryProbeOfACrashIsStoredOnceWhateverItHolds) {
    TempDir dir;
    const std::string path = dir.file("history.sqlite");
    const int ended = crashAfter([&] {
        ProblemLog problems;
        HistoryOptions options = ledgerOptions(path, problems);
        options.commitInterval = std::chrono::hours(1);
        auto* ledger = new HistoryLedger(options);
        ledger->record(timeout(kT0, "twice.test"));
        ledger->record(timeout(kT0, "twice.test"));
        ledger->record(timeout(kT0, "moved.test", "127.0.0.1"));
        if (!ledger->flush(kPatience)) // new hosts: committed at once, the log's places with them
            return false;
        for (int i = 1; i <= 12; ++i) {
            ledger->record(timeout(kT0 + i * 1000, "twice.test"));
            ledger->record(timeout(kT0 + i * 1000, "twice.test"));
        }
        for (int i = 1; i <= 12; ++i) // one after the other: the log names a host only when it changes
            ledger->record(timeout(kT0 + i * 1000, "moved.test", i <= 6 ? "127.0.0.1" : "127.0.0.2"));
        return true;
    });
    ASSERT_EQ(ended, 0);
    ASSERT_EQ(scalar(path, "SELECT count(*) FROM samples"), 3);
    ASSERT_EQ(pendingFiles(dir.path()).size(), 1u);

    // The second start crashes too, its last probe only in its log: the first log's places must not hide it.
    ASSERT_EQ(crashAfter([&] {
                  ProblemLog problems;
                  HistoryOptions options = ledgerOptions(path, problems);
                  options.commitInterval = std::chrono::hours(1);
                  auto* ledger = new HistoryLedger(options);
                  ledger->record(timeout(kT0 + 13'000, "twice.test"));
                  const bool flushed = ledger->flush(kPatience);
                  ledger->record(timeout(kT0 + 14'000, "twice.test"));
                  return flushed && problems.messages().empty();
              }),
              0);

    ProblemLog problems;
    HistoryLedger ledger(ledgerOptions(path, problems));
    ASSERT_TRUE(ledger.flush(kPatience));
    EXPECT_EQ(ledger.samples("twice.test", kT0, kT0 + 60'000).size(), 28u) << "two timeouts taken for one";
    const std::vector<ProbeSample> moved = ledger.samples("moved.test", kT0, kT0 + 60'000);
    ASSERT_EQ(moved.size(), 13u);
    for (const ProbeSample& s : moved)
        EXPECT_EQ(s.address, s.atMs <= kT0 + 6000 ? "127.0.0.1" : "127.0.0.2") << s;
    EXPECT_EQ(scalar(path, "SELECT sent FROM minute_stats WHERE host = 'twice.test'"), 28);
    EXPECT_TRUE(pendingFiles(dir.path()).empty());
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM pending_logs"), 0);
    EXPECT_TRUE(problems.messages().empty());
}

// The log truncated, replaced by another file and removed while the ledger records: the program goes on (no
// SIGBUS), says so once each time, commits what the lost file held, and keeps logging in a new file, so a
// crash after all that still loses nothing.
TEST(PendingLogReplay, ALogChangedFromOutsideNeverStopsTheProgram) {
    TempDir dir;
    const std::string path = dir.file("history.sqlite");
    const std::string other = dir.file("other");
    std::int64_t at = kT0;
    const int ended = crashAfter([&] {
        ProblemLog problems;
        HistoryOptions options = ledgerOptions(path, problems);
        options.commitInterval = std::chrono::hours(1);
        auto* ledger = new HistoryLedger(options);
        ledger->record(probe(at, 900));
        if (!ledger->flush(kPatience))
            return false;
        const std::vector<std::function<void(const fs::path&)>> changes = {
            [](const fs::path& log) { fs::resize_file(log, 0); },
            [&](const fs::path& log) {
                std::ofstream(other) << "not a log";
                fs::rename(other, log);
            },
            [](const fs::path& log) { fs::remove(log); },
        };
        std::set<fs::path> gone; // a file put in the log's place stays: it is not the program's to remove
        for (std::size_t i = 0; i < changes.size(); ++i) {
            for (int k = 0; k < 5; ++k)
                ledger->record(probe(at += 1000, 900));
            std::vector<fs::path> logs = pendingFiles(dir.path());
            std::erase_if(logs, [&](const fs::path& p) { return gone.count(p) != 0; });
            if (logs.size() != 1)
                return false;
            gone.insert(logs[0]);
            changes[i](logs[0]);
            ledger->record(probe(at += 1000, 900));
            if (!problems.waitFor(i + 1, 10s))
                return false;
        }
        for (int k = 0; k < 5; ++k)
            ledger->record(probe(at += 1000, 900));
        std::this_thread::sleep_for(200ms);
        return problems.messages().size() == changes.size();
    });
    ASSERT_EQ(ended, 0) << "the child did not live through the changes, or did not say so once each";

    ProblemLog problems;
    HistoryLedger ledger(ledgerOptions(path, problems));
    ASSERT_TRUE(ledger.flush(kPatience));
    EXPECT_EQ(ledger.samples("host.test", kT0, kT0 + 60'000).size(), 24u);
    EXPECT_TRUE(pendingFiles(dir.path()).empty());
    EXPECT_TRUE(problems.messages().empty());
}

// A log left by a long backlog (several of the pieces it is read in, hosts changing within them), picked up by
// a ledger that records nothing: it is stored at opening, every entry once.
TEST(PendingLogReplay, ALargeLeftLogIsStoredWholeAtOpening) {
    TempDir dir;
    const std::string path = dir.file("history.sqlite");
    std::map<std::string, int> written;
    {
        std::string bytes;
        PendingLog::encodeMark(42, 1, bytes);
        const ProbeSample* previous = nullptr;
        std::vector<ProbeSample> samples;
        samples.reserve(12'000);
        for (int i = 0; i < 12'000; ++i) {
            const std::string host = "host-" + std::to_string(i / 700) + ".test";
            samples.push_back(
                probe(kT0 + i * 1000, i % 11 == 0 ? std::nullopt : std::optional<std::int64_t>(i), 3, host));
            PendingLog::encode(LedgerEntry{samples.back(), false}, previous, bytes);
            previous = &samples.back();
            ++written[host];
        }
        ASSERT_GT(bytes.size(), 3u * 65'536);
        std::ofstream(path + "-pending-left01", std::ios::binary) << bytes;
    }
    ProblemLog problems;
    HistoryLedger ledger(ledgerOptions(path, problems));
    for (int i = 0; i < 300 && !pendingFiles(dir.path()).empty(); ++i)
        std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(pendingFiles(dir.path()).empty()) << "the left log waited for a probe";
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM samples"), 12'000);
    for (const auto& [host, count] : written)
        EXPECT_EQ(ledger.samples(host, kT0, kT0 + 13'000'000).size(), static_cast<std::size_t>(count)) << host;
    EXPECT_TRUE(problems.messages().empty());
}

} // namespace
