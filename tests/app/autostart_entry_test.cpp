#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <QByteArray>
#include <QCheckBox>
#include <QFile>
#include <QString>

#include "app/desktop/AutostartEntry.h"
#include "app/AppRoot.h"
#include "app/MainWindow.h"
#include "app/options/OptionsDialog.h"
#include "support/RecordingMessagePort.h"
#include "support/ScriptedHubSocket.h"
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

// A link at the entry's place (planted, or left by a dotfile manager) is replaced by the entry; whatever it
// points to is never written, and removing takes the link away, not its target.
TEST_F(AutostartEntryTest, AnEntryThatIsASymlinkIsReplacedNeverWrittenThrough) {
    const QString program = QString::fromStdString(makeProgram("bin/ostrevo"));
    const std::string entry = dir_.file(".config/autostart/ostrevo.desktop");
    const std::string target = dir_.file("precious.txt");
    std::ofstream(target) << "keep me\n";
    fs::create_directories(fs::path(entry).parent_path());
    fs::create_symlink(target, entry);
    ASSERT_TRUE(AutostartEntry::exists());

    EXPECT_EQ(AutostartEntry::install(program), QString());
    EXPECT_FALSE(fs::is_symlink(entry));
    EXPECT_TRUE(fs::is_regular_file(entry));
    EXPECT_EQ(execOf(readFile(entry)), "ostrevo --autostart");
    EXPECT_EQ(readFile(target), "keep me\n");

    fs::remove(entry);
    fs::create_symlink(target, entry);
    EXPECT_EQ(AutostartEntry::remove(), QString());
    EXPECT_FALSE(fs::exists(fs::symlink_status(entry)));
    EXPECT_EQ(readFile(target), "keep me\n");
    // Nothing of the temporary file is left beside the entry.
    EXPECT_TRUE(fs::is_empty(fs::path(entry).parent_path()));
}

// Qt takes an unset or empty HOME for the root folder; the entry must not land in /.config.
TEST_F(AutostartEntryTest, WithoutAHomeThereIsNoEntryAndWritingOneSaysWhy) {
    const QString program = QString::fromStdString(makeProgram("bin/ostrevo"));
    const bool rootEntryExisted = fs::exists("/.config/autostart/ostrevo.desktop");
    for (const char* home : {static_cast<const char*>(nullptr), "", "relative"}) {
        SCOPED_TRACE(home ? home : "(unset)");
        if (home)
            setenv("HOME", home, 1);
        else
            unsetenv("HOME");
        unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(AutostartEntry::path(), QString());
        EXPECT_FALSE(AutostartEntry::exists());
        const QString error = AutostartEntry::install(program);
        EXPECT_EQ(error,
                  QStringLiteral("Can't write the autostart entry: HOME is not set, so there is no folder for it."));
        EXPECT_EQ(AutostartEntry::remove(), QString());
        // An absolute XDG_CONFIG_HOME is enough on its own.
        setenv("XDG_CONFIG_HOME", dir_.file("cfg").c_str(), 1);
        EXPECT_EQ(AutostartEntry::install(program), QString());
        EXPECT_TRUE(fs::exists(dir_.file("cfg/autostart/ostrevo.desktop")));
        fs::remove_all(dir_.file("cfg"));
    }
    EXPECT_EQ(fs::exists("/.config/autostart/ostrevo.desktop"), rootEntryExisted);
}

QCheckBox* autostartBox(OptionsDialog& dialog) {
    return dialog.findChild<QCheckBox*>(QStringLiteral("autostartCheck"));
}

// The check box of the options dialog, through OK as the user gives it, with the window's own wiring. Started
// without arguments unless a test makes the window itself, so OK saves the settings under the private home.
class AutostartOption : public AutostartEntryTest {
protected:
    static void SetUpTestSuite() { TestApp(); }

