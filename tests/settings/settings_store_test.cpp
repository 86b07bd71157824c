#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "settings/SettingsFields.h"
#include "settings/SettingsStore.h"
#include "settings/StoredValues.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// QSettings takes the configuration folder from the environment once, at its first use: point it at a
// private folder before any test runs.
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
const bool kHomeReady = (home(), true);

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kHomeReady);
        folder_ = home().dir.path() + "/Quorvan Corporation";
        file_ = folder_ + "/Ostrevo.conf";
        restore();
        fs::remove_all(folder_);
    }
    void TearDown() override {
        restore();
        fs::remove_all(folder_);
    }

    void writeFile(const std::string& content) {
        fs::create_directories(folder_);
        std::ofstream(file_, std::ios::binary | std::ios::trunc) << content;
        // The kernel stamps files from a coarse clock, so two quick rewrites of the same size can look
        // unchanged to QSettings' cache. A real edit by another program lies further apart: mimic that.
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
    // Undo chmod 000 so that the folder can be removed.
    void restore() const {
        std::error_code ec;
        if (fs::exists(folder_, ec))
            fs::permissions(folder_, fs::perms::owner_all, ec);
        if (fs::exists(file_, ec))
            fs::permissions(file_, fs::perms::owner_read | fs::perms::owner_write, ec);
    }
    static Settings loadedSettings() {
        Settings s;
        loadSettings(s, {});
        return s;
    }
    static Settings custom() {
        Settings s;
        s.host = "Gateway.Example";
        s.recentList = "a.example\r\nb.example\r\n";
        s.resolveIp = true;
        s.interval = 30000;
        s.buffer = 100000;
        s.analysisMode = AnalysisMode::Time;
        s.tries = 128;
        s.minPercent = 0;
        s.maxPercent = 100;
        s.minTime = 7;
        s.maxTime = 2147483647;
        s.logLevel = LogLevel::EveryRequest;
        s.logAppend = true;
        s.logFileName = "/var/tmp/ostrevo, \"the log\"; v2.log";
        s.startSound = "/usr/share/sounds/up.wav";
        s.stopSound = "@down.wav";
        s.appFileName = "/usr/bin/notify-send";
        s.appMode = 7;
        s.appParams = "-u critical \"%address% is %status%\" ; %responce%=%code%";
        s.historyDays = 7;
        s.routeRounds = 3;
        s.metricsListen = "[::1]:9464";
        s.notify = false;
        s.autostart = true;
        return s;
    }

    std::string folder_;
    std::string file_;
};

TEST_F(SettingsStore, FirstStartGivesDefaultsAndCreatesNothing) {
    Settings s = custom();
    loadSettings(s, {});
    EXPECT_EQ(s, Settings{});
    EXPECT_FALSE(fs::exists(folder_));
    EXPECT_EQ(readStoredValue(SettingsKey, "Host"), "");
    EXPECT_FALSE(fs::exists(folder_));
}

TEST_F(SettingsStore, EveryFieldRoundTrips) {
    Settings saved = custom();
    saved.recentList.clear();
    for (int i = 0; saved.recentList.size() < 5000; ++i)
        saved.recentList += "host-" + std::to_string(i) + ".example.org\r\n";
    saved.startSound = "/home/u/Kl\xe4nge/up.wav";      // Latin-1 bytes, not UTF-8
    saved.stopSound = "/home/u/Kl\xc3\xa4nge/down.wav"; // UTF-8
    saveSettings(saved);
    ASSERT_TRUE(fs::exists(file_));
    EXPECT_EQ(loadedSettings(), saved);
}

