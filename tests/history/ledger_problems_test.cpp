#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "LedgerFixture.h"
#include "history/LedgerSchema.h"

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

// A disk already full when the file is first made: neither the new file nor the pending log has room, the
// probes wait in memory, and once room comes back they are all stored.
TEST(LedgerProblems, ADiskFullFromTheStartLosesNothingWhenRoomReturns) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    TempDir dir;
    const std::string failures = inMountNamespace([&] {
        if (::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=256k") != 0)
            return std::string("mount failed");
        const std::string filler = dir.file("filler");
        std::ofstream(filler) << std::string(200 * 1024, 'x');
        ProblemLog problems;
        HistoryOptions options = ledgerOptions(dir.file("history.sqlite"), problems);
        std::string failures;
        {
            HistoryLedger ledger(options);
            for (int i = 0; i < 300; ++i)
                ledger.record(probe(kT0 + i * 1000, i % 7 == 0 ? std::nullopt : std::optional<std::int64_t>(900 + i),
                                    i % 50 < 25 ? 3 : 1));
            (void)ledger.flush(500ms);
            fs::remove(filler);
            failures += expect(ledger.flush(kPatience), "nothing written after space came back");
            failures +=
                expect(ledger.samples("host.test", kT0, kT0 + 300'000).size() == 300,
                       "samples lost: " + std::to_string(ledger.samples("host.test", kT0, kT0 + 300'000).size()));
        }
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

namespace {

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string textOf(const std::string& path, const char* sql) {
    SqliteDb db;
    if (db.open(path, SQLITE_OPEN_READONLY) != SQLITE_OK)
        return "cannot open";
    return db.queryText(sql).value_or("no row");
}

void recordSome(const std::string& path, std::int64_t from, int count, int days = 30) {
    ProblemLog problems;
    HistoryLedger ledger(ledgerOptions(path, problems, days));
    for (int i = 0; i < count; ++i)
        ledger.record(probe(from + i * 1000, 1000 + i));
    ASSERT_TRUE(ledger.flush(kPatience));
}

// A file from a newer program is read for the window and never written; another program's database is not
// touched at all, not even switched to WAL. Either is told once.
TEST(LedgerProblems, NewerOrForeignFilesAreNeverWritten) {
    TempDir dir;
    const std::string newer = dir.file("newer.sqlite");
    recordSome(newer, kT0, 3);
    {
        SqliteDb db;
        ASSERT_EQ(db.open(newer, SQLITE_OPEN_READWRITE), SQLITE_OK);
        ASSERT_EQ(db.exec("ALTER TABLE probes ADD COLUMN loss_burst INTEGER; PRAGMA user_version = 7;"), SQLITE_OK);
    }
    const std::string foreign = dir.file("foreign.sqlite");
    {
        SqliteDb db;
        ASSERT_EQ(db.open(foreign, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE), SQLITE_OK);
        ASSERT_EQ(db.exec("CREATE TABLE notes(id INTEGER PRIMARY KEY, body TEXT); INSERT INTO notes(body) "
                          "VALUES ('keep me')"),
                  SQLITE_OK);
    }
    struct Case {
        std::string path;
        std::string message;
        std::size_t readable;
    };
    for (const Case& c : {Case{newer, "history file is from a newer version of Ostrevo; not recording", 3},
                          Case{foreign, foreign + " is not an Ostrevo history file", 0}}) {
        SCOPED_TRACE(c.path);
        const std::string before = fileBytes(c.path);
        const std::string journal = textOf(c.path, "PRAGMA journal_mode");
        ProblemLog problems;
        {
            HistoryLedger ledger(ledgerOptions(c.path, problems));
            for (int i = 0; i < 5; ++i) {
                ledger.record(probe(kT0 + 100'000 + i * 1000, 500, 1));
                EXPECT_TRUE(ledger.flush(kPatience));
            }
            ledger.endRun(kT0 + 200'000);
            EXPECT_TRUE(ledger.flush(kPatience));
            EXPECT_TRUE(ledger.readOnly());
            EXPECT_EQ(ledger.samples("host.test", 0, kT0 * 2).size(), c.readable);
            EXPECT_EQ(ledger.problem().rfind(c.message, 0), 0u) << ledger.problem();
        }
        ASSERT_EQ(problems.messages().size(), 1u);
        EXPECT_EQ(problems.messages()[0].rfind(c.message, 0), 0u);
        EXPECT_EQ(fileBytes(c.path), before);
        EXPECT_EQ(textOf(c.path, "PRAGMA journal_mode"), journal);
    }
    EXPECT_EQ(scalar(newer, "PRAGMA user_version"), 7);
    EXPECT_EQ(textOf(foreign, "SELECT body FROM notes"), "keep me");
    EXPECT_FALSE(fs::exists(foreign + "-wal"));
}

// Older files are brought up to date in place: outages written by version 1 begin at their first failed probe
// too, and the probes of either move to the new tables, two in one millisecond included, with `samples`
// still answering as before.
TEST(LedgerProblems, OlderFilesAreUpgradedInPlace) {
    const std::string samplesTable = "CREATE TABLE samples(at_ms INTEGER NOT NULL, host TEXT NOT NULL, "
                                     "address TEXT NOT NULL, rtt_us INTEGER, status INTEGER NOT NULL, ttl INTEGER);"
                                     "CREATE INDEX samples_by_time ON samples(at_ms);";
    const std::string someSamples = "INSERT INTO samples VALUES (1796684400000, 'host.test', '127.0.0.1', NULL, "
                                    "11010, NULL), (1796684401000, 'host.test', '127.0.0.1', 900, 0, 64), "
                                    "(1796684401000, 'host.test', '127.0.0.1', 950, 0, 64), "
                                    "(1796684401000, 'other.test', '::1', 80, 0, 64);";
    struct Case {
        int version;
        std::string outages;
        std::int64_t start;
    };
    for (const Case& c :
         {Case{1,
               "CREATE TABLE outages(id INTEGER PRIMARY KEY, host TEXT NOT NULL, address TEXT NOT NULL, "
               "start_ms INTEGER NOT NULL, end_ms INTEGER, first_status INTEGER NOT NULL, "
               "first_error_ms INTEGER);"
               "INSERT INTO outages VALUES (1, 'host.test', '127.0.0.1', 1796684406000, 1796684409000, "
               "11010, 1796684400000);",
               kT0},
          Case{2,
               "CREATE TABLE outages(id INTEGER PRIMARY KEY, host TEXT NOT NULL, address TEXT NOT NULL, "
               "start_ms INTEGER NOT NULL, end_ms INTEGER, first_status INTEGER NOT NULL, "
               "first_error_ms INTEGER, verdict_ms INTEGER);"
               "INSERT INTO outages VALUES (1, 'host.test', '127.0.0.1', 1796684403000, 1796684409000, "
               "11010, 1796684403000, 1796684406000);",
               kT0 + 3000}}) {
        SCOPED_TRACE(c.version);
        TempDir dir;
        const std::string path = dir.file("history.sqlite");
        {
            SqliteDb db;
            ASSERT_EQ(db.open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE), SQLITE_OK);
            ASSERT_EQ(db.exec((samplesTable + someSamples + c.outages +
                               "PRAGMA user_version = " + std::to_string(c.version) + ";")
                                  .c_str()),
                      SQLITE_OK);
        }
        ProblemLog problems;
        HistoryLedger ledger(ledgerOptions(path, problems));
        ledger.record(probe(kT0 + 20'000, 1000));
        ASSERT_TRUE(ledger.flush(kPatience));
        EXPECT_TRUE(problems.messages().empty());
        EXPECT_EQ(scalar(path, "PRAGMA user_version"), LedgerSchema::kVersion);
        EXPECT_EQ(ledger.outages("host.test", kT0, kT0 + 60'000),
                  (std::vector<Outage>{{"host.test", "127.0.0.1", c.start, kT0 + 9000, 11010, c.start, kT0 + 6000}}));
        const std::vector<ProbeSample> samples = ledger.samples("host.test", kT0, kT0 + 60'000);
        ASSERT_EQ(samples.size(), 4u);
        EXPECT_EQ(samples[0].status, 11010u);
        EXPECT_EQ(samples[1].rttUs, 900);
        EXPECT_EQ(samples[2], (ProbeSample{kT0 + 1001, "host.test", "127.0.0.1", 950, 0, 64, 0}));
        EXPECT_EQ(ledger.samples("other.test", kT0, kT0 + 60'000).size(), 1u);
        EXPECT_EQ(scalar(path, "SELECT count(*) FROM samples"), 5);
        EXPECT_EQ(scalar(path, "SELECT count(*) FROM hosts"), 2);
        EXPECT_EQ(scalar(path, "SELECT count(*) FROM sqlite_master WHERE name IN ('samples_v2', 'samples_by_time')"),
                  0);
    }
}

// Another program holds the write lock (sqlite3 in BEGIN IMMEDIATE): nothing recorded meanwhile is lost, and
// at exit a lock released within the wait still lets everything in.
TEST(LedgerProblems, AHeldWriteLockDelaysButLosesNothing) {
    TempDir dir;
    const std::string path = dir.file("history.sqlite");
    recordSome(path, kT0, 1);
    SqliteDb other;
    ASSERT_EQ(other.open(path, SQLITE_OPEN_READWRITE), SQLITE_OK);
    ProblemLog problems;
    static_assert(LedgerStore::kBusyTimeoutMs >= 1500, "a lock held for a second is the normal case");
    {
        HistoryOptions options = ledgerOptions(path, problems);
        options.batchLimit = 3;
        HistoryLedger ledger(options);
        ASSERT_TRUE(ledger.flush(kPatience));
        ASSERT_EQ(other.exec("BEGIN IMMEDIATE"), SQLITE_OK);
        for (int i = 1; i <= 10; ++i)
            ledger.record(probe(kT0 + i * 1000, 1000));
        // Held past the wait: said once, and the batch waits for the next attempt.
        ASSERT_TRUE(problems.waitFor(1));
        EXPECT_NE(problems.messages()[0].find("locked"), std::string::npos) << problems.messages()[0];
        EXPECT_FALSE(ledger.flush(std::chrono::milliseconds(100)));
        ASSERT_EQ(other.exec("COMMIT"), SQLITE_OK);
        ASSERT_TRUE(ledger.flush(kPatience));
        EXPECT_EQ(scalar(path, "SELECT count(*) FROM samples"), 11);
        EXPECT_EQ(ledger.problem(), "");

        ASSERT_EQ(other.exec("BEGIN IMMEDIATE"), SQLITE_OK);
        for (int i = 11; i <= 20; ++i)
            ledger.record(probe(kT0 + i * 1000, 1000));
        std::thread release([&other] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            (void)other.exec("COMMIT");
        });
        // The program ends while the lock is still held.
        struct Join {
            std::thread& t;
            ~Join() { t.join(); }
        } join{release};
        EXPECT_EQ(ledger.dropped(), 0u);
    }
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM samples"), 21);
}

// Two programs on one data folder: the second one's start repairs the run of a program that died, but not the
// run of the one still going.
TEST(LedgerProblems, ASecondInstanceRepairsOnlyAbandonedRuns) {
    TempDir dir;
    const std::string path = dir.file("history.sqlite");
    // A program that dies with its host Bad (its own process, so the kernel releases what it held).
    const pid_t crashed = ::fork();
    if (crashed == 0) {
        ProblemLog problems;
        auto* ledger = new HistoryLedger(ledgerOptions(path, problems));
        ledger->record(probe(kT0, std::nullopt, 1, "gone.test"));
        ledger->record(probe(kT0 + 1000, std::nullopt, 1, "gone.test"));
        ::_exit(ledger->flush(kPatience) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(crashed, &status, 0), crashed);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(scalar(path, "SELECT count(*) FROM outages WHERE end_ms IS NULL"), 1);

    ProblemLog problems;
    HistoryLedger first(ledgerOptions(path, problems));
    ASSERT_TRUE(first.flush(kPatience));
    ASSERT_EQ(scalar(path, "SELECT count(*) FROM outages WHERE end_ms IS NULL"), 0) << "the dead run is repaired";
    first.record(probe(kT0 + 10'000, std::nullopt, 1, "live.test"));
    first.record(probe(kT0 + 11'000, std::nullopt, 1, "live.test"));
    ASSERT_TRUE(first.flush(kPatience));
    {
        HistoryLedger second(ledgerOptions(path, problems));
        ASSERT_TRUE(second.flush(kPatience));
        second.record(probe(kT0 + 12'000, 800, 3, "other.test"));
    }
    EXPECT_EQ(first.outages("live.test", kT0, kT0 + 60'000).at(0).endMs, std::nullopt);
    EXPECT_EQ(first.statusChanges("live.test", kT0, kT0 + 60'000).back(), (StatusChange{kT0 + 10'000, 1}));
    // The first program's run goes on and ends its outage itself.
    first.record(probe(kT0 + 13'000, 900, 3, "live.test"));
    ASSERT_TRUE(first.flush(kPatience));
    EXPECT_EQ(first.outages("live.test", kT0, kT0 + 60'000).at(0).endMs, kT0 + 13'000);
    const std::vector<Outage> gone = first.outages("gone.test", kT0, kT0 + 60'000);
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(gone[0].endMs, kT0 + 1000);
    EXPECT_TRUE(problems.messages().empty());
}

// A data folder that cannot be written: the history in it is still shown (a WAL file needs its index, which
// SQLite cannot make there), with "read-only: not recording" instead of an empty window.
TEST(LedgerProblems, AReadOnlyFolderStillShowsItsHistory) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "a read-only bind mount needs root";
    TempDir dir;
    const std::string folder = dir.file("data");
    fs::create_directories(folder);
    const std::string path = folder + "/history.sqlite";
    recordSome(path, kT0, 4);
    // A second file whose last writes are still in its log, its index gone.
    const std::string logged = folder + "/logged.sqlite";
    recordSome(logged, kT0, 2);
    {
        SqliteDb db;
        ASSERT_EQ(db.open(logged, SQLITE_OPEN_READWRITE), SQLITE_OK);
        ASSERT_EQ(sqlite3_db_config(db.handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr), SQLITE_OK);
        ASSERT_EQ(db.exec("PRAGMA wal_autocheckpoint = 0; INSERT INTO samples "
                          "VALUES (1796684405000, 'host.test', '127.0.0.1', 700, 0, 64)"),
                  SQLITE_OK);
    }
    fs::remove(logged + "-shm");
    ASSERT_GT(fs::file_size(logged + "-wal"), 0u);
    const std::string failures = inMountNamespace([&] {
        if (::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
            return std::string("mount failed");
        std::string failures;
        for (const auto& [file, count] : {std::pair{path, 4u}, std::pair{logged, 3u}}) {
            ProblemLog problems;
            HistoryLedger ledger(ledgerOptions(file, problems));
            ledger.record(probe(kT0 + 60'000, 1000));
            failures += expect(problems.waitFor(1), "nothing reported");
            const auto samples = ledger.samples("host.test", 0, kT0 * 2);
            failures += expect(samples.size() == count, file + ": " + std::to_string(samples.size()) + " samples");
            failures += expect(ledger.summary("host.test", kT0, kT0 + 30'000).sent() == count, "summary");
            failures += expect(ledger.readOnly(), "not read-only");
            failures += expect(ledger.problem() == file + ": read-only: not recording", ledger.problem());
        }
        return failures;
    });
    EXPECT_EQ(failures, "");
    // The copy the reader made is gone with it.
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path()))
        EXPECT_FALSE(entry.path().filename().string().starts_with("ostrevo-history-") &&
                     fs::exists(entry.path() / "logged.sqlite") &&
                     fs::last_write_time(entry.path()) > fs::file_time_type::clock::now() - std::chrono::minutes(1))
            << entry.path();
}

// HistoryDays 0: nothing is added and nothing pruned, and what the file holds can still be read and exported.
TEST(LedgerProblems, NoHistoryDaysLeavesAnExistingFileAsItIs) {
    TempDir dir;
    const std::string path = dir.file("history.sqlite");
    recordSome(path, kT0 - 400LL * 86'400'000, 2);
    recordSome(path, kT0, 3);
    const std::string before = fileBytes(path);
    ProblemLog problems;
    {
        HistoryLedger ledger(ledgerOptions(path, problems, 0));
        ledger.record(probe(kT0 + 10'000, 1000));
        EXPECT_TRUE(ledger.flush(kPatience));
        EXPECT_FALSE(ledger.enabled());
        EXPECT_TRUE(ledger.hasFile());
        EXPECT_EQ(ledger.samples("host.test", 0, kT0 * 2).size(), 5u);
        std::ostringstream csv;
        EXPECT_TRUE(ledger.exportCsv("host.test", kT0, kT0 + 60'000, csv, {}));
        const std::string text = csv.str();
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4) << text;
    }
    EXPECT_EQ(fileBytes(path), before);
    EXPECT_TRUE(problems.messages().empty());
}

} // namespace
