#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QFontInfo>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>

#include "app/AppRoot.h"
#include "app/MainWindow.h"
#include "app/RunControl.h"
#include "app/common/StatusIcons.h"
#include "app/desktop/TrayController.h"
#include "app/history/HistoryService.h"
#include "app/history/HistoryWindow.h"
#include "app/options/OptionsDialog.h"
#include "engine/KernelHubSocket.h"
#include "history/HistoryLedger.h"
#include "settings/SettingsStore.h"
#include "support/RecordingMessagePort.h"
#include "support/ScriptedHostResolver.h"
#include "support/ScriptedHubSocket.h"
#include "tests/app/AppTestSupport.h"

namespace {

// The window's controls by their names, as the layout gives them.
struct Controls {
    explicit Controls(QWidget& w)
        : hostValue(find<QLabel>(w, "hostValue")), statusValue(find<QLabel>(w, "statusValue")),
          totalValue(find<QLabel>(w, "totalValue")), lostValue(find<QLabel>(w, "lostValue")),
          minValue(find<QLabel>(w, "minValue")), maxValue(find<QLabel>(w, "maxValue")),
          avgValue(find<QLabel>(w, "avgValue")), startButton(find<QPushButton>(w, "startButton")),
          resetButton(find<QPushButton>(w, "resetButton")), optionsButton(find<QPushButton>(w, "optionsButton")),
          trayButton(find<QPushButton>(w, "trayButton")) {}
    template <class W> static W* find(QWidget& w, const char* name) {
        W* found = w.findChild<W*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QLabel *hostValue, *statusValue, *totalValue, *lostValue, *minValue, *maxValue, *avgValue;
    QPushButton *startButton, *resetButton, *optionsButton, *trayButton;
};

std::string settingsFile() {
    return testConfigHome() + "/Quorvan Corporation/Ostrevo.conf";
}

// Icons are rendered anew on every call, so they are compared by their pixels.
QImage windowIcon(const QWidget& window) {
    return window.windowIcon().pixmap(32, 32).toImage();
}

QImage largeIcon(HostStatus status) {
    return StatusIcons::large(status).pixmap(32, 32).toImage();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestApp();
        std::filesystem::remove(settingsFile());
    }

    void TearDown() override { network.release(); }

    // A window on a scripted resolver and the given sockets; empty: the kernel's.
    MainWindow& make(std::vector<std::string> args, HubSocket::Opener sockets) {
        AppRoot::Services services;
        services.arguments = std::move(args);
        services.resolver = resolver;
        services.sockets = std::move(sockets);
        auto recorder = std::make_unique<RecordingMessagePort>();
        messages = recorder.get();
        services.messages = std::move(recorder);
        services.runOptionsDialog = [this](OptionsDialog& dialog) {
            ++dialogsShown;
            return onDialog ? onDialog(dialog) : int(QDialog::Rejected);
        };
        services.watchSignals = false;
        services.historyPath = historyDir.file("history.sqlite");
        root = std::make_unique<AppRoot>(std::move(services));
        return root->mainWindow();
    }

    ScriptedNetwork& scripted() { return network; }

    MainWindow& makeScripted(std::vector<std::string> args) { return make(std::move(args), network.opener()); }

    [[nodiscard]] QString text(QLabel* label) const { return label->text(); }

