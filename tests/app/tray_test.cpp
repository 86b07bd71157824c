#include <gtest/gtest.h>

#include <QAction>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTextDocument>
#include <QThread>
#include <QWidget>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>

#include "app/AppRoot.h"
#include "app/MainWindow.h"
#include "app/RunControl.h"
#include "app/common/StatusIcons.h"
#include "app/desktop/TrayController.h"
#include "settings/Settings.h"
#include "support/ChildProcess.h"
#include "support/RecordingMessagePort.h"
#include "support/ScriptedHostResolver.h"
#include "support/ScriptedHubSocket.h"
#include "support/XvfbDisplay.h"
#include "tests/app/AppTestSupport.h"

// The tray needs a real window system: the program runs on a private Xvfb display, first without any
// notification area, then with trayer providing one.
namespace {

struct Desktop {
    std::unique_ptr<XvfbDisplay> display;
    std::unique_ptr<ChildProcess> trayer;
    std::string problem; // why the tray cases cannot run
};

Desktop& desktop() {
    static Desktop d = [] {
        Desktop made;
        made.display = std::make_unique<XvfbDisplay>();
        if (made.display->started()) {
            setenv("DISPLAY", made.display->name().c_str(), 1);
            setenv("QT_QPA_PLATFORM", "xcb", 1);
        } else {
            made.problem = made.display->error();
        }
        TestApp(); // on the display chosen above, with a private HOME for the windows' settings
        return made;
    }();
    return d;
}

bool waitFor(const std::function<bool()>& done, int ms = 10000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(20);
    }
    return true;
}

class CountingTray : public TrayController {
public:
    using TrayController::TrayController;
    int messages = 0;

protected:
    void showNoTrayMessage() override { ++messages; }
};

class TrayFixture : public ::testing::Test {
protected:
    void SetUp() override {
        desktop();
        window = std::make_unique<QWidget>();
        window->resize(200, 100);
        window->show();
        menu = std::make_unique<QMenu>();
        menu->addAction(QStringLiteral("Show &window"));
        tray = std::make_unique<CountingTray>(window.get(), menu.get(), settings);
    }
    void TearDown() override {
        tray->removeTrayIcon();
        QApplication::processEvents();
    }

    // Until trayer has taken the icon in, it sits at the top left corner of the screen.
    bool embedded() {
        return waitFor([&] { return tray->icon()->geometry().isValid() && tray->icon()->geometry().y() > 0; });
    }

    Settings settings;
    std::unique_ptr<QWidget> window;
    std::unique_ptr<QMenu> menu;
    std::unique_ptr<CountingTray> tray;
};

// Runs before trayer is started: this desktop has no notification area.
using NoNotificationArea = TrayFixture;

