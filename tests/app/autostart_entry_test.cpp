#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <QByteArray>
#include <QCheckBox>
#include <QFile>
#include <QString>

#include "app/AutostartEntry.h"
#include "app/MainWindow.h"
#include "app/OptionsDialog.h"
#include "support/RecordingMessagePort.h"
#include "support/ScriptedEchoChannel.h"
#include "support/ScriptedHostResolver.h"
#include "support/TempDir.h"
#include "tests/app/AppTestSupport.h"

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

QCheckBox* autostartBox(OptionsDialog& dialog) {
    return dialog.findChild<QCheckBox*>(QStringLiteral("autostartCheck"));
}

// The check box of the options dialog, through OK as the user gives it, with the window's own wiring.
class AutostartOption : public AutostartEntryTest {
protected:
    static void SetUpTestSuite() { TestApp(); }

    void SetUp() override {
        AutostartEntryTest::SetUp();
        MainWindow::Services services;
        services.arguments = {"127.0.0.1"}; // nothing saved
        services.resolver = std::make_shared<ScriptedHostResolver>();
        services.channel = std::make_unique<ScriptedEchoChannel>();
        auto messages = std::make_unique<RecordingMessagePort>();
        messages_ = messages.get();
        services.messages = std::move(messages);
        services.runOptionsDialog = [this](OptionsDialog& dialog) {
            shownChecked_ = autostartBox(dialog)->isChecked();
            autostartBox(dialog)->setChecked(tick_);
            return int(QDialog::Accepted);
        };
        services.watchSignals = false;
        window_ = std::make_unique<MainWindow>(std::move(services));
    }
    void TearDown() override {
        window_.reset();
        AutostartEntryTest::TearDown();
    }

    void okWith(bool tick) {
        tick_ = tick;
        window_->openOptions();
    }

    std::string entry() const { return dir_.file(".config/autostart/ostrevo.desktop"); }

    RecordingMessagePort* messages_ = nullptr;
    std::unique_ptr<MainWindow> window_;
    bool tick_ = false;
    bool shownChecked_ = false;
};

TEST_F(AutostartOption, TickingWritesTheEntryAndUntickingRemovesIt) {
    okWith(true);
    EXPECT_TRUE(window_->settings().autostart);
    ASSERT_TRUE(fs::exists(entry()));
    EXPECT_TRUE(execOf(readFile(entry())).ends_with(" --autostart")) << readFile(entry());

    // Written again on every OK with the box ticked: an entry deleted behind the program's back comes back.
    fs::remove(entry());
    okWith(true);
    EXPECT_TRUE(shownChecked_);
    EXPECT_TRUE(fs::exists(entry()));

    okWith(false);
    EXPECT_FALSE(window_->settings().autostart);
    EXPECT_FALSE(fs::exists(entry()));
    EXPECT_TRUE(messages_->errors().empty());

    // With the setting already off, an entry of that name was made by hand and is left alone.
    std::ofstream(entry()) << "[Desktop Entry]\nType=Application\nName=mine\nExec=ostrevo /tray\n";
    okWith(false);
    EXPECT_TRUE(fs::exists(entry()));
    EXPECT_TRUE(messages_->errors().empty());
}

TEST_F(AutostartOption, AnEntryThatCannotBeWrittenIsReportedAndTheSettingStaysOff) {
    fs::create_directories(dir_.file(".config"));
    std::ofstream(dir_.file(".config/autostart")) << "not a folder";
    okWith(true);
    EXPECT_FALSE(window_->settings().autostart);
    ASSERT_EQ(messages_->errors().size(), 1u);
    EXPECT_EQ(messages_->errors()[0].caption, "Autostart - Error");
    EXPECT_EQ(messages_->errors()[0].text.rfind("Can't write the autostart entry " + entry() + ": ", 0), 0u)
        << messages_->errors()[0].text;

    // One that cannot be removed stays, and so does the setting that says it is there.
    fs::remove(dir_.file(".config/autostart"));
    okWith(true);
    ASSERT_TRUE(window_->settings().autostart);
    fs::remove(entry());
    fs::create_directories(entry() + "/keep");
    okWith(false);
    EXPECT_TRUE(window_->settings().autostart);
    ASSERT_EQ(messages_->errors().size(), 2u);
    EXPECT_EQ(messages_->errors()[1].text.rfind("Can't remove the autostart entry " + entry() + ": ", 0), 0u)
        << messages_->errors()[1].text;
}

} // namespace
