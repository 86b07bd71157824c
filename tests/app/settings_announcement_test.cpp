#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSlider>

#include "alerts/EventLog.h"
#include "app/AppRoot.h"
#include "app/MainWindow.h"
#include "app/RunControl.h"
#include "app/common/AppSettings.h"
#include "app/history/HistoryService.h"
#include "app/history/HistoryWindow.h"
#include "app/options/OptionsDialog.h"
#include "support/RecordingMessagePort.h"
#include "support/ScriptedHostResolver.h"
#include "support/ScriptedHubSocket.h"
#include "tests/app/AppTestSupport.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

template <class W> W* control(QWidget& dialog, const char* name) {
    return dialog.findChild<W*>(QString::fromLatin1(name));
}

// The window's owner of the settings announces each change once, and each listener acts on it once: OK in the
// options reaches the log, the autostart entry, the History window and the settings file; a payload too large
// for a run and a log that fails change the stored values through the owner, which the file gets at exit.
TEST(SettingsAnnouncement, EachChangeReachesItsListenersOnce) {
    TestApp();
    if (::access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "/dev/full is not writable here: no log can fail on demand";
    const std::string settingsFile = testConfigHome() + "/Quorvan Corporation/Ostrevo.conf";
    const std::string autostartEntry = testConfigHome() + "/autostart/ostrevo.desktop";
    std::filesystem::remove(settingsFile);
    TempDir dir;

    AppRoot::Services services;
    services.resolver = std::make_shared<ScriptedHostResolver>();
    ScriptedNetwork scripted;
    services.sockets = scripted.opener();
    auto recorder = std::make_unique<RecordingMessagePort>();
    RecordingMessagePort& messages = *recorder;
    services.messages = std::move(recorder);
    std::function<void(OptionsDialog&)> user;
    services.runOptionsDialog = [&user](OptionsDialog& dialog) {
        user(dialog);
        return int(QDialog::Accepted);
    };
    services.watchSignals = false;
    services.historyPath = dir.file("history.sqlite");
    auto program = std::make_unique<AppRoot>(std::move(services));
    std::vector<SettingsChange> heard;
    QObject::connect(&program->settingsOwner(), &AppSettings::changed,
                     [&heard](const SettingsChange& change) { heard.push_back(change); });

    // OK: every field is set, once, and every listener of OK acts.
    const std::string log = dir.file("ping.log");
    std::ofstream(log) << "older records\r\n";
    user = [&log](OptionsDialog& dialog) {
        control<QComboBox>(dialog, "addressEdit")->setEditText(QStringLiteral("127.0.0.1"));
        control<QSlider>(dialog, "logLevelSlider")->setValue(2);
        control<QLineEdit>(dialog, "logFileEdit")->setText(QString::fromStdString(log));
        control<QCheckBox>(dialog, "logAppendCheck")->setChecked(false);
        control<QCheckBox>(dialog, "autostartCheck")->setChecked(true);
    };
    program->mainWindow().openOptions();
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_TRUE(heard[0].confirmed);
    EXPECT_EQ(heard[0].fields, SettingIds::all());
    EXPECT_EQ(readFile(log), EventLog::kHeader) << "the log starts anew";
    EXPECT_TRUE(std::filesystem::exists(autostartEntry));
    EXPECT_NE(readFile(settingsFile).find("Host=127.0.0.1\n"), std::string::npos) << "saved on OK";

    program->mainWindow().historyAction()->trigger();
    ASSERT_NE(program->history()->window(), nullptr);
    EXPECT_EQ(program->history()->window()->windowTitle(), QStringLiteral("History - 127.0.0.1"));
    user = [](OptionsDialog& dialog) {
        control<QComboBox>(dialog, "addressEdit")->setEditText(QStringLiteral("127.0.0.2"));
        control<QLineEdit>(dialog, "logFileEdit")->setText(QStringLiteral("/dev/full"));
        control<QCheckBox>(dialog, "logAppendCheck")->setChecked(true);
    };
    program->mainWindow().openOptions();
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[1].before.host, "127.0.0.1");
    EXPECT_EQ(program->history()->window()->windowTitle(), QStringLiteral("History - 127.0.0.2"));
    EXPECT_TRUE(messages.errors().empty());
    const std::string savedOnOk = readFile(settingsFile);

    // The program's own changes: the start lowers the payload, the first record fails on the full device.
    program->settings().buffer = 100000;
    program->settings().interval = 1;
    scripted.push({EchoOutcome::good(1), EchoOutcome::good(2), EchoOutcome::good(3)});
    program->mainWindow().pingAction()->trigger();
    ASSERT_TRUE(program->runControl().isRunning());
    ASSERT_TRUE(scripted.waitUntilStarved(std::chrono::seconds(10)));
    ASSERT_TRUE(waitFor([&] { return heard.size() >= 4; }));
    spin(std::chrono::milliseconds(100)); // a second announcement of either would arrive meanwhile
    ASSERT_EQ(heard.size(), 4u);
    EXPECT_FALSE(heard[2].confirmed);
    EXPECT_EQ(heard[2].fields, SettingIds{SettingId::Buffer});
    EXPECT_EQ(heard[2].before.buffer, 100000);
    EXPECT_EQ(program->settings().buffer, 65507);
    ASSERT_TRUE(scripted.lastRequest().has_value());
    EXPECT_EQ(scripted.lastRequest()->data.size(), 65507u);
    EXPECT_FALSE(heard[3].confirmed);
    EXPECT_EQ(heard[3].fields, SettingIds{SettingId::LogLevel});
    EXPECT_EQ(program->settings().logLevel, LogLevel::Off);
    EXPECT_EQ(messages.errors(),
              (std::vector<ShownError>{{"Can't write to Log file. Logging disabled.", "Logging - Error"}}));
    EXPECT_EQ(readFile(settingsFile), savedOnOk) << "what the program changed itself waits for the exit";

    scripted.setFallback(EchoOutcome::good(1));
    program->mainWindow().close();
    program.reset();
    const std::string saved = readFile(settingsFile);
    EXPECT_NE(saved.find("Buffer=65507\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("LogLevel=0\n"), std::string::npos) << saved;
    std::filesystem::remove(autostartEntry);
}

} // namespace