TEST_F(NoNotificationArea, TrayButtonKeepsTheWindowAndExplainsOnce) {
    ASSERT_FALSE(TrayController::available());
    tray->moveToTray();
    tray->moveToTray();
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(tray->isInTray());
    EXPECT_FALSE(tray->icon()->isVisible());
    EXPECT_EQ(tray->messages, 1);

    // Tray mode from the command line: no message, and the double-click that start-up posts to hide the
    // window again must not hide it either.
    CountingTray atStart(window.get(), menu.get(), settings);
    atStart.moveToTray(false);
    atStart.handleTrayActivation(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(atStart.messages, 0);
}

class WithNotificationArea : public TrayFixture {
protected:
    static void SetUpTestSuite() {
        Desktop& d = desktop();
        if (!d.problem.empty())
            return;
        d.trayer = std::make_unique<ChildProcess>(std::vector<std::string>{
            "trayer", "--edge", "bottom", "--align", "right", "--widthtype", "request", "--height", "24"});
        if (!d.trayer->started())
            d.problem = "trayer is not installed";
        else if (!waitFor([] { return TrayController::available(); }))
            d.problem = "trayer did not provide a notification area";
    }
    void SetUp() override {
        if (!desktop().problem.empty())
            GTEST_SKIP() << desktop().problem;
        TrayFixture::SetUp();
    }
    void TearDown() override {
        if (tray)
            TrayFixture::TearDown();
    }
};

TEST_F(WithNotificationArea, TrayButtonShowsTheIconAndHidesTheWindow) {
    settings.host = "router.local";
    tray->showStatus(HostStatus::Good);
    tray->moveToTray();
    EXPECT_TRUE(tray->isInTray());
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(tray->icon()->isVisible());
    EXPECT_EQ(tray->icon()->toolTip(), QStringLiteral("router.local - not monitoring"));
    EXPECT_TRUE(embedded()) << "icon not embedded in the tray";
    EXPECT_EQ(tray->messages, 0);

    // Leaving tray mode keeps the window as it is.
    tray->moveToTray();
    EXPECT_FALSE(tray->isInTray());
    EXPECT_FALSE(tray->icon()->isVisible());
    EXPECT_FALSE(window->isVisible());
}

TEST_F(WithNotificationArea, DoubleClickTogglesTheWindow) {
    tray->moveToTray();
    ASSERT_FALSE(window->isVisible());
    tray->handleTrayActivation(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(window->isVisible());
    Q_EMIT tray->icon()->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_FALSE(window->isVisible());
    // Single clicks and middle clicks do nothing.
    Q_EMIT tray->icon()->activated(QSystemTrayIcon::Trigger);
    Q_EMIT tray->icon()->activated(QSystemTrayIcon::MiddleClick);
    tray->handleTrayActivation(QSystemTrayIcon::Unknown);
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(menu->isVisible());
}

TEST_F(WithNotificationArea, RightClickOpensTheMenu) {
    tray->moveToTray();
    Q_EMIT tray->icon()->activated(QSystemTrayIcon::Context);
    EXPECT_TRUE(waitFor([&] { return menu->isVisible(); }));
    menu->hide();
    tray->handleTrayActivation(QSystemTrayIcon::Context);
    EXPECT_TRUE(waitFor([&] { return menu->isVisible(); }));
    menu->hide();
}

// The whole path: the X server delivers the clicks to the embedded icon, Qt reports them, the window reacts.
TEST_F(WithNotificationArea, RealClicksOnTheEmbeddedIcon) {
    tray->moveToTray();
    ASSERT_TRUE(embedded());
    QPoint centre = tray->icon()->geometry().center();
    if (QString dir = qEnvironmentVariable("OSTREVO_SHOT_DIR"); !dir.isEmpty()) {
        tray->showStatus(HostStatus::Good);
        waitFor([] { return false; }, 300);
        std::string shot = "import -window root -crop 120x40+1160+760 " + dir.toStdString() + "/tray.png";
        EXPECT_EQ(std::system(shot.c_str()), 0);
    }
    auto click = [&](const char* button, int times) {
        std::string command = "xdotool mousemove " + std::to_string(centre.x()) + " " + std::to_string(centre.y()) +
                              " click --repeat " + std::to_string(times) + " --delay 60 " + button;
        return std::system(command.c_str()) == 0;
    };
    if (!click("1", 1))
        GTEST_SKIP() << "xdotool is not available";
    waitFor([] { return false; }, 300);
    EXPECT_FALSE(window->isVisible()) << "a single click does nothing";
    ASSERT_TRUE(click("1", 2));
    EXPECT_TRUE(waitFor([&] { return window->isVisible(); })) << "double-click shows the window";
    ASSERT_TRUE(click("3", 1));
    EXPECT_TRUE(waitFor([&] { return menu->isVisible(); })) << "right-click opens the menu";
    menu->hide();
}

// A long host is shortened, never the figures: the tip stays one short line that says how the host is doing.
TEST_F(WithNotificationArea, TooltipIsCutTo63Characters) {
    settings.host = std::string(80, 'h');
    tray->moveToTray();
    QString tip = tray->icon()->toolTip();
    EXPECT_EQ(tip.size(), 63);
    EXPECT_TRUE(tip.startsWith(QStringLiteral("hhh")));
    EXPECT_TRUE(tip.endsWith(QStringLiteral("h\u2026 - not monitoring"))) << tip.toStdString();

    tray->setMonitoring(true);
    ProbeEvent probe;
    probe.host = settings.host;
    probe.replier = "127.0.0.1";
    probe.rttUs = 812;
    probe.stats.requests = 1;
    probe.hostStatus = HostStatus::Good;
    tray->showProbe(probe);
    tip = tray->icon()->toolTip();
    EXPECT_EQ(tip.size(), 63);
    EXPECT_TRUE(tip.endsWith(QStringLiteral("h\u2026 - Good - 0.8 ms - 0 % lost"))) << tip.toStdString();

    // A host name of surrogate pairs is not cut between the two halves of one.
    settings.host.clear();
    for (int i = 0; i < 40; ++i)
        settings.host += "\xF0\x9F\x8C\x90"; // U+1F310, two UTF-16 units
    tray->setMonitoring(false);
    tip = tray->icon()->toolTip();
    EXPECT_LE(tip.size(), 63);
    EXPECT_FALSE(tip.section(QChar(0x2026), 0, 0).back().isHighSurrogate()) << tip.toStdString();

    settings.host = "new.host";
    tray->updateTrayTip();
    EXPECT_EQ(tray->icon()->toolTip(), QStringLiteral("new.host - not monitoring"));
}

// The text a tooltip shows: Qt's tooltip (and hosts that read the text as Qt does) takes what looks like
// markup for markup. Invisible characters do not count.
QString shownText(const QString& tip) {
    QString text = tip;
    if (Qt::mightBeRichText(tip)) {
        QTextDocument document;
        document.setHtml(tip);
        text = document.toPlainText();
    }
    return text.remove(QChar(0x2060));
}

// A host's name is shown as typed, markup and entities included, alone and in the list of several hosts.
TEST_F(WithNotificationArea, TooltipShowsHostNamesAsPlainText) {
    const std::string names[] = {"<b>bold</b>.lan", "a&amp;b", "&lt;i&gt;x", "x & y", "<br>"};
    tray->moveToTray();
    for (const std::string& name : names) {
        settings.host = name;
        tray->updateTrayTip();
        EXPECT_EQ(shownText(tray->icon()->toolTip()).toStdString(), name + " - not monitoring");
    }
    std::vector<WatchedHost> hosts(2);
    hosts[0].main = true;
    hosts[1].id = 2;
    hosts[1].settings.host = "<i>other</i> &amp; more";
    tray->setHostsSource([&hosts]() -> const std::vector<WatchedHost>& { return hosts; });
    tray->updateTrayTip();
    ASSERT_TRUE(waitFor([&] { return tray->icon()->toolTip().contains(QStringLiteral("other")); }, 3000));
    EXPECT_EQ(shownText(tray->icon()->toolTip()).toStdString(),
              "<br> - not monitoring\n<i>other</i> &amp; more - not monitoring");
    tray->setHostsSource({});
}

// The tip follows the run: nothing before a start, the last probe's status, round trip and loss during it.
TEST_F(WithNotificationArea, TooltipFollowsTheProbes) {
    struct Case {
        const char* what;
        bool answered;
        std::optional<std::uint32_t> rttUs;
        std::uint32_t requests, lost;
        HostStatus status;
        const char* tip;
    };
    const Case cases[] = {
        {"sub-millisecond", true, 812, 10, 0, HostStatus::Good, "gateway.lan - Good - 0.8 ms - 0 % lost"},
        {"a few ms", true, 5049, 3, 1, HostStatus::Average, "gateway.lan - Average - 5.0 ms - 33 % lost"},
        {"tens of ms", true, 23456, 8, 1, HostStatus::Good, "gateway.lan - Good - 23 ms - 12 % lost"},
        {"hundreds of ms", true, 123456, 8, 0, HostStatus::Good, "gateway.lan - Good - 123 ms - 0 % lost"},
        {"loopback", true, 31, 1, 0, HostStatus::NA, "gateway.lan - N/A - <0.1 ms - 0 % lost"},
        {"timed out", false, std::nullopt, 4, 1, HostStatus::Bad, "gateway.lan - Bad - no reply - 25 % lost"},
        {"all lost", false, std::nullopt, 3, 3, HostStatus::Bad, "gateway.lan - Bad - no reply - 100 % lost"},
    };
    settings.host = "gateway.lan";
    tray->moveToTray();
    EXPECT_EQ(tray->icon()->toolTip(), QStringLiteral("gateway.lan - not monitoring"));
    tray->setMonitoring(true);
    EXPECT_EQ(tray->icon()->toolTip(), QStringLiteral("gateway.lan - starting"));
    for (const Case& c : cases) {
        ProbeEvent probe;
        probe.host = "gateway.lan";
        if (c.answered)
            probe.replier = "192.0.2.1";
        else
            probe.status = 11010;
        probe.rttUs = c.rttUs;
        probe.stats.requests = c.requests;
        probe.stats.lost = c.lost;
        probe.hostStatus = c.status;
        tray->showProbe(probe);
        EXPECT_EQ(tray->icon()->toolTip().toStdString(), c.tip) << c.what;
    }
    // Stopped: the figures of the ended run go, and a probe that was still on its way changes nothing.
    tray->setMonitoring(false);
    EXPECT_EQ(tray->icon()->toolTip(), QStringLiteral("gateway.lan - not monitoring"));
    ProbeEvent late;
    late.host = "gateway.lan";
    late.replier = "192.0.2.1";
    late.rttUs = 1000;
    tray->showProbe(late);
    EXPECT_EQ(tray->icon()->toolTip(), QStringLiteral("gateway.lan - not monitoring"));
    // Out of the tray the tip is still kept current, for when the icon comes back.
    tray->moveToTray();
    tray->setMonitoring(true);
    tray->showProbe(late);
    tray->moveToTray();
    EXPECT_EQ(tray->icon()->toolTip(), QStringLiteral("gateway.lan - N/A - 1.0 ms - 0 % lost"));
}

TEST_F(WithNotificationArea, IconFollowsTheStatusOnlyWhileShown) {
    tray->showStatus(HostStatus::Bad); // no icon yet: nothing to change
    tray->moveToTray();
    QImage bad = tray->icon()->icon().pixmap(16, 16).toImage();
    tray->showStatus(HostStatus::Good);
    QImage good = tray->icon()->icon().pixmap(16, 16).toImage();
    EXPECT_NE(bad, good);
    QColor lamp = good.pixelColor(8, 13);
    EXPECT_GT(lamp.green(), 180) << lamp.name().toStdString();
}

// The program watching 127.0.0.1 once a second on `script`, each lost probe a verdict.
AppRoot::Services oneHostProbedEverySecond(ScriptedNetwork& script) {
    AppRoot::Services services;
    services.arguments = {"/i=1", "/tries=1", "127.0.0.1"};
    services.resolver = std::make_shared<ScriptedHostResolver>();
    services.sockets = script.opener();
    services.messages = std::make_unique<RecordingMessagePort>();
    services.watchSignals = false;
    return services;
}

// The window's own wiring: a status reached before the tray icon exists is what the icon shows once it is
// added, later changes reach both icons, and the end of the run makes both dark again.
TEST_F(WithNotificationArea, IconAddedDuringARunShowsTheCurrentStatus) {
    ScriptedNetwork script;
    AppRoot program(oneHostProbedEverySecond(script));
    MainWindow& form = program.mainWindow();
    form.show();
    const auto windowIcon = [&] { return form.windowIcon().pixmap(32, 32).toImage(); };
    const auto trayIcon = [&] { return form.tray().icon()->icon().pixmap(16, 16).toImage(); };
    const auto large = [](HostStatus s) { return StatusIcons::large(s).pixmap(32, 32).toImage(); };
    const auto small = [](HostStatus s) { return StatusIcons::small(s).pixmap(16, 16).toImage(); };

    form.findChild<QPushButton*>(QStringLiteral("startButton"))->click();
    ASSERT_TRUE(form.runControl().isRunning());
    script.push(EchoOutcome::failure());
    ASSERT_TRUE(script.waitUntilStarved(std::chrono::seconds(10)));
    ASSERT_TRUE(waitFor([&] { return windowIcon() == large(HostStatus::Bad); }));
    EXPECT_FALSE(form.tray().icon()->isVisible());

    form.findChild<QPushButton*>(QStringLiteral("trayButton"))->click();
    ASSERT_TRUE(form.tray().isInTray());
    EXPECT_TRUE(form.tray().icon()->isVisible());
    EXPECT_EQ(trayIcon(), small(HostStatus::Bad));

    script.push(EchoOutcome::good(2));
    ASSERT_TRUE(script.waitUntilStarved(std::chrono::seconds(10)));
    EXPECT_TRUE(
        waitFor([&] { return windowIcon() == large(HostStatus::Good) && trayIcon() == small(HostStatus::Good); }));

    script.setFallback(EchoOutcome::good(2));
    form.pingAction()->trigger(); // Stop
    ASSERT_TRUE(waitFor([&] { return !form.runControl().isRunning(); }));
    EXPECT_EQ(windowIcon(), large(HostStatus::NA));
    EXPECT_EQ(trayIcon(), small(HostStatus::NA));
}

// Hidden in the tray the window keeps only the latest probe: its fields catch up when it is shown again, each
// with the text the last probe that set it gave (a lost probe leaves the reply figures), and a new run started
// meanwhile is not overwritten by the last run's probes.
TEST_F(WithNotificationArea, FieldsHiddenInTheTrayCatchUpWhenShown) {
    ScriptedNetwork script;
    AppRoot program(oneHostProbedEverySecond(script));
    MainWindow& form = program.mainWindow();
    const auto field = [&](const char* name) { return form.findChild<QLabel*>(QString::fromLatin1(name))->text(); };
    form.show();
    form.pingAction()->trigger();
    script.push(EchoOutcome::good(3));
    ASSERT_TRUE(waitFor([&] { return field("totalValue") == QStringLiteral("1"); }));

    form.findChild<QPushButton*>(QStringLiteral("trayButton"))->click();
    ASSERT_TRUE(form.tray().isInTray());
    ASSERT_FALSE(form.isVisible());
    script.push({EchoOutcome::good(5), EchoOutcome::failure(11010)});
    ASSERT_TRUE(script.waitUntilStarved(std::chrono::seconds(10)));
    ASSERT_TRUE(waitFor([&] { return form.tray().status() == HostStatus::Bad; }));
    EXPECT_EQ(field("totalValue"), QStringLiteral("1")) << "a hidden window takes no probe's texts";

    form.restoreFromTray();
    EXPECT_EQ(field("totalValue"), QStringLiteral("3"));
    EXPECT_EQ(field("lostValue"), QStringLiteral("1 (33%)"));
    EXPECT_EQ(field("maxValue"), QStringLiteral("5ms"));
    EXPECT_EQ(field("avgValue"), QStringLiteral("4ms"));
    EXPECT_EQ(field("statusValue"), QStringLiteral("Request Timed Out"));

    // Back in the tray: a probe, then Stop and Start from the tray menu before the window is shown again.
    form.close();
    ASSERT_FALSE(form.isVisible());
    script.push(EchoOutcome::good(7));
    ASSERT_TRUE(script.waitUntilStarved(std::chrono::seconds(10)));
    ASSERT_TRUE(waitFor([&] { return form.tray().status() == HostStatus::Good; }));
    script.setFallback(EchoOutcome::good(7));
    form.pingAction()->trigger(); // Stop
    ASSERT_TRUE(waitFor([&] { return !form.runControl().isRunning(); }));
    script.clearFallback();
    form.pingAction()->trigger(); // Start: the new run waits for its first answer
    ASSERT_TRUE(waitFor([&] { return form.runControl().isRunning(); }));
    ASSERT_TRUE(script.waitUntilStarved(std::chrono::seconds(10)));
    form.restoreFromTray();
    EXPECT_EQ(field("totalValue"), QStringLiteral("0")) << "the new run's fields, not the last run's probes";
    EXPECT_EQ(field("maxValue"), QStringLiteral("N/A"));

    script.setFallback(EchoOutcome::good(1));
    form.pingAction()->trigger(); // Stop
    ASSERT_TRUE(waitFor([&] { return !form.runControl().isRunning(); }));
}

} // namespace
