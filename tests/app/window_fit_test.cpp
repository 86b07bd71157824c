#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include <QDialog>
#include <QDir>
#include <QPushButton>
#include <QScreen>
#include <QWidget>

#include "AppTestSupport.h"
#include "app/AppRoot.h"
#include "app/MainWindow.h"
#include "app/common/AppSettings.h"
#include "app/common/ScreenFit.h"
#include "app/options/OptionsDialog.h"
#include "app/route/RouteWindow.h"
#include "support/RecordingMessagePort.h"
#include "support/RouteHops.h"
#include "support/ScriptedHubSocket.h"
#include "support/ScriptedHostResolver.h"
#include "support/XvfbDisplay.h"

// Every window of the program opens wholly on the screen of a 1920x1080 display, at the scale the test runs
// with (the suite runs it as it is and with QT_SCALE_FACTOR=2), with the main window in a far corner and sizes
// kept from a larger screen. A real X server (Xvfb), since placing windows is the window system's business.

namespace {

struct Display {
    std::unique_ptr<XvfbDisplay> server;
    std::string problem;
};

Display& display() {
    static Display d = [] {
        Display made;
        made.server = std::make_unique<XvfbDisplay>("1920x1080x24");
        if (made.server->started()) {
            setenv("DISPLAY", made.server->name().c_str(), 1);
            setenv("QT_QPA_PLATFORM", "xcb", 1);
        } else {
            made.problem = made.server->error();
        }
        TestApp();
        return made;
    }();
    return d;
}

std::string describe(const QWidget& w) {
    const QRect r = w.frameGeometry();
    return w.windowTitle().toStdString() + " at " + std::to_string(r.x()) + "," + std::to_string(r.y()) + " " +
           std::to_string(r.width()) + "x" + std::to_string(r.height());
}

class WindowFit : public ::testing::Test {
protected:
    void SetUp() override {
        if (!display().problem.empty())
            GTEST_SKIP() << "no X server for the windows: " << display().problem;
        screen = QGuiApplication::primaryScreen()->availableGeometry();
    }

    void expectOnScreen(const QWidget& w) const {
        ASSERT_TRUE(waitFor([&] { return w.isVisible(); })) << describe(w);
        QApplication::processEvents();
        EXPECT_TRUE(screen.contains(w.frameGeometry()))
            << describe(w) << " on a screen of " << screen.width() << "x" << screen.height();
    }

    QRect screen;
};

TEST_F(WindowFit, EveryWindowOpensWhollyOnTheScreen) {
    AppRoot::Services services;
    services.arguments = {"127.0.0.1"};
    services.resolver = std::make_shared<ScriptedHostResolver>();
    services.sockets = ScriptedNetwork().opener(); // a network where nothing answers
    services.messages = std::make_unique<RecordingMessagePort>();
    int optionsShown = 0;
    services.runOptionsDialog = [&](OptionsDialog& dialog) {
        dialog.show();
        expectOnScreen(dialog);
        ++optionsShown;
        return int(QDialog::Rejected);
    };
    services.watchSignals = false;
    TempDir historyDir;
    services.historyPath = historyDir.file("history.sqlite");
    AppRoot program(std::move(services));
    // Sizes a larger screen left behind.
    program.settings().historyWindowSize = "3000x2000";
    program.settings().routeWindowSize = "2500x1500";
    program.settings().hostsWindowSize = "2600x1700";

    MainWindow& main = program.mainWindow();
    main.show();
    expectOnScreen(main);
    // The far corner: a window centred on the main window would hang off the screen there.
    main.move(screen.bottomRight() - QPoint(main.frameGeometry().width(), main.frameGeometry().height()));
    ASSERT_TRUE(waitFor([&] { return screen.contains(main.frameGeometry()); }));

    const QWidgetList before = QApplication::topLevelWidgets();
    main.hostsAction()->trigger();
    main.historyAction()->trigger();
    main.routeAction()->trigger();
    int opened = 0;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (before.contains(w) || w->windowType() != Qt::Window || !w->isVisible())
            continue;
        ++opened;
        SCOPED_TRACE(w->objectName().toStdString());
        expectOnScreen(*w);
    }
    EXPECT_EQ(opened, 3) << "Hosts, History and Route";
    main.findChild<QPushButton*>(QStringLiteral("optionsButton"))->click();
    EXPECT_EQ(optionsShown, 1);

    // A window the user left off the screen (a screen since unplugged) comes back onto it when shown again.
    RouteWindow* route = program.routeWindow();
    route->hide();
    route->move(screen.right() + 400, screen.bottom() + 300);
    route->present();
    expectOnScreen(*route);
    main.close();
}

// Not a check: with OSTREVO_SHOT_DIR set, the Route window with a stored trace as it opens on this display, in
// the light palette and in a dark one, named after the scale the run has.
TEST_F(WindowFit, PicturesOfTheRouteWindow) {
    const QString dir = qEnvironmentVariable("OSTREVO_SHOT_DIR");
    if (dir.isEmpty())
        GTEST_SKIP() << "OSTREVO_SHOT_DIR is not set";
    const QString scale = qEnvironmentVariable("QT_SCALE_FACTOR", QStringLiteral("1"));
    AppSettings settings;
    RouteWindow window(settings);
    RouteResult trace;
    trace.destination = *IpAddress::parse("198.18.5.2");
    trace.rounds = 10;
    trace.hops = {routeHop(1, {"198.18.1.2"}, 10, 0, 300, 100, 150, 300, 60), routeHop(2, {}, 10, 10),
                  routeHop(3, {"198.18.3.2", "198.18.30.2"}, 10, 4, 4700, 1000, 2351, 4700, 1100),
                  routeHop(4, {"198.18.5.2"}, 10, 5, 20000, 9000, 10000, 20000, 3300)};
    trace.reached = true;
    trace.lossBeginsAt = 3;
    window.showStored(trace, 1'796'684'400'000, QStringLiteral("far.example"));
    expectOnScreen(window);
    const QPalette light = QApplication::palette();
    for (const bool dark : {false, true}) {
        QApplication::setPalette(dark ? darkPalette() : light);
        spin(std::chrono::milliseconds(100));
        const QString file = QStringLiteral("route-x%1%2.png").arg(scale, dark ? QStringLiteral("-dark") : QString());
        EXPECT_TRUE(window.grab().save(QDir(dir).filePath(file)));
    }
    QApplication::setPalette(light);
}

// A second window beside the first: to its right while there is room, else to its left, never off the screen.
TEST_F(WindowFit, BesideAnotherItStaysOnTheScreen) {
    QWidget first;
    first.setWindowTitle(QStringLiteral("first"));
    first.resize(screen.width() / 3, screen.height() / 2);
    first.move(screen.topLeft());
    first.show();
    expectOnScreen(first);
    QWidget second;
    second.setWindowTitle(QStringLiteral("second"));
    second.resize(screen.width() / 3, screen.height() / 2);
    ScreenFit::placeBeside(second, first);
    second.show();
    expectOnScreen(second);
    EXPECT_GE(second.frameGeometry().left(), first.frameGeometry().right()) << "to the right";

    first.move(screen.right() - first.frameGeometry().width(), screen.top());
    ASSERT_TRUE(waitFor([&] { return first.frameGeometry().right() >= screen.right() - 1; }));
    second.hide();
    ScreenFit::placeBeside(second, first);
    second.show();
    expectOnScreen(second);
    EXPECT_LE(second.frameGeometry().right(), first.frameGeometry().left()) << "to the left";
}

} // namespace
