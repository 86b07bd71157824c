#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "AppTestSupport.h"
#include "app/AppRoot.h"
#include "app/MainWindow.h"
#include "app/RunControl.h"
#include "app/common/AppSettings.h"
#include "app/hosts/HostList.h"
#include "app/hosts/HostsWindow.h"
#include "app/options/OptionsDialog.h"
#include "support/RecordingMessagePort.h"
#include "support/RecordingProbeObserver.h"
#include "support/ScriptedHostResolver.h"
#include "support/ScriptedHubSocket.h"
#include "support/TempDir.h"

// The main window with hosts beside the main one: the Hosts action, the dialog in host mode, and what reaches
// the settings file.
namespace {

std::string settingsFile() {
    return testConfigHome() + "/Quorvan Corporation/Ostrevo.conf";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Hosts that are not running: nothing is probed.
const std::string kStoredList = "; edited by hand\n[General]\nHost=192.0.2.1\nBuffer=64\n\n[Hosts]\n"
                                "1\\Host=192.0.2.2\n1\\Interval=3\n1\\Running=No\nsize=1\n";

class MainWindowHosts : public ::testing::Test {
protected:
    void SetUp() override {
        TestApp();
        std::filesystem::remove(settingsFile());
    }
    void TearDown() override { network.release(); }

    MainWindow& make(std::vector<std::string> args) {
        AppRoot::Services services;
        services.arguments = std::move(args);
        services.resolver = resolver;
        services.sockets = network.opener();
        services.probeObservers = {observer};
        services.messages = std::make_unique<RecordingMessagePort>();
        services.runOptionsDialog = [this](OptionsDialog& dialog) {
            hostModes.push_back(dialog.hostMode());
            return onDialog ? onDialog(dialog) : int(QDialog::Rejected);
        };
        services.watchSignals = false;
        services.historyPath = historyDir.file("history.sqlite");
        root = std::make_unique<AppRoot>(std::move(services));
        return root->mainWindow();
    }

    static std::function<int(OptionsDialog&)> typeHostAndOk(const QString& host) {
        return [host](OptionsDialog& dialog) {
            dialog.findChild<QComboBox*>(QStringLiteral("addressEdit"))->setEditText(host);
            return int(QDialog::Accepted);
        };
    }

    std::vector<bool> hostModes;
    std::shared_ptr<ScriptedHostResolver> resolver = std::make_shared<ScriptedHostResolver>();
    std::function<int(OptionsDialog&)> onDialog;
    ScriptedNetwork network;
    std::shared_ptr<RecordingProbeObserver> observer = std::make_shared<RecordingProbeObserver>();
    TempDir historyDir;
    std::unique_ptr<AppRoot> root;
};

TEST_F(MainWindowHosts, HostsActionOpensOneWindowAndFollowsHistoryInTheTrayMenu) {
    make({});
    QAction* hosts = root->mainWindow().hostsAction();
    ASSERT_NE(hosts, nullptr);
    EXPECT_EQ(hosts->text(), QStringLiteral("Ho&sts"));
    EXPECT_EQ(hosts->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_L));
    EXPECT_TRUE(root->mainWindow().actions().contains(hosts)) << "the shortcut works in the main window";
    const QList<QAction*> menu = root->mainWindow().trayMenu()->actions();
    const auto history = menu.indexOf(root->mainWindow().historyAction());
    ASSERT_GE(history, 0);
    EXPECT_EQ(menu.indexOf(hosts), history + 1);

    hosts->trigger();
    HostsWindow* window = root->hostsWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->isModal());
    window->hide();
    hosts->trigger();
    EXPECT_EQ(root->hostsWindow(), window) << "one instance";
    EXPECT_TRUE(window->isVisible());
}

