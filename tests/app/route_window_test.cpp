#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QAction>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QTreeWidget>

#include "AppTestSupport.h"
#include "app/common/AppSettings.h"
#include "app/AppRoot.h"
#include "app/MainWindow.h"
#include "app/options/OptionsDialog.h"
#include "app/history/HistoryService.h"
#include "app/route/RouteWindow.h"
#include "history/HistoryLedger.h"
#include "app/RunControl.h"
#include "support/NetNamespace.h"
#include "support/RecordingMessagePort.h"
#include "support/ScriptedHubSocket.h"
#include "support/ScriptedHostResolver.h"

// The Route window: the hop table and its line on where loss begins from a given result, a stored trace in
// place of a live one, the size it keeps, and live traces of loopback in a private namespace.

namespace {

constexpr std::int64_t kTakenMs = 1'796'684'400'000; // 2026-12-07 23:00:00 UTC

RouteHop hop(std::uint8_t number, std::vector<const char*> addresses, std::uint32_t sent, std::uint32_t received,
             std::uint32_t bestUs = 0, std::uint32_t averageUs = 0, std::uint32_t worstUs = 0) {
    RouteHop h;
    h.number = number;
    for (const char* address : addresses)
        h.answered.push_back(IpAddress::v4(inet_addr(address)));
    h.sent = sent;
    h.received = received;
    h.lastUs = worstUs;
    h.bestUs = bestUs;
    h.averageUs = averageUs;
    h.worstUs = worstUs;
    h.stdDevUs = 260;
    return h;
}

// Four hops: a clean router, a silent one, a load balancer from which loss begins, and the destination.
RouteResult lossyPath() {
    RouteResult result;
    result.destination = IpAddress::v4(inet_addr("198.18.5.2"));
    result.rounds = 10;
    result.hops = {hop(1, {"198.18.1.2"}, 10, 10, 100, 150, 300), hop(2, {}, 10, 0),
                   hop(3, {"198.18.3.2", "198.18.30.2"}, 10, 6, 1000, 2351, 4700),
                   hop(4, {"198.18.5.2"}, 10, 5, 9000, 10000, 20000)};
    result.reached = true;
    result.lossBeginsAt = 3;
    return result;
}

using Cells = std::vector<std::string>;

Cells row(const QTreeWidget& table, int index) {
    Cells cells;
    for (int column = 0; column < RouteWindow::LatencyColumn; ++column)
        cells.push_back(table.topLevelItem(index)->text(column).toStdString());
    return cells;
}

class RouteWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The stored trace's time reads the same wherever the test runs.
        setenv("TZ", "UTC", 1);
        tzset();
    }

    void SetUp() override {
        TestApp();
        settings.quietly().host = "127.0.0.1";
    }

    std::unique_ptr<RouteWindow> make() {
        auto window = std::make_unique<RouteWindow>(settings);
        RouteWindow::HostSource source;
        source.runningTarget = [this] { return runningTarget; };
        source.resolver = resolver;
        window->setHostSource(std::move(source));
        return window;
    }

    AppSettings settings;
    std::shared_ptr<ScriptedHostResolver> resolver = std::make_shared<ScriptedHostResolver>();
    std::optional<IpAddress> runningTarget;
};

// ---- What a result shows ----

TEST_F(RouteWindowTest, RowsShowEachHopsFiguresInMillisecondsAndTheLossLine) {
    auto window = make();
    window->showStored(lossyPath(), kTakenMs, QStringLiteral("far.test"));
    const QTreeWidget& table = *window->hopTable();
    ASSERT_EQ(table.topLevelItemCount(), 4);
    EXPECT_EQ(row(table, 0), Cells({"1", "198.18.1.2", "0.0%", "10", "0.3", "0.1", "0.1", "0.3", "0.3"}));
    EXPECT_EQ(row(table, 1), Cells({"2", "?\?\?", "100.0%", "10", "-", "-", "-", "-", "-"}));
    EXPECT_EQ(row(table, 2), Cells({"3", "198.18.3.2\n198.18.30.2", "40.0%", "10", "4.7", "2.4", "1.0", "4.7", "0.3"}));
    EXPECT_EQ(row(table, 3), Cells({"4", "198.18.5.2", "50.0%", "10", "20.0", "10.0", "9.0", "20.0", "0.3"}));
    // The silent router is said to be one, so that its 100 % is not read as loss of the path.
    EXPECT_FALSE(table.topLevelItem(1)->toolTip(RouteWindow::AddressColumn).isEmpty());
    EXPECT_TRUE(table.topLevelItem(0)->toolTip(RouteWindow::AddressColumn).isEmpty());
    EXPECT_EQ(window->lossLabel()->text(), QStringLiteral("Loss begins at hop 3 (198.18.3.2)"));
    EXPECT_EQ(window->roundsLabel()->text(), QStringLiteral("Rounds: 10"));

    // A stored trace says when it was taken and of which host, whatever host the settings name now.
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Route - far.test"));
    const QString source = window->sourceLabel()->text();
    EXPECT_TRUE(source.contains(QStringLiteral("far.test [198.18.5.2]"))) << source.toStdString();
    EXPECT_TRUE(source.contains(QStringLiteral("2026-12-07 23:00:00"))) << source.toStdString();
    settings.change([](Settings& s) { s.host = "other.test"; });
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Route - far.test"));
}