TEST_F(SettingsStore, SavedFileMatchesGolden) {
    Settings s = custom();
    s.logFileName.clear();
    saveSettings(s);
    const char* source = std::getenv("OSTREVO_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    std::ifstream golden(std::string(source) + "/tests/settings/golden/Ostrevo.conf", std::ios::binary);
    ASSERT_TRUE(golden.good());
    std::stringstream expected;
    expected << golden.rdbuf();
    EXPECT_EQ(readFile(), expected.str());
}

TEST_F(SettingsStore, WritesSecondsYesNoAndEmptyPaths) {
    Settings s;
    s.resolveIp = true;
    saveSettings(s);
    EXPECT_EQ(readStoredValue(SettingsKey, "Interval"), "10");
    EXPECT_EQ(readStoredValue(SettingsKey, "ResolveIP"), "Yes");
    EXPECT_EQ(readStoredValue(SettingsKey, "LogAppend"), "No");
    EXPECT_NE(readFile().find("\nLogFileName=\n"), std::string::npos) << readFile();
}

TEST_F(SettingsStore, EmptyHostAndRecentListKeepStoredOnesWhileEmptyPathsReplace) {
    saveSettings(custom());
    Settings s = custom();
    s.host.clear();
    s.recentList.clear();
    s.logFileName.clear();
    saveSettings(s);
    Settings loaded = loadedSettings();
    EXPECT_EQ(loaded.host, custom().host);
    EXPECT_EQ(loaded.recentList, custom().recentList);
    EXPECT_EQ(loaded.logFileName, "");
}

TEST_F(SettingsStore, LongValuesReadBackWholeAndTouchNothingElse) {
    writeStoredValue(SettingsKey, "Host", "kept.example");
    for (std::size_t length : {1023u, 1024u, 1025u, 5000u, 70000u}) {
        std::string text(length, 'r');
        writeStoredValue(SettingsKey, "RecentList", text);
        EXPECT_EQ(readStoredValue(SettingsKey, "RecentList"), text) << length;
    }
    EXPECT_EQ(readStoredValue(SettingsKey, "Host"), "kept.example");
}

TEST_F(SettingsStore, TextsAreUtf8AndOtherBytesRoundTripUnchanged) {
    const std::string texts[] = {"h\xc3\xa9llo",
                                 "\xff\xfe\x80 raw",
                                 std::string("nul\0inside", 10),
                                 "@@odd",
                                 "tab\tcr\r\nlf",
                                 " edge blanks ",
                                 "\xef\xbb\xbf"
                                 "bom",
                                 ""};
    for (const std::string& text : texts) {
        writeStoredValue(SettingsKey, "AppParams", text);
        EXPECT_EQ(readStoredValue(SettingsKey, "AppParams"), text) << text;
    }
    writeStoredValue(SettingsKey, "AppParams", "h\xc3\xa9llo");
    EXPECT_NE(readFile().find("AppParams=h\xc3\xa9llo"), std::string::npos) << readFile();
}

TEST_F(SettingsStore, LoadSeesChangesMadeByOthers) {
    writeFile("[General]\nBuffer=64\n");
    EXPECT_EQ(loadedSettings().buffer, 64);
    writeFile("[General]\nBuffer=65\n"); // same size, possibly the same second
    EXPECT_EQ(loadedSettings().buffer, 65);
    fs::remove(file_);
    EXPECT_EQ(loadedSettings().buffer, 32);
}

struct HandEdit {
    const char* line;
    const char* name;
    const char* expected;
};

TEST_F(SettingsStore, HandEditedValuesReadAsText) {
    const HandEdit cases[] = {
        {"AppParams=%address%, %status%,x", "AppParams", "%address%,%status%,x"}, // a list, joined again
        {"AppParams=\"%address%, %status%\"", "AppParams", "%address%, %status%"},
        {"AppParams=a;b", "AppParams", "a"}, // ";" starts a comment in an INI file
        {"AppParams=\"a;b\"", "AppParams", "a;b"},
        {"AppParams=\"say \\\"hi\\\"\"", "AppParams", "say \"hi\""},
        {"Host=  padded.example  ", "Host", "padded.example"},
        {"Host=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\0)", "Host", ""},
        {"Host=@Rect(1 2 3 4)", "Host", ""},
        {"Host=@ByteArray(bytes)", "Host", "bytes"},
        {"Host=\xff\xfe", "Host", "\xef\xbf\xbd\xef\xbf\xbd"}, // invalid UTF-8 typed into the file
        {"LogAppend=TRUE", "LogAppend", "TRUE"},
    };
    for (const auto& c : cases) {
        writeFile(std::string("[General]\r\n") + c.line + "\r\n");
        EXPECT_EQ(readStoredValue(SettingsKey, c.name), c.expected) << c.line;
        Settings s = loadedSettings(); // and the loader copes with it
        (void)s;
    }
    writeFile("[General]\nLogAppend=TRUE\nResolveIP=\"Yes \"\nMinPercent=\"150\"\nMaxPercent=60\n");
    Settings s = loadedSettings();
    EXPECT_TRUE(s.logAppend);
    EXPECT_FALSE(s.resolveIp);
    EXPECT_EQ(s.minPercent, 60);
    EXPECT_EQ(s.maxPercent, 100);
}

// Notifications are on unless the user turned them off: a file from before the switch existed, or a value
// emptied by hand, must not silence them; autostart is the other way round.
TEST_F(SettingsStore, DesktopSwitchesFallBackToTheirOwnDefaults) {
    struct Case {
        const char* file;
        bool notify;
        bool autostart;
    };
    const Case cases[] = {
        {"[General]\nHost=a\n", true, false},
        {"[General]\nNotify=\nAutostart=\n", true, false},
        {"[General]\nNotify=No\nAutostart=Yes\n", false, true},
        {"[General]\nNotify=0\nAutostart=TRUE\n", false, true},
        {"[General]\nNotify=off\nAutostart=1\n", false, true},
        {"[General]\nNotify=\" yes \"\nAutostart=\" \"\n", true, false},
    };
    for (const Case& c : cases) {
        writeFile(c.file);
        const Settings s = loadedSettings();
        EXPECT_EQ(s.notify, c.notify) << c.file;
        EXPECT_EQ(s.autostart, c.autostart) << c.file;
    }
}

TEST_F(SettingsStore, BrokenFilesLoadFieldByField) {
    struct BrokenFile {
        std::string content;
        Settings expected;
    };
    Settings partial;
    partial.buffer = 64;
    const BrokenFile cases[] = {
        {"this is not an ini file at all\n\n=\n[[[\n", Settings{}},
        {std::string("\x00\x01\xff\xfe[General\x00Buffer=\x00", 16) + std::string(3000, '\x00'), Settings{}},
        {"[General]\nBuffer=64\nInterv", partial},
        {"[General]\nBuffer=64\nHost=\"unterminated",
         [] {
             Settings s;
             s.buffer = 64;
             s.host = "unterminated";
             return s;
         }()},
        {"[Other]\nBuffer=64\n", Settings{}},
    };
    for (const auto& c : cases) {
        writeFile(c.content);
        EXPECT_EQ(loadedSettings(), c.expected) << c.content.substr(0, 40);
    }
    std::string binary(65536, '\0');
    unsigned state = 12345;
    for (char& byte : binary) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 16);
    }
    writeFile(binary);
    Settings s = loadedSettings();
    EXPECT_LE(static_cast<int>(s.analysisMode), 2);
    EXPECT_GE(s.interval, 1000);
}