TEST_F(MainWindowHosts, AddAndEditOpenTheHostModeOptionsAndKeepTheListAtOnce) {
    writeFile(settingsFile(), "[General]\nHost=192.0.2.1\n");
    make({});
    root->mainWindow().hostsAction()->trigger();
    HostsWindow* window = root->hostsWindow();
    ASSERT_NE(window, nullptr);

    onDialog = typeHostAndOk(QStringLiteral("192.0.2.7"));
    Q_EMIT window->addRequested();
    ASSERT_EQ(root->hostList().hosts().size(), 2U);
    const RunId added = root->hostList().hosts()[1].id;
    EXPECT_EQ(root->hostList().hosts()[1].settings.host, "192.0.2.7");
    EXPECT_NE(readFile(settingsFile()).find("1\\Host=192.0.2.7"), std::string::npos) << readFile(settingsFile());

    onDialog = typeHostAndOk(QStringLiteral("192.0.2.8"));
    Q_EMIT window->editRequested(added);
    EXPECT_EQ(root->hostList().find(added)->settings.host, "192.0.2.8");
    EXPECT_EQ(root->settings().host, "192.0.2.1") << "editing another host leaves the main host";
    EXPECT_NE(readFile(settingsFile()).find("1\\Host=192.0.2.8"), std::string::npos) << readFile(settingsFile());
    EXPECT_EQ(hostModes, (std::vector<bool>{true, true}));

    Q_EMIT window->removeRequested(added);
    EXPECT_EQ(root->hostList().hosts().size(), 1U);
    EXPECT_EQ(readFile(settingsFile()).find("192.0.2.8"), std::string::npos) << readFile(settingsFile());
}

// A host that another entry already watches would share its history and metrics series: OK in either options
// dialog says so in a box and keeps the dialog open with the typed host, which another host then replaces.
TEST_F(MainWindowHosts, AHostAlreadyWatchedIsRefusedAndTheDialogStaysOpen) {
    writeFile(settingsFile(), kStoredList); // the main host 192.0.2.1 and 192.0.2.2
    make({});
    root->mainWindow().hostsAction()->trigger();
    HostsWindow* window = root->hostsWindow();
    ASSERT_NE(window, nullptr);
    const RunId other = root->hostList().hosts()[1].id;

    struct Attempt {
        std::string box; // what the box said, nothing when none came
        bool open;       // the dialog still waits after OK
    };
    std::vector<std::vector<Attempt>> dialogs;
    // Types each host in turn and presses OK, as long as the dialog stays open.
    const auto typeAndOk = [&](std::vector<QString> hosts) {
        onDialog = [&dialogs, hosts](OptionsDialog& dialog) {
            dialogs.emplace_back();
            for (const QString& host : hosts) {
                std::string said;
                QTimer::singleShot(0, [&said] {
                    for (QWidget* top : QApplication::topLevelWidgets())
                        if (auto* box = qobject_cast<QMessageBox*>(top); box != nullptr && box->isVisible()) {
                            said = box->text().toStdString();
                            box->accept();
                        }
                });
                dialog.findChild<QComboBox*>(QStringLiteral("addressEdit"))->setEditText(host);
                dialog.findChild<QPushButton*>(QStringLiteral("okButton"))->click();
                QApplication::processEvents(); // the timer of a box that did not come
                dialogs.back().push_back({said, dialog.result() != QDialog::Accepted});
                if (dialog.result() == QDialog::Accepted)
                    break;
            }
            return dialog.result();
        };
    };

    typeAndOk({QStringLiteral(" 192.0.2.2"), QStringLiteral("192.0.2.1"), QStringLiteral("192.0.2.9")});
    Q_EMIT window->addRequested();
    typeAndOk({QStringLiteral("192.0.2.2")}); // its own host is no duplicate
    Q_EMIT window->editRequested(other);
    typeAndOk({QStringLiteral("192.0.2.9"), QStringLiteral("192.0.2.1")});
    root->mainWindow().optionsAction()->trigger();

    const std::string refusal = " is already watched.\nEdit that host in the Hosts window, or choose another address.";
    ASSERT_EQ(dialogs.size(), 3U);
    EXPECT_EQ(dialogs[0].size(), 3U);
    EXPECT_EQ(dialogs[0][0].box, "192.0.2.2" + refusal);
    EXPECT_TRUE(dialogs[0][0].open);
    EXPECT_EQ(dialogs[0][1].box, "192.0.2.1" + refusal) << "the main host is watched too";
    EXPECT_EQ(dialogs[0][2].box, "");
    EXPECT_FALSE(dialogs[0][2].open);
    ASSERT_EQ(dialogs[1].size(), 1U);
    EXPECT_EQ(dialogs[1][0].box, "");
    ASSERT_EQ(dialogs[2].size(), 2U);
    EXPECT_EQ(dialogs[2][0].box, "192.0.2.9" + refusal) << "the main Options refuse a watched host as well";
    EXPECT_EQ(dialogs[2][1].box, "");

    std::vector<std::string> watched;
    for (const WatchedHost& host : root->hostList().hosts())
        watched.push_back(host.settings.host);
    EXPECT_EQ(watched, (std::vector<std::string>{"192.0.2.1", "192.0.2.2", "192.0.2.9"}));
}

