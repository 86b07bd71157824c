#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <QByteArray>
#include <QFile>
#include <QString>

#include "app/AutostartEntry.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string execOf(const std::string& entry) {
    std::istringstream lines(entry);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("Exec=", 0) == 0)
            return line.substr(5);
    return {};
}

// A private home and PATH for each test; the entry's place follows the environment at the time of the call.
class AutostartEntryTest : public testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "PATH"}) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
        setenv("HOME", dir_.path().c_str(), 1);
        unsetenv("XDG_CONFIG_HOME");
        fs::create_directories(dir_.file("bin"));
        setenv("PATH", (dir_.file("bin") + ":/usr/bin:/bin").c_str(), 1);
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }
    std::string makeProgram(const std::string& relative) {
        const std::string path = dir_.file(relative);
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << "#!/bin/sh\n";
        fs::permissions(path, fs::perms::owner_all);
        return path;
    }

    TempDir dir_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(AutostartEntryTest, TheEntryLivesUnderTheConfigHomeWhenItIsAnAbsolutePath) {
    struct Case {
        const char* xdgConfigHome; // nullptr: unset
        std::string expected;
    };
    const Case cases[] = {
        {nullptr, dir_.file(".config/autostart/ostrevo.desktop")},
        {"", dir_.file(".config/autostart/ostrevo.desktop")},
        {"relative/config", dir_.file(".config/autostart/ostrevo.desktop")},
        {"/elsewhere/cfg", "/elsewhere/cfg/autostart/ostrevo.desktop"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.xdgConfigHome ? c.xdgConfigHome : "(unset)");
        if (c.xdgConfigHome)
            setenv("XDG_CONFIG_HOME", c.xdgConfigHome, 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(AutostartEntry::path().toStdString(), c.expected);
    }
}

TEST_F(AutostartEntryTest, WrittenEntriesRunTheProgramAndPassTheValidator) {
    const std::string onPath = makeProgram("bin/ostrevo");
    struct Case {
        std::string program;
        std::string exec;
    };
    const Case cases[] = {
        // The one on PATH is named plainly, through a symlink too, so that an upgrade keeps the entry working.
        {onPath, "ostrevo --autostart"},
        {dir_.file("bin/../bin/ostrevo"), "ostrevo --autostart"},
        {makeProgram("build/app/ostrevo"), dir_.file("build/app/ostrevo") + " --autostart"},
        // Reserved characters quote the argument; ", `, $ and \ are escaped inside, and the backslashes
        // doubled again by the file's own escapes; a % would start a field code.
        {makeProgram("my build/app/ostrevo"), "\"" + dir_.file("my build/app/ostrevo") + "\" --autostart"},
        {makeProgram("a$b\"c`d\\e%f/ostrevo"),
         "\"" + dir_.path() + "/a\\\\$b\\\\\"c\\\\`d\\\\\\\\e%%f/ostrevo\" --autostart"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        ASSERT_EQ(AutostartEntry::install(QString::fromStdString(c.program)), QString());
        ASSERT_TRUE(AutostartEntry::exists());
        const std::string entry = readFile(AutostartEntry::path().toStdString());
        EXPECT_EQ(execOf(entry), c.exec);
        const std::string validate = "desktop-file-validate '" + AutostartEntry::path().toStdString() + "'";
        EXPECT_EQ(std::system(validate.c_str()), 0) << entry;
    }
}

TEST_F(AutostartEntryTest, RemovingTakesTheEntryAwayAndAMissingEntryIsNoError) {
    ASSERT_EQ(AutostartEntry::install(QString::fromStdString(makeProgram("bin/ostrevo"))), QString());
    EXPECT_EQ(AutostartEntry::remove(), QString());
    EXPECT_FALSE(AutostartEntry::exists());
    EXPECT_FALSE(fs::exists(dir_.file(".config/autostart/ostrevo.desktop")));
    EXPECT_EQ(AutostartEntry::remove(), QString());
}

TEST_F(AutostartEntryTest, AnEntryThatCannotBeWrittenOrRemovedIsReportedWithItsPath) {
    const QString program = QString::fromStdString(makeProgram("bin/ostrevo"));
    const std::string entry = dir_.file(".config/autostart/ostrevo.desktop");

    // The autostart folder is a file: the folder cannot be made.
    fs::create_directories(dir_.file(".config"));
    std::ofstream(dir_.file(".config/autostart")) << "not a folder";
    QString error = AutostartEntry::install(program);
    EXPECT_TRUE(error.startsWith(QStringLiteral("Can't write the autostart entry ") + QString::fromStdString(entry)))
        << error.toStdString();
    EXPECT_FALSE(AutostartEntry::exists());

    // The entry's name is taken by a folder with something in it: neither written nor removed.
    fs::remove(dir_.file(".config/autostart"));
    fs::create_directories(entry + "/keep");
    error = AutostartEntry::install(program);
    EXPECT_TRUE(error.startsWith(QStringLiteral("Can't write the autostart entry ") + QString::fromStdString(entry)))
        << error.toStdString();
    error = AutostartEntry::remove();
    EXPECT_TRUE(error.startsWith(QStringLiteral("Can't remove the autostart entry ") + QString::fromStdString(entry)))
        << error.toStdString();
    EXPECT_TRUE(fs::exists(entry + "/keep"));
}

} // namespace
