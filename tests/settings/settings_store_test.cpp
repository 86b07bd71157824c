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

#include "settings/CommonFn.h"
#include "settings/SettingsStore.h"
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
const ConfigHome& Home() {
    static ConfigHome home;
    return home;
}
const bool kHomeReady = (Home(), true);

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kHomeReady);
        folder_ = Home().dir.path() + "/Quorvan Corporation";
        file_ = folder_ + "/Ostrevo.conf";
        Restore();
        fs::remove_all(folder_);
    }
    void TearDown() override {
        Restore();
        fs::remove_all(folder_);
    }

    void WriteFile(const std::string& content) {
        fs::create_directories(folder_);
        std::ofstream(file_, std::ios::binary | std::ios::trunc) << content;
        // The kernel stamps files from a coarse clock, so two quick rewrites of the same size can look
        // unchanged to QSettings' cache. A real edit by another program lies further apart: mimic that.
        static int edits = 0;
        timespec times[2] = {{0, UTIME_NOW}, {time(nullptr) + 10 * ++edits, 0}};
        utimensat(AT_FDCWD, file_.c_str(), times, 0);
    }
    [[nodiscard]] std::string ReadFile() const {
        std::ifstream in(file_, std::ios::binary);
        std::stringstream buffer;
        buffer << in.rdbuf();
        return buffer.str();
    }
    // Undo chmod 000 so that the folder can be removed.
    void Restore() const {
        std::error_code ec;
        if (fs::exists(folder_, ec))
            fs::permissions(folder_, fs::perms::owner_all, ec);
        if (fs::exists(file_, ec))
            fs::permissions(file_, fs::perms::owner_read | fs::perms::owner_write, ec);
    }
    static Settings Loaded() {
        Settings s;
        LoadSettings(s, {});
        return s;
    }
    static Settings Custom() {
        Settings s;
        s.Host = "Gateway.Example";
        s.RecentList = "a.example\r\nb.example\r\n";
        s.ResolveIP = true;
        s.Interval = 30000;
        s.Buffer = 100000;
        s.AnalizeMode = 2;
        s.Tries = 128;
        s.MinPercent = 0;
        s.MaxPercent = 100;
        s.MinTime = 7;
        s.MaxTime = 2147483647;
        s.LogLevel = 2;
        s.LogAppend = true;
        s.LogFileName = "/var/tmp/ostrevo, \"the log\"; v2.log";
        s.SndStart = "/usr/share/sounds/up.wav";
        s.SndStop = "@down.wav";
        s.AppFileName = "/usr/bin/notify-send";
        s.AppMode = 7;
        s.AppParams = "-u critical \"%address% is %status%\" ; %responce%=%code%";
        return s;
    }

    std::string folder_;
    std::string file_;
};

TEST_F(SettingsStore, FirstStartGivesDefaultsAndCreatesNothing) {
    Settings s = Custom();
    LoadSettings(s, {});
    EXPECT_EQ(s, Settings{});
    EXPECT_FALSE(fs::exists(folder_));
    EXPECT_EQ(ReadRegString(SettingsKey, "Host"), "");
    EXPECT_FALSE(fs::exists(folder_));
}

TEST_F(SettingsStore, EveryFieldRoundTrips) {
    Settings saved = Custom();
    saved.RecentList.clear();
    for (int i = 0; saved.RecentList.size() < 5000; ++i)
        saved.RecentList += "host-" + std::to_string(i) + ".example.org\r\n";
    saved.SndStart = "/home/u/Kl\xe4nge/up.wav";      // Latin-1 bytes, not UTF-8
    saved.SndStop = "/home/u/Kl\xc3\xa4nge/down.wav"; // UTF-8
    SaveSettings(saved);
    ASSERT_TRUE(fs::exists(file_));
    EXPECT_EQ(Loaded(), saved);
}

TEST_F(SettingsStore, SavedFileMatchesGolden) {
    Settings s = Custom();
    s.LogFileName.clear();
    SaveSettings(s);
    const char* source = std::getenv("OSTREVO_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    std::ifstream golden(std::string(source) + "/tests/settings/golden/Ostrevo.conf", std::ios::binary);
    ASSERT_TRUE(golden.good());
    std::stringstream expected;
    expected << golden.rdbuf();
    EXPECT_EQ(ReadFile(), expected.str());
}

TEST_F(SettingsStore, WritesSecondsYesNoAndEmptyPaths) {
    Settings s;
    s.ResolveIP = true;
    SaveSettings(s);
    EXPECT_EQ(ReadRegString(SettingsKey, "Interval"), "10");
    EXPECT_EQ(ReadRegString(SettingsKey, "ResolveIP"), "Yes");
    EXPECT_EQ(ReadRegString(SettingsKey, "LogAppend"), "No");
    EXPECT_NE(ReadFile().find("\nLogFileName=\n"), std::string::npos) << ReadFile();
}

TEST_F(SettingsStore, EmptyHostAndRecentListKeepStoredOnesWhileEmptyPathsReplace) {
    SaveSettings(Custom());
    Settings s = Custom();
    s.Host.clear();
    s.RecentList.clear();
    s.LogFileName.clear();
    SaveSettings(s);
    Settings loaded = Loaded();
    EXPECT_EQ(loaded.Host, Custom().Host);
    EXPECT_EQ(loaded.RecentList, Custom().RecentList);
    EXPECT_EQ(loaded.LogFileName, "");
}

TEST_F(SettingsStore, LongValuesReadBackWholeAndTouchNothingElse) {
    WriteRegString(SettingsKey, "Host", "kept.example");
    for (std::size_t length : {1023u, 1024u, 1025u, 5000u, 70000u}) {
        std::string text(length, 'r');
        WriteRegString(SettingsKey, "RecentList", text);
        EXPECT_EQ(ReadRegString(SettingsKey, "RecentList"), text) << length;
    }
    EXPECT_EQ(ReadRegString(SettingsKey, "Host"), "kept.example");
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
        WriteRegString(SettingsKey, "AppParams", text);
        EXPECT_EQ(ReadRegString(SettingsKey, "AppParams"), text) << text;
    }
    WriteRegString(SettingsKey, "AppParams", "h\xc3\xa9llo");
    EXPECT_NE(ReadFile().find("AppParams=h\xc3\xa9llo"), std::string::npos) << ReadFile();
}