// Runs `body` in a child process with its stderr in a file, so that QSettings' per-process cache of unsaved
// changes and any mount namespace stay out of this process. The child is killed if it blocks (a FIFO
// opened for reading waits for a writer forever). Gives the child's exit status and what it printed.
std::pair<int, std::string> inChild(const std::string& errFile, const std::function<int()>& body) {
    pid_t child = fork();
    if (child == 0) {
        alarm(60);
        int fd = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    std::ifstream in(errFile);
    std::stringstream err;
    err << in.rdbuf();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), err.str()};
}

// A save that cannot replace the file (a read-only folder; for root, which ignores permissions, a read-only
// mount of it) keeps the previous file whole and says so.
TEST_F(SettingsStore, FailedSaveKeepsThePreviousFileAndSaysSo) {
    writeFile("[General]\nBuffer=64\n");
    const std::string before = readFile();
    const bool root = geteuid() == 0;
    if (!root)
        fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
    auto [status, err] = inChild(home().dir.path() + "/err.txt", [&] {
        if (root && (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                     mount(folder_.c_str(), folder_.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
                     mount(nullptr, folder_.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0))
            return 3;
        return saveSettings(custom()) ? 1 : 0;
    });
    restore();
    if (status == 3)
        GTEST_SKIP() << "cannot make a read-only mount here";
    EXPECT_EQ(status, 0) << "the failed save was reported as done";
    EXPECT_NE(err.find("cannot save the settings to " + file_), std::string::npos) << err;
    EXPECT_EQ(readFile(), before);
}

// Start-up must not block on a FIFO, nor read a device or write over a folder: defaults, nothing touched,
// one line each on stderr.
TEST_F(SettingsStore, PathThatIsNoRegularFileIsNeitherReadNorWritten) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        fs::file_type type;
    };
    const Case cases[] = {
        {"FIFO", [](const std::string& path) { mkfifo(path.c_str(), 0600); }, fs::file_type::fifo},
        {"folder", [](const std::string& path) { fs::create_directory(path); }, fs::file_type::directory},
        {"device behind a symlink", [](const std::string& path) { fs::create_symlink("/dev/null", path); },
         fs::file_type::character},
    };
    for (const Case& c : cases) {
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        c.make(file_);
        auto [status, err] = inChild(home().dir.path() + "/err.txt", [] {
            Settings s = custom();
            loadSettings(s);
            return (s == Settings{} ? 0 : 1) + (saveSettings(custom()) ? 2 : 0);
        });
        EXPECT_EQ(status, 0) << c.name << ": not defaults (1), saved (2) or blocked (142)";
        EXPECT_EQ(err, "ostrevo: " + file_ + " is not a regular file; settings are not read\n" + "ostrevo: " + file_ +
                           " is not a regular file; settings are not saved\n")
            << c.name;
        EXPECT_EQ(fs::status(file_).type(), c.type) << c.name;
        fs::remove_all(file_);
    }
}