    std::shared_ptr<ScriptedHostResolver> resolver = std::make_shared<ScriptedHostResolver>();
    RecordingMessagePort* messages = nullptr;
    ScriptedNetwork network;
    int dialogsShown = 0;
    std::function<int(OptionsDialog&)> onDialog; // what the user does in the options dialog; unset: Cancel
    TempDir historyDir;
    std::unique_ptr<AppRoot> root;
};

TEST_F(MainWindowTest, StartsIdleWithVersionCaptionAndTheGivenHost) {
    MainWindow& f = makeScripted({"/i=1", "127.0.0.1"});
    Controls c(f);
    auto* ui = &c;
    EXPECT_EQ(f.windowTitle(), QStringLiteral("Ostrevo ver.2.2.2.58"));
    EXPECT_EQ(QCoreApplication::applicationName(), QStringLiteral("Ostrevo"));
    EXPECT_EQ(ui->hostValue->text(), QStringLiteral("127.0.0.1"));
    for (QLabel* l : {ui->statusValue, ui->lostValue, ui->minValue, ui->maxValue, ui->avgValue})
        EXPECT_EQ(l->text(), QStringLiteral("N/A")) << l->objectName().toStdString();
    EXPECT_EQ(ui->totalValue->text(), QStringLiteral("0"));
    EXPECT_EQ(ui->startButton->text(), QStringLiteral("&Start"));
    EXPECT_TRUE(ui->startButton->isEnabled());
    EXPECT_FALSE(ui->resetButton->isEnabled());
    EXPECT_TRUE(f.optionsAction()->isEnabled());
    EXPECT_EQ(f.settings().interval, 1000);
    EXPECT_FALSE(f.runControl().isRunning());
    EXPECT_EQ(f.size(), QSize(385, 150));
    EXPECT_TRUE(QFontInfo(ui->startButton->font()).bold());
}

// A host is text, whatever it looks like: markup in it must not turn the field into rich text. The fields have
// a fixed size, so each is compared by its picture with a plain-text label of the same make.
TEST_F(MainWindowTest, ValueFieldsShowTheirTextLiterally) {
    const QString host = QStringLiteral("<u>x&lt;</u>");
    MainWindow& f = makeScripted({host.toStdString()});
    Controls c(f);
    EXPECT_EQ(f.settings().host, host.toStdString());
    for (QLabel* l : {c.hostValue, c.statusValue, c.totalValue, c.lostValue, c.minValue, c.maxValue, c.avgValue}) {
        l->setText(host);
        QLabel literal;
        literal.setStyle(l->style());
        literal.setFont(l->font());
        literal.setPalette(l->palette());
        literal.setAutoFillBackground(l->autoFillBackground());
        literal.setFrameStyle(l->frameStyle());
        literal.setIndent(l->indent());
        literal.setAlignment(l->alignment());
        literal.setFixedSize(l->size());
        literal.setTextFormat(Qt::PlainText);
        literal.setText(host);
        EXPECT_EQ(l->grab().toImage(), literal.grab().toImage()) << l->objectName().toStdString();
        literal.setTextFormat(Qt::RichText); // the comparison sees the difference markup makes
        EXPECT_NE(l->grab().toImage(), literal.grab().toImage()) << l->objectName().toStdString();
    }
}

TEST_F(MainWindowTest, ScriptedRunFillsTheFieldsAndLocksTheOptions) {
    MainWindow& f = makeScripted({"/i=1", "127.0.0.1"});
    Controls c(f);
    auto* ui = &c;
    scripted().push({EchoOutcome::good(3), EchoOutcome::failure(11010), EchoOutcome::good(5)});
    ui->startButton->click();
    ASSERT_TRUE(f.runControl().isRunning());
    EXPECT_EQ(ui->startButton->text(), QStringLiteral("Stop"));
    EXPECT_TRUE(ui->resetButton->isEnabled());
    EXPECT_FALSE(f.optionsAction()->isEnabled());
    EXPECT_FALSE(ui->optionsButton->isEnabled());

    // Options cannot be opened during a run, whatever asks for it.
    f.optionsAction()->trigger();
    f.openOptions();
    EXPECT_EQ(dialogsShown, 0);

    ASSERT_TRUE(waitFor([&] { return ui->totalValue->text() == QStringLiteral("3"); }));
    EXPECT_EQ(ui->statusValue->text(), QStringLiteral("Replay from 127.0.0.1: bytes=32 time=5ms TTL=64"));
    EXPECT_EQ(ui->lostValue->text(), QStringLiteral("1 (33%)"));
    EXPECT_EQ(ui->minValue->text(), QStringLiteral("3ms"));
    EXPECT_EQ(ui->maxValue->text(), QStringLiteral("5ms"));
    EXPECT_EQ(ui->avgValue->text(), QStringLiteral("4ms"));

    scripted().setFallback(EchoOutcome::good(1));
    ui->startButton->click(); // Stop
    EXPECT_EQ(ui->startButton->text(), QStringLiteral("Wait..."));
    EXPECT_FALSE(ui->startButton->isEnabled());
    EXPECT_FALSE(ui->resetButton->isEnabled());
    EXPECT_FALSE(f.optionsAction()->isEnabled());
    ASSERT_TRUE(waitFor([&] { return !f.runControl().isRunning(); }));
    EXPECT_EQ(ui->startButton->text(), QStringLiteral("Start"));
    EXPECT_TRUE(ui->startButton->isEnabled());
    EXPECT_TRUE(f.optionsAction()->isEnabled());
    EXPECT_EQ(f.hostStatus(), HostStatus::NA);
    EXPECT_TRUE(messages->errors().empty());
}

TEST_F(MainWindowTest, SettingsChangedDuringARunDoNotReachTheWorker) {
    MainWindow& f = makeScripted({"/i=1", "127.0.0.1"});
    Controls c(f);
    scripted().push(EchoOutcome::good(3));
    c.startButton->click();
    ASSERT_TRUE(waitFor([&] { return c.totalValue->text() == QStringLiteral("1"); }));

    // Nothing in the program writes these during a run; a stray writer must still not reach the worker.
    Settings& s = f.settings();
    s.host = "127.0.0.77";
    s.buffer = 64;
    s.interval = 3'600'000;
    s.analysisMode = AnalysisMode::Time;
    s.logLevel = LogLevel::EveryRequest;
    scripted().push(EchoOutcome::good(4));
    ASSERT_TRUE(waitFor([&] { return c.totalValue->text() == QStringLiteral("2"); }));
    const auto request = scripted().lastRequest();
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->destination, ScriptedHostResolver::address("127.0.0.1"));
    EXPECT_EQ(request->data.size(), 32u);
    scripted().push(EchoOutcome::good(5));
    EXPECT_TRUE(waitFor([&] { return c.totalValue->text() == QStringLiteral("3"); }))
        << "the run keeps its interval of one second";
    EXPECT_TRUE(f.close());
}