TEST_F(RouteWindowTest, FewerHopsThanBeforeLeaveNoStaleRowsAndAnUnreachableHopIsMarked) {
    auto window = make();
    window->showStored(lossyPath(), kTakenMs, QStringLiteral("far.test"));
    RouteResult refused;
    refused.destination = IpAddress::v4(inet_addr("198.18.5.2"));
    refused.rounds = 3;
    refused.hops = {hop(1, {"198.18.1.2"}, 3, 3, 100, 100, 100), hop(2, {"198.18.2.1"}, 3, 3, 200, 200, 200)};
    refused.hops[1].unreachable = true;
    refused.lossBeginsAt = 2;
    window->showStored(refused, kTakenMs, QStringLiteral("far.test"));
    ASSERT_EQ(window->hopTable()->topLevelItemCount(), 2);
    EXPECT_EQ(window->hopTable()->topLevelItem(1)->text(RouteWindow::AddressColumn),
              QStringLiteral("198.18.2.1  unreachable"));
    EXPECT_EQ(window->lossLabel()->text(), QStringLiteral("Loss begins at hop 2 (198.18.2.1)"));

    RouteResult clean = refused;
    clean.hops[1].unreachable = false;
    clean.reached = true;
    clean.lossBeginsAt.reset();
    window->showStored(clean, kTakenMs, QStringLiteral("far.test"));
    EXPECT_EQ(window->lossLabel()->text(), QStringLiteral("No loss on the path"));
    // A round counts once its slowest hop is in; the first hop has answered the next round by then, and Rounds
    // says what its Snt says.
    RouteResult ahead = clean;
    ahead.hops[0].sent = ahead.hops[0].received = 4;
    window->showStored(ahead, kTakenMs, QStringLiteral("far.test"));
    EXPECT_EQ(window->roundsLabel()->text(), QStringLiteral("Rounds: 4"));
    window->showStored(RouteResult{}, kTakenMs, QStringLiteral("far.test"));
    EXPECT_EQ(window->hopTable()->topLevelItemCount(), 0);
    EXPECT_TRUE(window->lossLabel()->text().isEmpty()) << "no hops, nothing to say about loss";
}