// A name is looked up when OK is pressed, before the host joins the list: one the name service does not know is
// said at once, the dialog keeps what was typed, and nothing is added; an edit that keeps the host asks nobody.
TEST_F(MainWindowHosts, AddFindsTheHostBeforeItJoinsTheList) {
    make({});
    resolver->addName("known.lan", HostEntry{"known.lan", {ScriptedHostResolver::address("192.0.2.7")}});
    root->mainWindow().hostsAction()->trigger();
    std::vector<std::string> boxes;
    std::vector<std::string> keptTyped;
    onDialog = [&](OptionsDialog& dialog) {
        auto* address = dialog.findChild<QComboBox*>(QStringLiteral("addressEdit"));
        // The box comes whenever the answer does: whoever reads it closes it.
        QTimer reader;
        QObject::connect(&reader, &QTimer::timeout, [&boxes] {
            for (QWidget* top : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(top); box != nullptr && box->isVisible()) {
                    boxes.push_back(box->text().toStdString());
                    box->accept();
                }
        });
        reader.start(5);
        for (const char* typed : {"nowhere.lan", "known.lan"}) {
            address->setEditText(QString::fromLatin1(typed));
            dialog.findChild<QPushButton*>(QStringLiteral("okButton"))->click();
            EXPECT_TRUE(waitFor([&] { return !dialog.checkingHost(); })) << typed;
            keptTyped.push_back(address->currentText().toStdString());
            if (dialog.result() == QDialog::Accepted)
                break;
        }
        return dialog.result();
    };
    Q_EMIT root->hostsWindow()->addRequested();
    EXPECT_EQ(boxes, (std::vector<std::string>{"nowhere.lan was not found.\nCheck the name, or type an address."}));
    EXPECT_EQ(keptTyped, (std::vector<std::string>{"nowhere.lan", "known.lan"}));
    ASSERT_EQ(root->hostList().hosts().size(), 2U);
    EXPECT_EQ(root->hostList().hosts()[1].settings.host, "known.lan");

    const std::size_t lookups = resolver->count("byname:known.lan");
    onDialog = [](OptionsDialog& dialog) {
        dialog.findChild<QPushButton*>(QStringLiteral("okButton"))->click();
        return dialog.result();
    };
    Q_EMIT root->hostsWindow()->editRequested(root->hostList().hosts()[1].id);
    EXPECT_EQ(resolver->count("byname:known.lan"), lookups) << "the host as it was is not looked up again";
}

TEST_F(MainWindowHosts, StartWithArgumentsLeavesEveryKeyAsItWas) {
    writeFile(settingsFile(), kStoredList);
    make({"/i=1", "192.0.2.9"});
    ASSERT_EQ(root->hostList().hosts().size(), 2U) << "the stored hosts are watched all the same";
    const RunId stored = root->hostList().hosts()[1].id;
    EXPECT_EQ(root->hostList().hosts()[1].settings.interval, 3000);

    onDialog = typeHostAndOk(QStringLiteral("192.0.2.10"));
    root->mainWindow().hostsAction()->trigger();
    Q_EMIT root->hostsWindow()->addRequested();
    EXPECT_TRUE(root->hostList().makeMain(stored));
    EXPECT_EQ(root->settings().host, "192.0.2.2");
    root->mainWindow().close();
    root.reset();
    EXPECT_EQ(readFile(settingsFile()), kStoredList);
}