TEST_F(MainWindowTest, OptionsStayDisabledWhileANameLookupIsPending) {
    resolver->addName("slow.example", {"slow.example", {ScriptedHostResolver::address("127.0.0.5")}});
    resolver->hold();
    MainWindow& f = makeScripted({"/i=1", "slow.example"});
    Controls c(f);
    scripted().setFallback(EchoOutcome::good(1));
    c.startButton->click();
    ASSERT_TRUE(resolver->waitForLookups(1, std::chrono::seconds(10)));
    ASSERT_TRUE(f.runControl().lookupPending());
    EXPECT_FALSE(f.optionsAction()->isEnabled());
    EXPECT_FALSE(c.optionsButton->isEnabled());
    f.optionsAction()->trigger();
    f.openOptions();
    EXPECT_EQ(dialogsShown, 0);

    resolver->release();
    ASSERT_TRUE(waitFor([&] { return f.runControl().isRunning(); }));
    EXPECT_FALSE(f.optionsAction()->isEnabled());
    EXPECT_TRUE(f.close());
    EXPECT_TRUE(f.optionsAction()->isEnabled());
}

TEST_F(MainWindowTest, WindowIconFollowsTheStatusWhileTheTrayIconStaysOut) {
    // Two tries: two good replies make Good, a failure after them Average, a second failure Bad.
    MainWindow& f = makeScripted({"/i=1", "/tries=2", "127.0.0.1"});
    EXPECT_EQ(windowIcon(f), largeIcon(HostStatus::NA));
    Controls(f).startButton->click();
    ASSERT_TRUE(f.runControl().isRunning());
    const std::pair<EchoOutcome, HostStatus> steps[] = {{EchoOutcome::good(2), HostStatus::NA},
                                                        {EchoOutcome::good(2), HostStatus::Good},
                                                        {EchoOutcome::failure(), HostStatus::Average},
                                                        {EchoOutcome::failure(), HostStatus::Bad}};
    int cycles = 0;
    for (const auto& [outcome, status] : steps) {
        SCOPED_TRACE(status);
        scripted().push(outcome);
        // The next request waiting means this cycle has handed everything to the window.
        ASSERT_TRUE(scripted().waitUntilStarved(std::chrono::seconds(10)));
        const QString total = QString::number(++cycles);
        EXPECT_TRUE(
            waitFor([&] { return Controls(f).totalValue->text() == total && windowIcon(f) == largeIcon(status); }));
        EXPECT_EQ(f.hostStatus(), status);
        // No notification area here: the icon never comes up, and no status change sneaks it in.
        EXPECT_FALSE(f.tray().isInTray());
        EXPECT_FALSE(f.tray().icon()->isVisible());
        EXPECT_TRUE(f.tray().icon()->icon().isNull());
    }

    scripted().setFallback(EchoOutcome::failure());
    Controls(f).startButton->click(); // Stop
    ASSERT_TRUE(waitFor([&] { return !f.runControl().isRunning(); }));
    EXPECT_EQ(windowIcon(f), largeIcon(HostStatus::NA)) << "dark again once the run has ended";
    EXPECT_FALSE(f.tray().icon()->isVisible());
}

