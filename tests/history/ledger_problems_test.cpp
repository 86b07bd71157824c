#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "LedgerFixture.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
constexpr std::int64_t kT0 = 1'796'684'400'000;

// Runs `body` in a child process with a mount namespace of its own, so it can mount a small or read-only
// tmpfs as root without touching the machine. The child's verdict comes back as text: empty means passed.
std::string inMountNamespace(const std::function<std::string()>& body) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return "pipe failed";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        std::string verdict;
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            verdict = "no mount namespace";
        else
            verdict = body();
        if (!verdict.empty() && ::write(pipeFds[1], verdict.data(), verdict.size()) < 0)
            ::_exit(2);
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string verdict;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        verdict.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        verdict += " (child ended abnormally)";
    return verdict;
}

std::string expect(bool condition, const std::string& what) {
    return condition ? std::string() : what + "\n";
}

// Records into a folder that cannot be written: reported once, however often the writer tries again, and the
// caller never waits or sees an exception.
std::string readOnlyFolderBody(const std::string& folder) {
    ProblemLog problems;
    const std::string path = folder + "/Quorvan Corporation/Ostrevo/history.sqlite";
    std::string failures;
    {
        HistoryLedger ledger(ledgerOptions(path, problems));
        for (int i = 0; i < 100; ++i)
            ledger.record(probe(kT0 + i * 1000, 1000));
        failures += expect(problems.waitFor(1), "no problem reported");
        // Several retries pass meanwhile (every 50 ms); none may report again.
        for (int i = 0; i < 5; ++i) {
            ledger.record(probe(kT0 + 200'000 + i, std::nullopt, 1));
            failures += expect(!ledger.flush(100ms), "flush claimed success");
        }
        failures += expect(!ledger.problem().empty(), "problem() is empty");
        failures += expect(ledger.samples("host.test", 0, kT0 * 2).empty(), "samples from nowhere");
    }
    const std::vector<std::string> messages = problems.messages();
    failures += expect(messages.size() == 1, "reported " + std::to_string(messages.size()) + " times");
    if (!messages.empty())
        failures += expect(messages[0].find(folder) != std::string::npos, "message lacks the path: " + messages[0]);
    failures += expect(!fs::exists(path), "a file appeared");
    return failures;
}

TEST(LedgerProblems, ReadOnlyFolderIsReportedOnce) {
    TempDir dir;
    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
        const std::string failures = readOnlyFolderBody(dir.path());
        ::chmod(dir.path().c_str(), 0700);
        EXPECT_EQ(failures, "");
        return;
    }
    // Root ignores folder permissions: a read-only mount it is.
    const std::string failures = inMountNamespace([&] {
        if (::mount("tmpfs", dir.path().c_str(), "tmpfs", MS_RDONLY, "size=1m") != 0)
            return std::string("mount failed");
        return readOnlyFolderBody(dir.path());
    });
    if (failures == "no mount namespace")
        GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(failures, "");
}

TEST(LedgerProblems, FullDiskIsReportedOnceAndRecoveredFrom) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    TempDir dir;
    const std::string failures = inMountNamespace([&] {
        if (::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=512k") != 0)
            return std::string("mount failed");
        const std::string filler = dir.file("filler");
        std::ofstream(filler) << std::string(360 * 1024, 'x');
        ProblemLog problems;
        HistoryOptions options = ledgerOptions(dir.file("history.sqlite"), problems);
        options.queueLimit = 20;
        options.batchLimit = 5;
        std::string failures;
        {
            HistoryLedger ledger(options);
            const std::string longHost(2000, 'h');
            for (int i = 0; i < 2000 && problems.messages().empty(); ++i) {
                ledger.record(probe(kT0 + i * 1000, 1000, 3, longHost));
                if (i % 5 == 4)
                    (void)ledger.flush(2s);
            }
            failures += expect(problems.messages().size() == 1, "the disk never filled up");
            for (int i = 0; i < 5; ++i) {
                ledger.record(probe(kT0 + 3'000'000 + i, 1000, 3, longHost));
                (void)ledger.flush(100ms);
            }
            failures += expect(problems.messages().size() == 1, "reported more than once");
            fs::remove(filler);
            ledger.record(probe(kT0 + 4'000'000, 1000));
            failures += expect(ledger.flush(kPatience), "nothing written after space came back");
            failures += expect(ledger.problem().empty(), "problem() still set: " + ledger.problem());
            failures += expect(ledger.samples("host.test", kT0 + 4'000'000, kT0 + 4'000'001).size() == 1,
                               "the sample after recovery is missing");
        }
        if (!problems.messages().empty())
            failures += expect(problems.messages()[0].find("full") != std::string::npos,
                               "message does not say full: " + problems.messages()[0]);
        return failures;
    });
    if (failures == "no mount namespace")
        GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(failures, "");
}

TEST(LedgerProblems, DamagedFileIsMovedAsideWithItsLogAndANewOneStarted) {
    TempDir dir;
    ProblemLog problems;
    const std::string path = dir.file("history.sqlite");
    std::string garbage;
    for (int i = 0; i < 400; ++i)
        garbage += "not a database at all ";
    std::ofstream(path, std::ios::binary) << garbage;
    std::ofstream(path + "-wal", std::ios::binary) << "what may be left of the last writes";
    {
        HistoryLedger ledger(ledgerOptions(path, problems));
        ledger.record(probe(kT0, 1500));
        ASSERT_TRUE(ledger.flush(kPatience));
        EXPECT_EQ(ledger.samples("host.test", kT0, kT0 + 1).size(), 1u);
        EXPECT_NE(ledger.problem().find("moved aside"), std::string::npos);
    }
    ASSERT_EQ(problems.messages().size(), 1u);
    std::vector<std::string> aside;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        if (entry.path().filename().string().starts_with("history.sqlite.corrupt-"))
            aside.push_back(entry.path().string());
    std::sort(aside.begin(), aside.end());
    ASSERT_EQ(aside.size(), 2u);
    // history.sqlite.corrupt-YYYYMMDDTHHMMSS and its -wal
    EXPECT_EQ(aside[0].size(), path.size() + std::string(".corrupt-20261207T231500").size()) << aside[0];
    EXPECT_EQ(aside[1], aside[0] + "-wal");
    std::ifstream moved(aside[0], std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(moved), {}), garbage);
    EXPECT_NE(problems.messages()[0].find(aside[0]), std::string::npos) << problems.messages()[0];
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM samples"), 1);
}