TEST(RouteWindowLatencyBar, SpansBestToWorstWithTheAverageMarkedOnTheTablesScale) {
    const struct {
        const char* what;
        RouteHop hop;
        std::uint32_t scaleUs;
        int width;
        std::optional<RouteWindow::LatencyBar> bar;
    } cases[] = {
        {"the slowest hop fills the cell", hop(1, {"198.18.1.2"}, 5, 5, 0, 500, 1000), 1000, 101,
         RouteWindow::LatencyBar{0, 100, 50}},
        {"a faster hop takes its share", hop(1, {"198.18.1.2"}, 5, 5, 250, 300, 500), 1000, 101,
         RouteWindow::LatencyBar{25, 50, 30}},
        {"beyond the scale stays in the cell", hop(1, {"198.18.1.2"}, 5, 5, 900, 1500, 3000), 1000, 11,
         RouteWindow::LatencyBar{9, 10, 10}},
        {"a silent hop has no bar", hop(1, {}, 5, 0), 1000, 101, std::nullopt},
        {"no scale yet", hop(1, {"198.18.1.2"}, 5, 5, 0, 0, 0), 0, 101, std::nullopt},
        {"no room", hop(1, {"198.18.1.2"}, 5, 5, 1, 2, 3), 3, 0, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto bar = RouteWindow::latencyBar(c.hop, c.scaleUs, c.width);
        ASSERT_EQ(bar.has_value(), c.bar.has_value());
        if (bar) {
            EXPECT_EQ(bar->left, c.bar->left);
            EXPECT_EQ(bar->right, c.bar->right);
            EXPECT_EQ(bar->mark, c.bar->mark);
        }
    }
}

// ---- The size it keeps ----

TEST_F(RouteWindowTest, SizeIsTakenFromTheSettingsAndKeptThereWhenClosed) {
    int announced = 0;
    QObject::connect(&settings, &AppSettings::changed, [&announced](const SettingsChange& change) {
        if (change.fields.contains(SettingId::RouteWindowSize))
            ++announced;
    });
    settings.quietly().routeWindowSize = "640x360";
    auto window = make();
    EXPECT_EQ(window->size(), QSize(640, 360));
    window->show();
    window->resize(700, 400);
    window->close();
    EXPECT_EQ(settings.value().routeWindowSize, "700x400");
    EXPECT_EQ(announced, 1);
    window->show();
    window->close();
    EXPECT_EQ(announced, 1) << "an unchanged size is no change";

    // A window made later opens at the kept size; one from a larger screen still fits this one.
    EXPECT_EQ(make()->size(), QSize(700, 400));
    settings.quietly().routeWindowSize = "99999x99999";
    EXPECT_TRUE(
        QRect(QPoint(), QApplication::primaryScreen()->availableSize()).contains(QRect(QPoint(), make()->size())));
}

// ---- Hosts it cannot trace ----

TEST_F(RouteWindowTest, AnUnresolvableOrMissingHostIsSaidInTheWindow) {
    auto window = make();
    settings.quietly().host = "nowhere.test";
    window->startTracing();
    ASSERT_TRUE(waitFor([&] { return !window->isTracing(); }));
    EXPECT_TRUE(window->messageLabel()->isVisibleTo(window.get()));
    EXPECT_EQ(window->messageLabel()->text(), QStringLiteral("Host not found: nowhere.test"));
    EXPECT_EQ(resolver->count("byname:nowhere.test"), 1U) << "looked up off the window thread, once";
    EXPECT_EQ(window->startButton()->text(), QStringLiteral("&Start"));

    settings.quietly().host.clear();
    window->startTracing();
    EXPECT_FALSE(window->isTracing());
    EXPECT_TRUE(window->messageLabel()->text().startsWith(QStringLiteral("No host to trace")));
}

TEST_F(RouteWindowTest, StopDuringTheLookupAbandonsIt) {
    auto window = make();
    settings.quietly().host = "slow.test";
    resolver->addName("slow.test", HostEntry{"slow.test", {IpAddress::v4(inet_addr("127.0.0.1"))}});
    resolver->hold();
    window->startTracing();
    EXPECT_TRUE(window->isTracing());
    EXPECT_EQ(window->startButton()->text(), QStringLiteral("S&top"));
    window->startButton()->click();
    EXPECT_FALSE(window->isTracing());
    resolver->release();
    ASSERT_TRUE(resolver->waitForLookups(1, std::chrono::seconds(10)));
    spin(std::chrono::milliseconds(200));
    EXPECT_FALSE(window->isTracing()) << "the late answer starts nothing";
}

// ---- Live traces in a private namespace ----

class RouteWindowLive : public RouteWindowTest {
protected:
    void SetUp() override {
        if (const std::string why = NetNamespace::unavailableReason(); !why.empty())
            GTEST_SKIP() << why;
        RouteWindowTest::SetUp();
        ns = std::make_unique<NetNamespace>("routewin");
        ASSERT_TRUE(ns->ok()) << ns->error();
        ASSERT_TRUE(ns->allowPingSockets());
        // The trace's thread is made from this one, and lives in the namespace with it.
        inside = std::make_unique<NetNamespace::Entered>(*ns);
        ASSERT_TRUE(inside->ok());
    }
    void TearDown() override {
        inside.reset();
        ns.reset();
    }

    // The program as the user starts it on 127.0.0.1, with its history in `dir`.
    AppRoot::Services programServices(const TempDir& dir) {
        AppRoot::Services services;
        services.arguments = {"127.0.0.1"};
        services.resolver = resolver;
        services.sockets = ScriptedNetwork().opener(); // a network where nothing answers
        services.messages = std::make_unique<RecordingMessagePort>();
        services.runOptionsDialog = [](OptionsDialog&) { return int(QDialog::Rejected); };
        services.watchSignals = false;
        services.historyPath = dir.file("history.sqlite");
        return services;
    }

    // Waits until the window shows at least `rounds` rounds.
    static bool roundsShown(const RouteWindow& window, std::uint32_t rounds) {
        return waitFor([&] { return window.shownResult().rounds >= rounds; }, std::chrono::seconds(20));
    }

    std::unique_ptr<NetNamespace> ns;
    std::unique_ptr<NetNamespace::Entered> inside;
};

TEST_F(RouteWindowLive, LoopbackIsOneHopWithoutLossAndRoundsGoOnUntilStop) {
    auto window = make();
    window->show();
    window->startButton()->click();
    EXPECT_TRUE(window->isTracing());
    EXPECT_EQ(window->startButton()->text(), QStringLiteral("S&top"));
    ASSERT_TRUE(roundsShown(*window, 2));
    const RouteResult& shown = window->shownResult();
    ASSERT_EQ(shown.hops.size(), 1U);
    ASSERT_EQ(shown.hops[0].answered.size(), 1U);
    EXPECT_EQ(shown.hops[0].answered[0].text(), "127.0.0.1");
    EXPECT_EQ(shown.hops[0].lost(), 0U);
    EXPECT_EQ(window->hopTable()->topLevelItemCount(), 1);
    EXPECT_EQ(window->lossLabel()->text(), QStringLiteral("No loss on the path"));
    EXPECT_EQ(window->roundsLabel()->text(), QStringLiteral("Rounds: %1").arg(shown.rounds));
    EXPECT_FALSE(window->messageLabel()->isVisibleTo(window.get()));

    window->startButton()->click(); // returns once the trace's thread has ended
    EXPECT_FALSE(window->isTracing());
    EXPECT_EQ(window->startButton()->text(), QStringLiteral("&Start"));
    const std::uint32_t rounds = window->shownResult().rounds;
    EXPECT_GE(rounds, 2U) << "what the trace found stays shown";
    spin(std::chrono::milliseconds(1500));
    EXPECT_EQ(window->shownResult().rounds, rounds) << "no round after the stop";
}

TEST_F(RouteWindowLive, TheAddressOfTheRunUnderWayIsTracedWithoutALookup) {
    settings.quietly().host = "watched.test"; // unknown to the resolver
    runningTarget = IpAddress::v4(inet_addr("127.0.0.1"));
    auto window = make();
    window->startTracing();
    ASSERT_TRUE(roundsShown(*window, 1));
    EXPECT_EQ(window->shownResult().destination.text(), "127.0.0.1");
    EXPECT_EQ(resolver->count("byname:watched.test"), 0U);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Route - watched.test"));
    window->stopTracing();
}

TEST_F(RouteWindowLive, AStoredTraceEndsTheLiveOneAndStaysShown) {
    auto window = make();
    window->startTracing();
    ASSERT_TRUE(roundsShown(*window, 1));
    window->showStored(lossyPath(), kTakenMs, QStringLiteral("far.test"));
    EXPECT_FALSE(window->isTracing());
    EXPECT_EQ(window->startButton()->text(), QStringLiteral("&Start"));
    spin(std::chrono::milliseconds(1500));
    EXPECT_EQ(window->shownResult(), lossyPath()) << "no live round overwrites it";
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Route - far.test"));

    // Start again: a live trace of the main host takes its place.
    window->startTracing();
    ASSERT_TRUE(roundsShown(*window, 1));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Route - 127.0.0.1"));
    EXPECT_EQ(window->shownResult().hops.size(), 1U);
    window->stopTracing();
}

TEST_F(RouteWindowLive, ClosingOrDestroyingTheWindowDuringATraceEndsIt) {
    auto window = make();
    window->show();
    window->startTracing();
    ASSERT_TRUE(roundsShown(*window, 1));
    window->close();
    EXPECT_FALSE(window->isTracing());

    window->show();
    window->startTracing();
    ASSERT_TRUE(roundsShown(*window, 1));
    window.reset(); // joins the trace's thread; a hang here fails the test by its time limit
    spin(std::chrono::milliseconds(100));
}

// Start, Stop and stored traces as fast as a user can click, with and without the window's events handled in
// between: nothing from an earlier trace shows afterwards, and a last Start traces as ever.
TEST_F(RouteWindowLive, StormsOfStartStopAndStoredTracesLeaveOneTraceOrNone) {
    auto window = make();
    window->show();
    for (int i = 0; i < 300; ++i) {
        if (i % 23 == 0)
            window->showStored(lossyPath(), kTakenMs, QStringLiteral("far.test"));
        else
            window->startButton()->click();
        if (i % 5 == 0)
            QCoreApplication::processEvents();
    }
    if (window->isTracing())
        window->startButton()->click();
    EXPECT_FALSE(window->isTracing());
    const RouteResult stopped = window->shownResult();
    spin(std::chrono::milliseconds(1500));
    EXPECT_EQ(window->shownResult(), stopped) << "a round of an ended trace came through";

    window->startButton()->click();
    ASSERT_TRUE(roundsShown(*window, 2));
    ASSERT_EQ(window->shownResult().hops.size(), 1U);
    EXPECT_EQ(window->hopTable()->topLevelItemCount(), 1);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Route - 127.0.0.1"));
    window->startButton()->click();
    EXPECT_FALSE(window->isTracing());
}

TEST_F(RouteWindowLive, NoSocketIsSaidInTheWindow) {
    // Nobody may open a ping socket in a new namespace, root included.
    ASSERT_TRUE(ns->sysctl("net.ipv4.ping_group_range", "1 0"));
    auto window = make();
    window->setSocketPreference(TraceSocket::Preference::DatagramOnly);
    window->startTracing();
    ASSERT_TRUE(waitFor([&] { return !window->isTracing(); }));
    EXPECT_TRUE(window->messageLabel()->text().startsWith(QStringLiteral("Can't open an ICMP socket")))
        << window->messageLabel()->text().toStdString();
    EXPECT_EQ(window->startButton()->text(), QStringLiteral("&Start"));
}

// ---- From the main window ----

TEST_F(RouteWindowLive, CtrlROrTheTraysRouteOpensTheWindowTracingTheMainHost) {
    TempDir historyDir;
    AppRoot program(programServices(historyDir));
    MainWindow& main = program.mainWindow();

    QAction* route = main.routeAction();
    ASSERT_NE(route, nullptr);
    EXPECT_EQ(route->text(), QStringLiteral("&Route"));
    EXPECT_EQ(route->shortcut(), QKeySequence(QStringLiteral("Ctrl+R")));
    EXPECT_TRUE(main.actions().contains(route)) << "the shortcut belongs to the main window";
    const QList<QAction*> menu = main.trayMenu()->actions();
    ASSERT_TRUE(menu.contains(main.historyAction()));
    ASSERT_TRUE(menu.contains(route));
    EXPECT_GT(menu.indexOf(route), menu.indexOf(main.historyAction())) << "after History";
    for (qsizetype i = menu.indexOf(main.historyAction()) + 1; i < menu.indexOf(route); ++i)
        EXPECT_FALSE(menu[i]->isSeparator()) << "in History's group, before the separator";

    route->trigger();
    RouteWindow* window = program.routeWindow();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isTracing());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Route - 127.0.0.1"));
    ASSERT_TRUE(roundsShown(*window, 1));
    EXPECT_EQ(program.routeWindow(), window) << "one window, made once";
    main.close(); // the program ends with a trace under way
}