TEST_F(MainWindowTest, FailedChannelReturnsToIdleWithItsBox) {
    MainWindow& f = makeScripted({"127.0.0.1"});
    scripted().failOpens(1);
    Controls(f).startButton->click();
    ASSERT_TRUE(waitFor([&] { return !messages->errors().empty(); }));
    EXPECT_EQ(messages->errors().front(), (ShownError{"Can't open Ping Chanel.", "Start - Error"}));
    EXPECT_FALSE(f.runControl().isRunning());
    EXPECT_FALSE(Controls(f).resetButton->isEnabled());
    EXPECT_EQ(Controls(f).startButton->text(), QStringLiteral("Start"));
    EXPECT_TRUE(f.optionsAction()->isEnabled());
}

TEST_F(MainWindowTest, StartRequestWithoutHostReportsAndOpensOptions) {
    MainWindow& f = makeScripted({"/start"});
    f.settings().host.clear(); // whatever a previous run stored
    ASSERT_TRUE(waitFor([&] { return dialogsShown == 1; }));
    ASSERT_EQ(messages->errors().size(), 1u);
    EXPECT_EQ(messages->errors().front(), (ShownError{"Enter a HostName or an IP Adress.", "Options - Error"}));
    EXPECT_FALSE(f.runControl().isRunning());
}

TEST_F(MainWindowTest, StartRequestStartsOnceTheLoopRuns) {
    MainWindow& f = makeScripted({"/start", "/i=1", "127.0.0.1"});
    scripted().setFallback(EchoOutcome::good(2));
    EXPECT_FALSE(f.runControl().isRunning()); // carried out by the event loop, after the window is up
    ASSERT_TRUE(waitFor([&] { return f.runControl().isRunning() && scripted().sends().size() >= 1; }));
    EXPECT_EQ(Controls(f).startButton->text(), QStringLiteral("Stop"));
}

TEST_F(MainWindowTest, HistoryKeepsEveryProbeAndOpensFromTheKeyboardAndTheTray) {
    MainWindow& f = makeScripted({"/i=1", "127.0.0.1"});
    const QList<QAction*> menu = f.trayMenu()->actions();
    ASSERT_TRUE(menu.contains(f.popupAction()));
    EXPECT_EQ(menu.value(menu.indexOf(f.popupAction()) + 1), f.historyAction()) << "right after Show window";
    EXPECT_EQ(f.historyAction()->text(), QStringLiteral("&History"));
    EXPECT_EQ(f.historyAction()->shortcut(), QKeySequence(QStringLiteral("Ctrl+H")));
    EXPECT_TRUE(f.actions().contains(f.historyAction())) << "the shortcut belongs to the main window";

    scripted().push({EchoOutcome::good(3), EchoOutcome::failure(11010), EchoOutcome::good(5)});
    Controls(f).startButton->click();
    ASSERT_TRUE(waitFor([&] { return f.runControl().isRunning(); }));
    // Stopped once the last scripted probe is in, within the second before the next one goes out.
    ASSERT_TRUE(waitFor([&] { return Controls(f).totalValue->text() == QStringLiteral("3"); }));
    Controls(f).startButton->click();
    ASSERT_TRUE(waitFor([&] { return !f.runControl().isRunning(); }));

    std::shared_ptr<HistoryLedger> ledger = root->history()->ledger();
    ASSERT_TRUE(ledger->flush(std::chrono::seconds(20)));
    const std::vector<ProbeSample> samples = ledger->samples("127.0.0.1", 0, std::numeric_limits<std::int64_t>::max());
    ASSERT_EQ(samples.size(), 3u);
    EXPECT_EQ(samples[0].rttUs.value_or(0) / 1000, 3) << "whole milliseconds as scripted";
    EXPECT_EQ(samples[1].status, 11010u);
    EXPECT_EQ(samples[1].rttUs, std::nullopt);
    EXPECT_EQ(samples[2].rttUs.value_or(0) / 1000, 5);
    const std::vector<StatusChange> changes =
        ledger->statusChanges("127.0.0.1", 0, std::numeric_limits<std::int64_t>::max());
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(changes.back().status, 0) << "the stop ends the status band";
    EXPECT_TRUE(ledger->problem().empty()) << ledger->problem();

    f.historyAction()->trigger();
    HistoryWindow* window = root->history()->window();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("History - 127.0.0.1"));
    const QString summary = window->findChild<QLabel*>(QStringLiteral("summaryLabel"))->text();
    EXPECT_TRUE(summary.contains(QStringLiteral("Sent\u00A03")) && summary.contains(QStringLiteral("Lost\u00A01")))
        << summary.toStdString();
}