TEST_F(SettingsStore, LoadSeesChangesMadeByOthers) {
    WriteFile("[General]\nBuffer=64\n");
    EXPECT_EQ(Loaded().Buffer, 64);
    WriteFile("[General]\nBuffer=65\n"); // same size, possibly the same second
    EXPECT_EQ(Loaded().Buffer, 65);
    fs::remove(file_);
    EXPECT_EQ(Loaded().Buffer, 32);
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
        WriteFile(std::string("[General]\r\n") + c.line + "\r\n");
        EXPECT_EQ(ReadRegString(SettingsKey, c.name), c.expected) << c.line;
        Settings s = Loaded(); // and the loader copes with it
        (void)s;
    }
    WriteFile("[General]\nLogAppend=TRUE\nResolveIP=\"Yes \"\nMinPercent=\"150\"\nMaxPercent=60\n");
    Settings s = Loaded();
    EXPECT_TRUE(s.LogAppend);
    EXPECT_FALSE(s.ResolveIP);
    EXPECT_EQ(s.MinPercent, 60);
    EXPECT_EQ(s.MaxPercent, 100);
}

TEST_F(SettingsStore, BrokenFilesLoadFieldByField) {
    struct BrokenFile {
        std::string content;
        Settings expected;
    };
    Settings partial;
    partial.Buffer = 64;
    const BrokenFile cases[] = {
        {"this is not an ini file at all\n\n=\n[[[\n", Settings{}},
        {std::string("\x00\x01\xff\xfe[General\x00Buffer=\x00", 16) + std::string(3000, '\x00'), Settings{}},
        {"[General]\nBuffer=64\nInterv", partial},
        {"[General]\nBuffer=64\nHost=\"unterminated",
         [] {
             Settings s;
             s.Buffer = 64;
             s.Host = "unterminated";
             return s;
         }()},
        {"[Other]\nBuffer=64\n", Settings{}},
    };
    for (const auto& c : cases) {
        WriteFile(c.content);
        EXPECT_EQ(Loaded(), c.expected) << c.content.substr(0, 40);
    }
    std::string binary(65536, '\0');
    unsigned state = 12345;
    for (char& byte : binary) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 16);
    }
    WriteFile(binary);
    Settings s = Loaded();
    EXPECT_LE(s.AnalizeMode, 2);
    EXPECT_GE(s.Interval, 1000);
}

TEST_F(SettingsStore, UnreadableStoreLoadsDefaultsAndUnwritableOneIsSilent) {
    const bool root = geteuid() == 0;
    if (root) {
        fs::create_directories(file_); // a folder where the file should be: unreadable even for root
    } else {
        WriteFile("[General]\nBuffer=64\n");
        fs::permissions(file_, fs::perms::none);
        fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
    }
    // QSettings keeps changes it failed to write in a per-process cache; a child keeps them out of this
    // process and its later tests.
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        int failures = 0;
        failures += Loaded() == Settings{} ? 0 : 1;
        SaveSettings(Custom()); // nothing reported, nothing thrown
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the unreadable store did not load as defaults";
    if (root) {
        EXPECT_TRUE(fs::is_directory(file_));
    } else {
        Restore();
        EXPECT_EQ(ReadFile(), "[General]\nBuffer=64\n");
    }
}

TEST_F(SettingsStore, HookRunsBetweenLogFileNameAndSndStart) {
    SaveSettings(Custom());
    Settings s;
    s.SndStart = s.SndStop = s.AppFileName = s.AppParams = s.Host = s.RecentList = "not yet";
    s.AppMode = 3;
    int calls = 0;
    LoadSettings(s, [&] {
        ++calls;
        EXPECT_EQ(s.LogLevel.load(), 2);
        EXPECT_TRUE(s.LogAppend);
        EXPECT_EQ(s.LogFileName, Custom().LogFileName);
        EXPECT_EQ(s.MaxTime, Custom().MaxTime);
        EXPECT_EQ(s.SndStart, "not yet");
        EXPECT_EQ(s.AppMode, 3);
        EXPECT_EQ(s.Host, "not yet");
        EXPECT_EQ(s.RecentList, "not yet");
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(s, Custom());
}

TEST(GetFileVersionString, OwnExecutableHasTheProgramVersion) {
    char self[4096] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    EXPECT_EQ(GetFileVersionString(self), "2.2.2.58");
    EXPECT_EQ(GetFileVersionString("/bin/sh"), "1.0.0.0");
    EXPECT_EQ(GetFileVersionString("/no/such/file"), "1.0.0.0");
    EXPECT_EQ(GetFileVersionString(""), "1.0.0.0");
}

} // namespace