// A stored trace asked for from History while a live one runs opens in a second window beside it; the live
// trace goes on untouched, and a further stored trace reuses that second window.
TEST_F(RouteWindowLive, AStoredTraceOpensBesideALiveTraceAndNeverReplacesIt) {
    TempDir historyDir;
    AppRoot program(programServices(historyDir));
    program.history()->open();
    const std::shared_ptr<HistoryLedger> ledger = program.history()->ledger();
    ASSERT_NE(ledger, nullptr);
    RouteSnapshot stored;
    stored.host = "far.test";
    stored.address = "198.18.5.2";
    stored.takenMs = kTakenMs;
    stored.rounds = 10;
    stored.hops = lossyPath().hops;
    ledger->recordRoute(stored);
    ASSERT_TRUE(ledger->flush(std::chrono::seconds(30)));
    ASSERT_TRUE(ledger->routeSnapshot(1).has_value());

    // Not tracing: the one window shows it.
    program.history()->onRouteRequested(1);
    RouteWindow* live = program.routeWindow();
    EXPECT_EQ(live->host(), QStringLiteral("far.test"));
    EXPECT_TRUE(program.storedRouteWindows().empty());

    live->startTracing();
    ASSERT_TRUE(roundsShown(*live, 1));
    for (int ask = 0; ask < 2; ++ask) {
        program.history()->onRouteRequested(1);
        ASSERT_EQ(program.storedRouteWindows().size(), 1u) << "one window beside, reused";
        RouteWindow* beside = program.storedRouteWindows().front();
        EXPECT_TRUE(beside->isVisible());
        EXPECT_EQ(beside->host(), QStringLiteral("far.test"));
        EXPECT_EQ(beside->hopTable()->topLevelItemCount(), 4);
        EXPECT_TRUE(live->isTracing()) << "the live trace goes on";
        EXPECT_EQ(live->host(), QStringLiteral("127.0.0.1"));
        EXPECT_NE(beside->frameGeometry().topLeft(), live->frameGeometry().topLeft()) << "not stacked on it";
    }
    program.mainWindow().close();
}

} // namespace