TEST_F(MainWindowTest, CloseDuringRunStopsTheRunFirst) {
    MainWindow& f = makeScripted({"/i=1", "127.0.0.1"});
    scripted().setFallback(EchoOutcome::good(2));
    int closed = 0;
    QObject::connect(&f, &MainWindow::closed, [&] { ++closed; });
    f.show();
    Controls(f).startButton->click();
    ASSERT_TRUE(waitFor([&] { return scripted().sends().size() >= 1; }));
    EXPECT_TRUE(f.close());
    EXPECT_FALSE(f.runControl().isRunning());
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(scripted().closes(), 1u);
    EXPECT_FALSE(scripted().isOpen());
}

TEST_F(MainWindowTest, DestroyDuringRunDoesNotHang) {
    MainWindow& f = makeScripted({"/i=1", "127.0.0.1"});
    scripted().setFallback(EchoOutcome::good(2));
    Controls(f).startButton->click();
    ASSERT_TRUE(waitFor([&] { return scripted().sends().size() >= 2; }));
    root.reset(); // no close first: the worker is still probing and about to answer a window that is gone
    SUCCEED();
}

TEST_F(MainWindowTest, SettingsAreSavedOnlyWithoutArguments) {
    makeScripted({"/b=64", "127.0.0.1"});
    root.reset();
    EXPECT_FALSE(std::filesystem::exists(settingsFile()));

    // A start lowers an oversized buffer in the settings themselves, so the lowered size is what is saved.
    makeScripted({});
    scripted().setFallback(EchoOutcome::good(1));
    root->settings().host = "127.0.0.9";
    root->settings().buffer = 100000;
    Controls(root->mainWindow()).startButton->click();
    ASSERT_TRUE(root->runControl().isRunning());
    root->mainWindow().close();
    root.reset();
    ASSERT_TRUE(std::filesystem::exists(settingsFile()));
    const std::string saved = readFile(settingsFile());
    EXPECT_NE(saved.find("Host=127.0.0.9"), std::string::npos) << saved;
    EXPECT_NE(saved.find("Buffer=65507"), std::string::npos) << saved;

    makeScripted({"/start", "127.0.0.1"});
    root->settings().host = "changed";
    root.reset();
    EXPECT_EQ(readFile(settingsFile()), saved);
}

// OK in the options dialog: the host as typed in its address box, then OK.
std::function<int(OptionsDialog&)> typeHostAndOk(const QString& host) {
    return [host](OptionsDialog& dialog) {
        dialog.findChild<QComboBox*>(QStringLiteral("addressEdit"))->setEditText(host);
        return int(QDialog::Accepted);
    };
}

