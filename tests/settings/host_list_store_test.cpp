#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

#include "settings/HostListFile.h"
#include "settings/SettingsStore.h"
#include "settings/StoredValues.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// QSettings takes the configuration folder from the environment at its first use.
struct ConfigHome {
    TempDir dir;
    ConfigHome() {
        setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
        setenv("HOME", dir.path().c_str(), 1);
    }
};
const ConfigHome& home() {
    static ConfigHome home;
    return home;
}

class HostListStore : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = home().dir.path() + "/Quorvan Corporation";
        file_ = folder_ + "/Ostrevo.conf";
        fs::remove_all(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    void writeFile(const std::string& content) {
        fs::create_directories(folder_);
        std::ofstream(file_, std::ios::binary | std::ios::trunc) << content;
        // Far enough apart that QSettings' cache sees each rewrite as a change.
        static int edits = 0;
        timespec times[2] = {{0, UTIME_NOW}, {time(nullptr) + 10 * ++edits, 0}};
        utimensat(AT_FDCWD, file_.c_str(), times, 0);
    }
    [[nodiscard]] std::string readFile() const {
        std::ifstream in(file_, std::ios::binary);
        std::stringstream buffer;
        buffer << in.rdbuf();
        return buffer.str();
    }

    std::string folder_;
    std::string file_;
};

StoredHost host(const std::string& name, bool running) {
    StoredHost h;
    h.settings.host = name;
    h.running = running;
    return h;
}

StoredHostList loaded(StoredTexts* known = nullptr) {
    StoredHostList list;
    loadHostList(list, known);
    return list;
}

TEST_F(HostListStore, RoundTripKeepsEveryPerHostFieldAndRunningState) {
    StoredHostList list;
    StoredHost a = host("router.lan", true);
    a.settings.buffer = 1400;
    a.settings.interval = 3000;
    a.settings.analysisMode = AnalysisMode::Time;
    a.settings.minTime = 20;
    a.settings.maxTime = 80;
    a.settings.logLevel = LogLevel::EveryRequest;
    a.settings.logAppend = true;
    a.settings.logFileName = "/var/tmp/shared log.csv";
    a.settings.appParams = "\"%address% is %status%\" ; %responce%";
    a.settings.appMode = 7;
    a.settings.resolveIp = true;
    StoredHost b = host("192.0.2.7", false);
    b.settings.startSound = "caf\xc3\xa9.wav";
    b.settings.tries = 9;
    list.hosts = {a, b};
    StoredTexts known;
    ASSERT_TRUE(saveChangedHostList(list, known));

    EXPECT_EQ(loaded(), list);
    const std::string text = readFile();
    EXPECT_NE(text.find("Running=Yes"), std::string::npos) << text;
    EXPECT_NE(text.find("1\\Host=router.lan"), std::string::npos) << text;
    EXPECT_NE(text.find("1\\Interval=3"), std::string::npos) << text;
    EXPECT_NE(text.find("1\\AnalizeMode=2"), std::string::npos) << text;
    EXPECT_NE(text.find("2\\Running=No"), std::string::npos) << text;
    EXPECT_NE(text.find("size=2"), std::string::npos) << text;
    // Program-wide fields are the main host's alone.
    EXPECT_EQ(text.find("RecentList"), std::string::npos) << text;
    EXPECT_EQ(text.find("HistoryDays"), std::string::npos) << text;
}