TEST_F(MainWindowHosts, MakeMainIsKeptInTodaysKeysAndTheArray) {
    writeFile(settingsFile(), kStoredList);
    make({});
    const RunId stored = root->hostList().hosts()[1].id;
    ASSERT_TRUE(root->hostList().makeMain(stored));
    root->mainWindow().close();
    root.reset();
    const std::string saved = readFile(settingsFile());
    EXPECT_NE(saved.find("\nHost=192.0.2.2\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\nInterval=3\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("1\\Host=192.0.2.1\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("1\\Interval=10\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("1\\Buffer=64\n"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("Running=Yes"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("\nRunning="), std::string::npos) << "the main host never ran: no Running key\n" << saved;
}

// Make main host swaps the two hosts with their runs as they stand: the window shows the new main host's run
// going on, the figures of both keep growing from where they were, and neither run begins again (no second
// entry into Bad, no new start).
TEST_F(MainWindowHosts, MakeMainSwapsTheRunsWithoutStartingEitherAgain) {
    const IpAddress mainAddress = EchoOutcome::loopback();
    const IpAddress otherAddress = ScriptedHostResolver::address("127.0.0.2");
    network.setFallback(mainAddress, EchoOutcome::good(1));
    network.setFallback(otherAddress, EchoOutcome::errorReply(11003, otherAddress)); // host unreachable
    make({"/i=1", "/tries=1", "127.0.0.1"});
    Settings other;
    other.host = "127.0.0.2";
    other.interval = 1000;
    other.tries = 1;
    const RunId otherId = root->hostList().add(other);
    const RunId mainId = root->hostList().mainId();
    root->mainWindow().pingAction()->trigger();
    root->hostList().start(otherId);
    const auto figures = [&](RunId id) { return root->hostList().find(id)->stats.requests; };
    ASSERT_TRUE(waitFor([&] { return figures(mainId) >= 2 && figures(otherId) >= 2; }));
    ASSERT_EQ(root->hostList().find(otherId)->status, HostStatus::Bad);
    const auto badEntries = [&] {
        std::size_t entries = 0;
        for (const ProbeEvent& e : observer->events())
            entries += e.run == otherId && e.statusChanged && e.hostStatus == HostStatus::Bad ? 1 : 0;
        return entries;
    };
    ASSERT_EQ(badEntries(), 1U);
    const std::size_t endsBefore = observer->runEnds().size();

    ASSERT_TRUE(root->hostList().makeMain(otherId));
    const auto mainCount = figures(otherId);
    const auto otherCount = figures(mainId);
    EXPECT_EQ(root->hostList().mainId(), otherId);
    EXPECT_EQ(root->settings().host, "127.0.0.2");
    EXPECT_TRUE(root->runControl().isRunning()) << "the new main host's run goes on";
    EXPECT_EQ(root->mainWindow().hostStatus(), HostStatus::Bad);
    const auto field = [&](const char* name) {
        return root->mainWindow().findChild<QLabel*>(QString::fromLatin1(name))->text();
    };
    EXPECT_EQ(field("hostValue"), QStringLiteral("127.0.0.2"));
    ASSERT_TRUE(waitFor([&] { return figures(otherId) >= mainCount + 2 && figures(mainId) >= otherCount + 2; }));
    ASSERT_TRUE(waitFor([&] { return field("totalValue").toULongLong() > static_cast<qulonglong>(mainCount); }))
        << "the window counts on from the run's figures";
    EXPECT_EQ(badEntries(), 1U) << "no second is Bad";
    EXPECT_EQ(observer->runEnds().size(), endsBefore) << "no run ended to begin again";

    root->mainWindow().close();
    EXPECT_FALSE(root->runControl().isRunning());
    EXPECT_TRUE(root->hostList().find(mainId)->running) << "the old main host runs on beside it";
}

} // namespace