    void makeWindow(std::vector<std::string> arguments) {
        AppRoot::Services services;
        services.arguments = std::move(arguments);
        services.resolver = std::make_shared<ScriptedHostResolver>();
        services.sockets = ScriptedNetwork().opener(); // a network where nothing answers
        auto messages = std::make_unique<RecordingMessagePort>();
        messages_ = messages.get();
        services.messages = std::move(messages);
        services.runOptionsDialog = [this](OptionsDialog& dialog) {
            shownChecked_ = autostartBox(dialog)->isChecked();
            autostartBox(dialog)->setChecked(tick_);
            return int(QDialog::Accepted);
        };
        services.watchSignals = false;
        services.historyPath = dir_.file("history.sqlite");
        window_ = std::make_unique<AppRoot>(std::move(services));
    }
    void TearDown() override {
        window_.reset();
        AutostartEntryTest::TearDown();
    }

    void okWith(bool tick) {
        if (!window_)
            makeWindow({});
        tick_ = tick;
        window_->mainWindow().openOptions();
    }

    std::string entry() const { return dir_.file(".config/autostart/ostrevo.desktop"); }
    std::string storedAutostart() const {
        const std::string stored = readFile(dir_.file(".config/Quorvan Corporation/Ostrevo.conf"));
        const auto at = stored.find("\nAutostart=");
        return at == std::string::npos ? std::string() : stored.substr(at + 11, stored.find('\n', at + 1) - at - 11);
    }

    RecordingMessagePort* messages_ = nullptr;
    std::unique_ptr<AppRoot> window_;
    bool tick_ = false;
    bool shownChecked_ = false;
};

TEST_F(AutostartOption, TickingWritesTheEntryAndUntickingRemovesIt) {
    okWith(true);
    EXPECT_FALSE(shownChecked_);
    EXPECT_TRUE(window_->settings().autostart);
    ASSERT_TRUE(fs::exists(entry()));
    EXPECT_TRUE(execOf(readFile(entry())).ends_with(" --autostart")) << readFile(entry());
    EXPECT_EQ(storedAutostart(), "Yes") << "saved on OK, not only at exit";

    // The box shows what the session will do: an entry deleted behind the program's back shows unticked,
    // and ticking it again writes it again.
    fs::remove(entry());
    okWith(true);
    EXPECT_FALSE(shownChecked_);
    EXPECT_TRUE(fs::exists(entry()));

    okWith(false);
    EXPECT_TRUE(shownChecked_);
    EXPECT_FALSE(window_->settings().autostart);
    EXPECT_FALSE(fs::exists(entry()));
    EXPECT_EQ(storedAutostart(), "No");
    EXPECT_TRUE(messages_->errors().empty());

    // An entry made by hand shows ticked; left ticked it is kept as it is and the setting says so, unticked it
    // goes.
    const std::string mine = "[Desktop Entry]\nType=Application\nName=mine\nExec=ostrevo /tray\n";
    std::ofstream(entry()) << mine;
    okWith(true);
    EXPECT_TRUE(shownChecked_);
    EXPECT_EQ(readFile(entry()), mine);
    EXPECT_EQ(storedAutostart(), "Yes");
    okWith(false);
    EXPECT_TRUE(shownChecked_);
    EXPECT_FALSE(fs::exists(entry()));
    EXPECT_EQ(storedAutostart(), "No");
    EXPECT_TRUE(messages_->errors().empty());
}

// Settings of a start with arguments are not kept, and the entry follows what is kept: it stays as it was.
TEST_F(AutostartOption, WithArgumentsNeitherTheEntryNorTheSettingsFileChange) {
    makeWindow({"127.0.0.1"});
    okWith(true);
    EXPECT_FALSE(fs::exists(entry()));
    EXPECT_FALSE(fs::exists(dir_.file(".config/Quorvan Corporation/Ostrevo.conf")));

    const std::string mine = "[Desktop Entry]\nType=Application\nName=mine\nExec=ostrevo /tray\n";
    fs::create_directories(fs::path(entry()).parent_path());
    std::ofstream(entry()) << mine;
    okWith(false);
    EXPECT_TRUE(shownChecked_);
    EXPECT_EQ(readFile(entry()), mine);
    window_.reset();
    EXPECT_FALSE(fs::exists(dir_.file(".config/Quorvan Corporation/Ostrevo.conf")));
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