// Dotfile managers keep the file elsewhere and link it here: the link is followed and its target replaced.
TEST_F(SettingsStore, SymlinkedFileIsReadAndItsTargetReplaced) {
    const std::string target = home().dir.path() + "/dotfiles/Ostrevo.conf";
    fs::create_directories(fs::path(target).parent_path());
    std::ofstream(target) << "[General]\nBuffer=64\n";
    fs::create_directories(folder_);
    fs::create_symlink(target, file_);
    EXPECT_EQ(loadedSettings().buffer, 64);
    EXPECT_TRUE(saveSettings(custom()));
    EXPECT_TRUE(fs::is_symlink(file_));
    EXPECT_EQ(loadedSettings(), custom());
    EXPECT_NE(readFile().find("Host=Gateway.Example"), std::string::npos) << readFile();
    fs::remove(target);
}

// One save is one replacement of the whole file (a temporary file renamed over it), never a series of
// rewrites nor a write into the file in place, so a crash leaves either the old or the new settings.
TEST_F(SettingsStore, OneSaveReplacesTheFileOnce) {
    Settings big = custom();
    big.appParams = std::string(1 << 20, 'p');
    for (const Settings& s : {custom(), big}) {
        fs::create_directories(folder_);
        const int watch = inotify_init1(IN_NONBLOCK);
        ASSERT_GE(watch, 0);
        ASSERT_GE(inotify_add_watch(watch, folder_.c_str(), IN_CREATE | IN_MOVED_TO | IN_MODIFY), 0);
        ASSERT_TRUE(saveSettings(s));
        int replaced = 0;
        int writtenInPlace = 0;
        alignas(inotify_event) char buffer[64 * 1024];
        for (ssize_t n; (n = ::read(watch, buffer, sizeof buffer)) > 0;) {
            for (char* at = buffer; at < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                if (event->len > 0 && std::string(event->name) == "Ostrevo.conf") {
                    replaced += (event->mask & (IN_CREATE | IN_MOVED_TO)) ? 1 : 0;
                    writtenInPlace += (event->mask & IN_MODIFY) ? 1 : 0;
                }
                at += sizeof(inotify_event) + event->len;
            }
        }
        close(watch);
        EXPECT_EQ(replaced, 1);
        EXPECT_EQ(writtenInPlace, 0);
        EXPECT_EQ(loadedSettings(), s);
    }
}