void writeFile(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// A crash after OK must not lose what OK set: without arguments the settings are saved at once.
TEST_F(MainWindowTest, OkInTheOptionsSavesAtOnceWithoutArguments) {
    makeScripted({});
    onDialog = typeHostAndOk(QStringLiteral("127.0.0.42"));
    root->mainWindow().openOptions();
    ASSERT_EQ(dialogsShown, 1);
    const std::string saved = readFile(settingsFile());
    EXPECT_NE(saved.find("Host=127.0.0.42\n"), std::string::npos) << saved;
    EXPECT_TRUE(messages->errors().empty());

    // Cancel writes nothing.
    onDialog = {};
    root->settings().buffer = 77; // changed, but not through OK
    root->mainWindow().openOptions();
    EXPECT_EQ(readFile(settingsFile()), saved);
}

// Started with arguments, nothing the program does writes the settings file: not OK in the options, not the
// History window's size, not the exit. The comment of a hand edit stays with the rest, byte for byte.
TEST_F(MainWindowTest, StartWithArgumentsLeavesTheSettingsFileByteForByte) {
    const std::string before = "; edited by hand\n[General]\nHost=stored.example\nHistoryWindowSize=700x450\n"
                               "Buffer=64\n";
    writeFile(settingsFile(), before);
    makeScripted({"/i=1", "127.0.0.1"});
    onDialog = typeHostAndOk(QStringLiteral("127.0.0.43"));
    root->mainWindow().openOptions();
    EXPECT_EQ(root->settings().host, "127.0.0.43");

    root->mainWindow().historyAction()->trigger();
    HistoryWindow* window = root->history()->window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->size(), QSize(700, 450)) << "the stored size is still read";
    window->resize(640, 420);
    window->hide();
    EXPECT_EQ(root->settings().historyWindowSize, "640x420") << "kept in memory";
    window->show(); // the size is kept in memory for this run
    EXPECT_EQ(window->size(), QSize(640, 420));
    root->mainWindow().close();
    root.reset();
    EXPECT_EQ(readFile(settingsFile()), before);
}

// Without arguments the History window's size is saved with the other values, and only what this instance
// changed is written over the file as another instance left it.
TEST_F(MainWindowTest, ExitSavesTheWindowSizeAndKeepsAnotherInstancesValues) {
    writeFile(settingsFile(), "[General]\nHost=stored.example\nBuffer=64\n");
    makeScripted({});
    root->mainWindow().historyAction()->trigger();
    ASSERT_NE(root->history()->window(), nullptr);
    root->history()->window()->resize(640, 420);
    root->history()->window()->hide();

    // Another instance saves its own host meanwhile.
    {
        StoredTexts known;
        Settings other;
        loadSettings(other, {}, &known);
        other.host = "other.example";
        ASSERT_TRUE(saveChangedSettings(other, known));
    }
    root->mainWindow().close();
    root.reset();
    Settings saved;
    loadSettings(saved);
    EXPECT_EQ(saved.host, "other.example");
    EXPECT_EQ(saved.buffer, 64);
    EXPECT_EQ(saved.historyWindowSize, "640x420");
}

TEST_F(MainWindowTest, RealRunAgainstLoopback) {
    {
        if (!KernelHubSocket::opener(IcmpSocket::Preference::Auto)(IpAddress::Family::V4, {}))
            GTEST_SKIP() << "no ICMP socket here (needs root, CAP_NET_RAW or net.ipv4.ping_group_range)";
    }
    MainWindow& f = make({"/i=1", "127.0.0.1"}, {});
    Controls c(f);
    auto* ui = &c;
    ui->startButton->click();
    ASSERT_TRUE(waitFor([&] { return ui->totalValue->text() == QStringLiteral("2"); }));
    const QString line = ui->statusValue->text();
    EXPECT_TRUE(line == QStringLiteral("Replay from 127.0.0.1: bytes=32 time=0ms TTL=64") ||
                line == QStringLiteral("Replay from 127.0.0.1: bytes=32 time=1ms TTL=64"))
        << line.toStdString();
    EXPECT_EQ(ui->lostValue->text(), QStringLiteral("0 (0%)"));
    EXPECT_EQ(ui->hostValue->text(), QStringLiteral("127.0.0.1"));
    EXPECT_FALSE(ui->optionsButton->isEnabled());
    EXPECT_TRUE(f.close());
    EXPECT_TRUE(ui->optionsButton->isEnabled());
    EXPECT_TRUE(messages->errors().empty());
}

} // namespace