TEST_F(HostListStore, TodaysFileReadsAsNoHostsAndStaysByteForByte) {
    const char* source = std::getenv("OSTREVO_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    std::ifstream golden(std::string(source) + "/tests/settings/golden/Ostrevo.conf", std::ios::binary);
    std::stringstream content;
    content << golden.rdbuf();
    writeFile(content.str());

    StoredTexts known;
    Settings main;
    loadSettings(main, {}, &known);
    const StoredHostList list = loaded(&known);
    EXPECT_TRUE(list.hosts.empty());
    ASSERT_TRUE(saveChangedSettings(main, known));
    ASSERT_TRUE(saveChangedHostList(list, known));
    EXPECT_EQ(readFile(), content.str());
}

// The main host starts only when the command line asks: its running state is not stored, and the key an
// older version left is neither obeyed nor kept.
TEST_F(HostListStore, MainHostsRunningIsNeitherWrittenNorKept) {
    writeFile("[General]\nHost=a.example\nRunning=Yes\n");
    StoredTexts known;
    StoredHostList list = loaded(&known);
    ASSERT_TRUE(saveChangedHostList(list, known));
    EXPECT_EQ(readFile(), "[General]\nHost=a.example\n");
    list.hosts = {host("b.example", true)};
    ASSERT_TRUE(saveChangedHostList(list, known));
    const std::string text = readFile();
    EXPECT_EQ(text.find("\nRunning="), std::string::npos) << text;
    EXPECT_NE(text.find("1\\Running=Yes"), std::string::npos) << text;
}

TEST_F(HostListStore, ShorterListRemovesTheEntriesPastItsEndOnly) {
    StoredHostList list;
    list.hosts = {host("a.example", true), host("b.example", true), host("c.example", false)};
    StoredTexts known;
    ASSERT_TRUE(saveChangedHostList(list, known));
    list.hosts.erase(list.hosts.begin()); // b and c move up a place
    ASSERT_TRUE(saveChangedHostList(list, known));

    EXPECT_EQ(loaded(), list);
    const std::string text = readFile();
    EXPECT_EQ(text.find("3\\"), std::string::npos) << text;
    EXPECT_NE(text.find("size=2"), std::string::npos) << text;

    list.hosts.clear();
    ASSERT_TRUE(saveChangedHostList(list, known));
    EXPECT_TRUE(loaded().hosts.empty());
    EXPECT_EQ(readFile().find("Host="), std::string::npos) << readFile();
}

TEST_F(HostListStore, SaveWritesOnlyWhatThisInstanceChanged) {
    StoredHostList list;
    list.hosts = {host("a.example", false), host("b.example", false)};
    StoredTexts known;
    ASSERT_TRUE(saveChangedHostList(list, known));

    // Another instance changes the second host's payload meanwhile; this one starts the first host.
    std::string other = readFile();
    other.replace(other.find("2\\Buffer=32"), 11, "2\\Buffer=64");
    writeFile(other);
    list.hosts[0].running = true;
    ASSERT_TRUE(saveChangedHostList(list, known));

    const StoredHostList now = loaded();
    ASSERT_EQ(now.hosts.size(), 2U);
    EXPECT_TRUE(now.hosts[0].running);
    EXPECT_EQ(now.hosts[1].settings.buffer, 64);
}

TEST_F(HostListStore, EntriesReadWithTheMainHostsRules) {
    struct Case {
        const char* name;
        const char* entry;
        void (*check)(const StoredHost&);
    };
    const Case cases[] = {
        {"interval 0 is one second", "1\\Interval=0",
         [](const StoredHost& h) { EXPECT_EQ(h.settings.interval, 1000); }},
        {"analysis mode out of range", "1\\AnalizeMode=7",
         [](const StoredHost& h) { EXPECT_EQ(h.settings.analysisMode, AnalysisMode::Tries); }},
        {"times put in order", "1\\MinTime=900\n1\\MaxTime=100",
         [](const StoredHost& h) {
             EXPECT_EQ(h.settings.minTime, 100U);
             EXPECT_EQ(h.settings.maxTime, 900U);
         }},
        {"running in any case", "1\\Running=TRUE", [](const StoredHost& h) { EXPECT_TRUE(h.running); }},
        {"running garbled", "1\\Running=Yes please", [](const StoredHost& h) { EXPECT_FALSE(h.running); }},
        {"missing values take defaults", "1\\Host=x.example",
         [](const StoredHost& h) {
             EXPECT_EQ(h.settings.buffer, 32);
             EXPECT_EQ(h.settings.interval, 10000);
             EXPECT_FALSE(h.running);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(std::string("[Hosts]\nsize=1\n") + c.entry + "\n");
        const StoredHostList list = loaded();
        ASSERT_EQ(list.hosts.size(), 1U);
        c.check(list.hosts[0]);
    }
}

// A size that is not a number lists the entries that are there, and the next save writes the size that
// keeps them; a huge one never reads more than the cap.
TEST_F(HostListStore, GarbledOrHugeSizeNeverLosesEntriesNorReadsPastWhatIsSafe) {
    for (const char* size : {"many", "-1", "3abc", ""}) {
        SCOPED_TRACE(size);
        writeFile(std::string("[Hosts]\n1\\Host=a.example\n3\\Host=c.example\n3\\Running=Yes\nsize=") + size + "\n");
        StoredTexts known;
        testing::internal::CaptureStderr();
        const StoredHostList list = loaded(&known);
        const std::string said = testing::internal::GetCapturedStderr();
        ASSERT_EQ(list.hosts.size(), 2U);
        EXPECT_EQ(list.hosts[0].settings.host, "a.example");
        EXPECT_EQ(list.hosts[1].settings.host, "c.example");
        EXPECT_TRUE(list.hosts[1].running);
        EXPECT_NE(
            said.find("ostrevo: the host list's size \"" + std::string(size) + "\" is not a number; the 2 entries"),
            std::string::npos)
            << said;
        ASSERT_TRUE(saveChangedHostList(list, known));
        EXPECT_EQ(loaded(), list);
        const std::string text = readFile();
        EXPECT_NE(text.find("size=2\n"), std::string::npos) << text;
        EXPECT_EQ(text.find("3\\"), std::string::npos) << text;
    }
    writeFile("[Hosts]\nsize=99999999999999999999999\n");
    EXPECT_EQ(loaded().hosts.size(), kMaxStoredHosts);
}

// Two programs keep one file, each with the list it read at its start and saving what it changed.
TEST_F(HostListStore, TwoInstancesKeepEachOthersAdditionsEditsAndRemovals) {
    writeFile("[Hosts]\n1\\Host=x.example\n2\\Host=Y.example\nsize=2\n");
    struct Instance {
        StoredTexts known;
        StoredHostList list;
    } a, b;
    a.list = loaded(&a.known);
    b.list = loaded(&b.known);
    const auto hostsInFile = [] {
        std::vector<std::string> hosts;
        for (const StoredHost& h : loaded().hosts)
            hosts.push_back(h.settings.host);
        return hosts;
    };

    a.list.hosts.push_back(host("127.0.0.77", false));
    ASSERT_TRUE(saveChangedHostList(a.list, a.known));
    b.list.hosts.push_back(host("127.0.0.88", true));
    ASSERT_TRUE(saveChangedHostList(b.list, b.known));
    a.list.hosts[2].running = true; // and A exits with .77 running
    ASSERT_TRUE(saveChangedHostList(a.list, a.known));
    EXPECT_EQ(hostsInFile(), (std::vector<std::string>{"x.example", "Y.example", "127.0.0.77", "127.0.0.88"}));

    // A removes x; B, which still lists x, edits y (typed in another case) and saves: x stays removed, .77 is
    // kept although B never listed it, and B's edit lands on y.
    a.list.hosts.erase(a.list.hosts.begin());
    ASSERT_TRUE(saveChangedHostList(a.list, a.known));
    b.list.hosts[1].settings.host = "y.EXAMPLE";
    b.list.hosts[1].settings.interval = 5000;
    ASSERT_TRUE(saveChangedHostList(b.list, b.known));
    const StoredHostList now = loaded();
    ASSERT_EQ(hostsInFile(), (std::vector<std::string>{"y.EXAMPLE", "127.0.0.77", "127.0.0.88"}));
    EXPECT_EQ(now.hosts[0].settings.interval, 5000);
    EXPECT_TRUE(now.hosts[1].running);
    EXPECT_TRUE(now.hosts[2].running);

    // An address is the same host however it is written; B stopping .77 meanwhile does not bring back what A
    // removed, and A's edit of a host B removed outlives the removal.
    b.list = loaded(&b.known);
    a.list.hosts[1].settings.host = "127.000.000.077"; // not an address to inet_pton: a name of its own
    a.list.hosts[0].settings.buffer = 64;
    b.list.hosts.erase(b.list.hosts.begin()); // y
    b.list.hosts[0].running = false;
    ASSERT_TRUE(saveChangedHostList(b.list, b.known));
    ASSERT_TRUE(saveChangedHostList(a.list, a.known));
    ASSERT_EQ(hostsInFile(), (std::vector<std::string>{"Y.example", "127.000.000.077", "127.0.0.88"}));
    EXPECT_EQ(loaded().hosts[0].settings.buffer, 64);
}

// Two programs saving at the same moment take turns, each merging into what the other has just written.
TEST_F(HostListStore, InstancesSavingAtOnceLoseNothing) {
    writeFile("[General]\nHost=main.example\n");
    constexpr int kRounds = 30;
    std::vector<pid_t> children;
    for (int c = 0; c < 2; ++c) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            StoredTexts known;
            StoredHostList list = loaded(&known);
            for (int i = 0; i < kRounds; ++i) {
                list.hosts.push_back(host("c" + std::to_string(c) + "-" + std::to_string(i) + ".example", i % 2 == 0));
                if (!saveChangedHostList(list, known))
                    _exit(1);
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (const pid_t pid : children) {
        int status = -1;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                ADD_FAILURE() << "a saving instance did not end";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    const StoredHostList now = loaded();
    EXPECT_EQ(now.hosts.size(), 2U * kRounds) << readFile();
    std::size_t running = 0;
    for (const StoredHost& h : now.hosts)
        running += h.running ? 1 : 0;
    EXPECT_EQ(running, std::size_t{kRounds});
}

// A file holding one host twice (or the main host again) watches the first; the repeats are named on stderr and
// stay in the file as they are until the user changes the list.
TEST_F(HostListStore, RepeatedHostsAreReadOnceAndKeptUntilTheListChanges) {
    const std::string file = "[General]\nHost=Main.example\n\n[Hosts]\n1\\Host=a.example\n"
                             "2\\Host=A.EXAMPLE\n2\\Buffer=99\n3\\Host=main.example\n4\\Host=::1\n"
                             "5\\Host=0:0::1\n6\\Host=b.example\nsize=6\n";
    writeFile(file);
    StoredTexts known;
    testing::internal::CaptureStderr();
    StoredHostList list = loaded(&known);
    const std::string said = testing::internal::GetCapturedStderr();
    ASSERT_EQ(list.hosts.size(), 3U);
    EXPECT_EQ(list.hosts[0].settings.host, "a.example");
    EXPECT_EQ(list.hosts[1].settings.host, "::1");
    EXPECT_EQ(list.hosts[2].settings.host, "b.example");
    EXPECT_EQ(said, "ostrevo: host list entry 2 (A.EXAMPLE) repeats entry 1 and is not watched\n"
                    "ostrevo: host list entry 3 (main.example) is the main host and is not watched\n"
                    "ostrevo: host list entry 5 (0:0::1) repeats entry 4 and is not watched\n");

    ASSERT_TRUE(saveChangedHostList(list, known));
    EXPECT_EQ(readFile(), file);
    list.hosts[2].running = true; // starting a host is no change of the list
    ASSERT_TRUE(saveChangedHostList(list, known));
    EXPECT_NE(readFile().find("2\\Buffer=99"), std::string::npos) << readFile();

    list.hosts.erase(list.hosts.begin() + 1);
    ASSERT_TRUE(saveChangedHostList(list, known));
    EXPECT_EQ(loaded(), list);
    const std::string text = readFile();
    EXPECT_NE(text.find("size=2\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Buffer=99"), std::string::npos) << text;
}

TEST_F(HostListStore, NothingChangedLeavesTheFileAlone) {
    StoredHostList list;
    list.hosts = {host("a.example", true)};
    StoredTexts known;
    ASSERT_TRUE(saveChangedHostList(list, known));
    struct stat before {};
    ASSERT_EQ(stat(file_.c_str(), &before), 0);
    StoredTexts reread;
    const StoredHostList again = loaded(&reread);
    ASSERT_TRUE(saveChangedHostList(again, reread));
    struct stat after {};
    ASSERT_EQ(stat(file_.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
}

} // namespace