// Two instances on one file: each save writes only what that instance changed, over the file as it is then.
// The file that results is the starting one with both changes, and nothing else.
TEST_F(SettingsStore, TwoStoresEachSaveOnlyWhatTheyChanged) {
    saveSettings(custom());
    const std::string start = readFile();
    StoredTexts knownA;
    StoredTexts knownB;
    Settings a;
    Settings b;
    loadSettings(a, {}, &knownA);
    loadSettings(b, {}, &knownB);
    a.host = "first.example";
    ASSERT_TRUE(saveChangedSettings(a, knownA));
    b.buffer = 64;
    b.notify = true;
    ASSERT_TRUE(saveChangedSettings(b, knownB));
    // Each saves again at exit: nothing new, so nothing of the other's is undone.
    ASSERT_TRUE(saveChangedSettings(a, knownA));
    ASSERT_TRUE(saveChangedSettings(b, knownB));

    std::string expected = start;
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"Host=Gateway.Example", "Host=first.example"},
                                   {"Buffer=100000", "Buffer=64"},
                                   {"Notify=No", "Notify=Yes"}}) {
        const auto at = expected.find(from + "\n");
        ASSERT_NE(at, std::string::npos) << from;
        expected.replace(at, from.size(), to);
    }
    EXPECT_EQ(readFile(), expected);
}

// Pipes that let a test step two child processes through their load and their save in a chosen order.
struct Step {
    int fds[2] = {-1, -1};
    Step() { EXPECT_EQ(pipe(fds), 0); }
    ~Step() {
        close(fds[0]);
        close(fds[1]);
    }
    void signal() const { EXPECT_EQ(::write(fds[1], "x", 1), 1); }
    void wait() const {
        char c = 0;
        EXPECT_EQ(::read(fds[0], &c, 1), 1);
    }
};