TEST(LedgerProblems, DamagedPagesAreFoundOnUseAndTheFileReplaced) {
    TempDir dir;
    ProblemLog problems;
    const std::string path = dir.file("history.sqlite");
    {
        HistoryLedger ledger(ledgerOptions(path, problems));
        for (int i = 0; i < 3000; ++i)
            ledger.record(probe(kT0 + i * 1000, 1000 + i, i % 100 < 10 ? 1 : 3));
        ASSERT_TRUE(ledger.flush(kPatience));
    }
    // The header stays valid; every page after the first is overwritten.
    const auto size = fs::file_size(path);
    {
        std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
        file.seekp(4096);
        file << std::string(size - 4096, '\x5a');
    }
    HistoryLedger ledger(ledgerOptions(path, problems));
    ledger.record(probe(kT0 + 10'000'000, 1500));
    ASSERT_TRUE(ledger.flush(kPatience));
    ASSERT_TRUE(problems.waitFor(1));
    EXPECT_NE(problems.messages()[0].find("moved aside"), std::string::npos) << problems.messages()[0];
    EXPECT_EQ(ledger.samples("host.test", kT0, kT0 + 20'000'000).size(), 1u);
    bool movedAside = false;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        movedAside = movedAside || entry.path().filename().string().starts_with("history.sqlite.corrupt-");
    EXPECT_TRUE(movedAside);
}

} // namespace
