#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "settings/SettingsStore.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

class SettingsStoreRegression : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_CONFIG_HOME", home_.path().c_str(), 1);
        setenv("HOME", home_.path().c_str(), 1);
        fs::create_directories(folder_);
    }

    // Each write gets a time of its own, so that QSettings' cache cannot mistake it for the previous file.
    void writeFile(const std::string& content) const {
        std::ofstream(file_, std::ios::binary | std::ios::trunc) << content;
        static int edits = 0;
        const timespec times[2] = {{0, UTIME_NOW}, {time(nullptr) + 10 * ++edits, 0}};
        utimensat(AT_FDCWD, file_.c_str(), times, 0);
    }
    [[nodiscard]] std::string readFile() const {
        std::ifstream in(file_, std::ios::binary);
        std::stringstream buffer;
        buffer << in.rdbuf();
        return buffer.str();
    }

    TempDir home_;
    const std::string folder_ = home_.path() + "/Quorvan Corporation";
    const std::string file_ = folder_ + "/Ostrevo.conf";
};

// A hand edit that leaves a section line open makes QSettings report a format error for good, also after it
// has replaced the file: the save used to print "cannot save ... the previous file is kept" and give false
// although the new file was in place.
TEST_F(SettingsStoreRegression, SaveOverAFileThatDidNotParseIsReportedAsDone) {
    for (const std::string broken : {"[General\nHost=abc\nTries=5\n", "Host=abc\n[\nTries=5\n", "[\n9"}) {
        writeFile(broken);
        Settings s;
        loadSettings(s);
        s.tries = 9;
        EXPECT_TRUE(saveSettings(s)) << broken;
        EXPECT_NE(readFile().find("Tries=9"), std::string::npos) << broken;
    }
}

// ...while a save over such a file that really fails (a read-only mount, which binds root too) is still
// reported, in a child so that the mount namespace stays out of this process.
TEST_F(SettingsStoreRegression, FailedSaveOverAFileThatDidNotParseIsStillReported) {
    writeFile("[General\nBuffer=64\n");
    const std::string before = readFile();
    const pid_t child = fork();
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(folder_.c_str(), folder_.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            mount(nullptr, folder_.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            _exit(3);
        Settings s;
        s.tries = 9;
        _exit(saveSettings(s) ? 1 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3)
        GTEST_SKIP() << "cannot make a read-only mount here (needs root or a user namespace)";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the failed save was reported as done";
    EXPECT_EQ(readFile(), before);
}

} // namespace