TEST_F(SettingsStore, TwoProcessesEachSaveOnlyWhatTheyChanged) {
    writeFile("[General]\nHost=shared.example\nBuffer=100\nTries=200\nLogLevel=1\n");
    struct Instance {
        std::function<void(Settings&)> change;
        Step loaded, save;
        pid_t pid = -1;
    };
    Instance instances[2];
    instances[0].change = [](Settings& s) { s.host = "mine.example"; };
    instances[1].change = [](Settings& s) { s.logLevel = LogLevel::EveryRequest; };
    for (Instance& instance : instances) {
        instance.pid = fork();
        if (instance.pid == 0) {
            StoredTexts known;
            Settings s;
            loadSettings(s, {}, &known);
            instance.loaded.signal();
            instance.save.wait();
            instance.change(s);
            const bool saved = saveChangedSettings(s, known) && saveChangedSettings(s, known); // OK, then exit
            _exit(saved ? 0 : 1);
        }
        instance.loaded.wait();
    }
    for (Instance& instance : instances) {
        instance.save.signal();
        int status = 0;
        waitpid(instance.pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::string saved = readFile();
    for (const char* line : {"Host=mine.example\n", "LogLevel=2\n", "Buffer=100\n", "Tries=128\n", "Interval=10\n"})
        EXPECT_NE(saved.find(line), std::string::npos) << line << " in\n" << saved;
    // Tries 200 normalised to 128 on load counts as a change of each instance; all other values are written
    // by the first save, as values the file lacked.
    Settings expected;
    expected.host = "mine.example";
    expected.buffer = 100;
    expected.tries = 128;
    expected.logLevel = LogLevel::EveryRequest;
    EXPECT_EQ(loadedSettings(), expected);
}

// Nothing changed since the file was read: it is not written at all, so a comment or the order of a hand
// edit stays.
TEST_F(SettingsStore, SaveWithoutChangesLeavesTheFileByteForByte) {
    saveSettings(custom());
    writeFile("; kept by hand\n" + readFile());
    const std::string before = readFile();
    StoredTexts known;
    Settings s;
    loadSettings(s, {}, &known);
    EXPECT_TRUE(saveChangedSettings(s, known));
    EXPECT_EQ(readFile(), before);
    // An empty host does not count as a change: it never erases the stored one.
    s.host.clear();
    EXPECT_TRUE(saveChangedSettings(s, known));
    EXPECT_EQ(readFile(), before);
}

// Without a home folder the settings would land under /.config: neither read nor written, and said so.
TEST_F(SettingsStore, NoHomeMeansNoSettingsFileAndAMessage) {
    const bool rootConfigExisted = fs::exists("/.config/Quorvan Corporation");
    for (const char* value : {static_cast<const char*>(nullptr), "", "relative/home"}) {
        auto [status, err] = inChild(home().dir.path() + "/err.txt", [&] {
            if (value)
                setenv("HOME", value, 1);
            else
                unsetenv("HOME");
            setenv("XDG_CONFIG_HOME", "also/relative", 1);
            Settings s = custom();
            StoredTexts known;
            loadSettings(s, {}, &known);
            if (!storeFilePath(SettingsKey).empty())
                return 4;
            return (s == Settings{} ? 0 : 1) + (saveChangedSettings(custom(), known) ? 2 : 0);
        });
        EXPECT_EQ(status, 0) << (value ? value : "(unset)") << ": a path (4), not defaults (1) or saved (2)";
        EXPECT_EQ(err, "ostrevo: HOME is not set (nor XDG_CONFIG_HOME); settings are not read\n"
                       "ostrevo: HOME is not set (nor XDG_CONFIG_HOME); settings are not saved\n");
    }
    EXPECT_EQ(fs::exists("/.config/Quorvan Corporation"), rootConfigExisted);
}

// The store and the command line read the same table: every stored text, however odd, ends inside the
// field's limits, and what is written reads back as the same value.
TEST(SettingsFieldTable, ReadsStayInsideTheLimitsAndWritesReadBack) {
    const char* texts[] = {"",          "0",         "-1",  "1",   "2",   "3",   "7",           "100",
                           "101",       "128",       "129", "255", "256", "300", "-2147483648", "2147483647",
                           "$FFFFFFFF", "$80000000", "x",   " 5",  "5 "};
    for (const SettingsField& field : settingsFields()) {
        for (const char* text : texts) {
            Settings s;
            field.read(s, text);
            if (field.number) {
                EXPECT_GE(field.number(s), field.min) << field.key << " " << text;
                EXPECT_LE(field.number(s), field.max) << field.key << " " << text;
            }
            Settings again = s;
            field.read(again, field.write(s));
            EXPECT_EQ(again, s) << field.key << " " << text;
        }
    }
    EXPECT_EQ(settingsFields().size(), 34u);
}

TEST_F(SettingsStore, HookRunsBetweenLogFileNameAndSndStart) {
    saveSettings(custom());
    Settings s;
    s.startSound = s.stopSound = s.appFileName = s.appParams = s.host = s.recentList = "not yet";
    s.appMode = 3;
    int calls = 0;
    loadSettings(s, [&] {
        ++calls;
        EXPECT_EQ(s.logLevel, LogLevel::EveryRequest);
        EXPECT_TRUE(s.logAppend);
        EXPECT_EQ(s.logFileName, custom().logFileName);
        EXPECT_EQ(s.maxTime, custom().maxTime);
        EXPECT_EQ(s.startSound, "not yet");
        EXPECT_EQ(s.appMode, 3);
        EXPECT_EQ(s.host, "not yet");
        EXPECT_EQ(s.recentList, "not yet");
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(s, custom());
}

TEST(fileVersionString, OwnExecutableHasTheProgramVersion) {
    char self[4096] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    EXPECT_EQ(fileVersionString(self), "2.2.2.58");
    EXPECT_EQ(fileVersionString("/bin/sh"), "1.0.0.0");
    EXPECT_EQ(fileVersionString("/no/such/file"), "1.0.0.0");
    EXPECT_EQ(fileVersionString(""), "1.0.0.0");
}

} // namespace
