#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <thread>
#include <utility>

#include <QAction>
#include <QComboBox>
#include <QDateTime>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>
#include <QTreeWidget>

#include "AppTestSupport.h"
#include "app/AppRoot.h"
#include "app/MainWindow.h"
#include "app/RunControl.h"
#include "app/common/HistoryFormat.h"
#include "app/desktop/TrayController.h"
#include "app/history/HistoryService.h"
#include "app/history/HistoryWindow.h"
#include "app/history/LatencyGraph.h"
#include "app/hosts/HostList.h"
#include "history/HistoryCsv.h"
#include "history/HistoryLedger.h"
#include "history/PendingLog.h"
#include "history/SqliteDb.h"
#include "settings/StoredValues.h"
#include "support/RecordingMessagePort.h"
#include "support/RouteHops.h"
#include "support/ScriptedHostResolver.h"
#include "support/ScriptedHubSocket.h"
#include "text/IcmpStatusText.h"
#include "types/ProbeObserver.h"

#include <sqlite3.h>

namespace {

constexpr std::int64_t kNow = 1'796'684'400'000; // 2026-12-07 23:00 UTC
constexpr std::int64_t kT0 = kNow - 5 * 60'000;
const std::string kHost = "watch.test";

std::shared_ptr<HistoryLedger> makeLedger(const std::string& path, int days = 30) {
    HistoryOptions options;
    options.path = path;
    options.days = days;
    options.retryInterval = std::chrono::milliseconds(50);
    options.clock = [] { return kNow; };
    return std::make_shared<HistoryLedger>(std::move(options));
}

ProbeSample reply(std::int64_t atMs, std::int64_t rttUs, std::uint8_t hostStatus, const std::string& host = kHost) {
    return {atMs, host, "127.0.0.1", rttUs, 0, 64, hostStatus};
}

ProbeSample failure(std::int64_t atMs, std::int32_t status, std::uint8_t hostStatus) {
    return {atMs, kHost, "127.0.0.1", std::nullopt, static_cast<std::uint32_t>(status), std::nullopt, hostStatus};
}

// One probe a second from kT0: ten replies of 10 to 100 us, an unreachable host and two timeouts that make
// the status Bad, five replies of 50 us that make it Good again, then two slow replies judged Bad.
// Around it: a probe of the same host two hours earlier and one of another host, which the hour leaves out.
void recordScript(HistoryLedger& ledger) {
    std::int64_t at = kT0;
    auto next = [&at] { return std::exchange(at, at + 1000); };
    ledger.record(reply(kNow - 2 * 3'600'000, 900, 3));
    for (int i = 1; i <= 10; ++i)
        ledger.record(reply(next(), 10 * i, 3));
    ledger.record(failure(next(), IpStatus::DestHostUnreachable, 3));
    ledger.record(failure(next(), IpStatus::RequestTimedOut, 2));
    ledger.record(failure(next(), IpStatus::RequestTimedOut, 1));
    for (int i = 0; i < 5; ++i)
        ledger.record(reply(next(), 50, i == 0 ? 2 : 3));
    ledger.record(reply(next(), 120, 1));
    ledger.record(reply(next(), 120, 1));
    ledger.record(reply(kT0 + 5000, 7777, 3, "other.test"));
    ASSERT_TRUE(ledger.flush(std::chrono::seconds(30)));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class HistoryWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestApp();
        ledger_ = makeLedger(dir_.file("history.sqlite"));
        recordScript(*ledger_);
        window_ = std::make_unique<HistoryWindow>(ledger_, QString::fromStdString(kHost), nullptr, [] { return kNow; });
    }
    template <class T> T* child(const char* name) { return window_->findChild<T*>(QString::fromLatin1(name)); }
    QString summary() { return child<QLabel>("summaryLabel")->text().replace(QChar(0x00A0), QLatin1Char(' ')); }

    TempDir dir_;
    std::shared_ptr<HistoryLedger> ledger_;
    std::unique_ptr<HistoryWindow> window_;
};

// Where along the path each outage's trace found the loss beginning; a double-click asks for that trace.
TEST_F(HistoryWindowTest, WhereNamesTheHopOfEachOutagesTraceAndOpensIt) {
    RouteSnapshot trace;
    trace.host = kHost;
    trace.address = "127.0.0.1";
    trace.takenMs = kT0 + 12'000;
    trace.rounds = 10;
    trace.lossBeginsAt = 3;
    trace.hops = {routeHop(1, {"198.18.1.2"}, 10, 0, 300, 250, 300, 420, 51),
                  routeHop(3, {"198.18.3.2"}, 10, 4, 900, 700, 810, 1200, 140)};
    ledger_->recordRoute(trace);
    window_->show();
    std::vector<qint64> requested;
    QObject::connect(window_.get(), &HistoryWindow::routeSnapshotRequested,
                     [&requested](qint64 id) { requested.push_back(id); });

    auto* outages = child<QTreeWidget>("outageList");
    ASSERT_EQ(outages->topLevelItemCount(), 2);
    EXPECT_EQ(outages->headerItem()->text(HistoryWindow::WhereColumn), QStringLiteral("Where"));
    QTreeWidgetItem* slow = outages->topLevelItem(0);
    QTreeWidgetItem* lost = outages->topLevelItem(1);
    EXPECT_EQ(lost->text(HistoryWindow::WhereColumn), QStringLiteral("hop 3, 198.18.3.2"));
    EXPECT_EQ(slow->text(HistoryWindow::WhereColumn), QString()) << "no trace was taken";
    EXPECT_EQ(lost->toolTip(HistoryWindow::WhereColumn),
              QStringLiteral("Loss begins at hop 3 (198.18.3.2)\nDouble-click to see the route"));

    Q_EMIT outages->itemDoubleClicked(slow, 0);
    EXPECT_TRUE(requested.empty());
    Q_EMIT outages->itemDoubleClicked(lost, HistoryWindow::WhereColumn);
    ASSERT_EQ(requested.size(), 1u);
    const std::optional<RouteSnapshot> opened = ledger_->routeSnapshot(requested[0]);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->lossAddress(), "198.18.3.2");

    trace.takenMs = kT0 + 19'000;
    trace.lossBeginsAt.reset();
    ledger_->recordRoute(trace);
    window_->refresh();
    slow = outages->topLevelItem(0);
    EXPECT_EQ(slow->text(HistoryWindow::WhereColumn), QStringLiteral("no loss on the path"));
}

TEST_F(HistoryWindowTest, ShowsTheSpanFiguresAndItsOutagesNewestFirst) {
    window_->show();
    EXPECT_EQ(window_->windowTitle(), QStringLiteral("History - watch.test"));
    EXPECT_EQ(child<QComboBox>("spanBox")->currentText(), QStringLiteral("1 hour"));
    EXPECT_FALSE(child<QLabel>("problemLabel")->isVisible());

    // 17 replies: 10..100 us, five of 50, two of 120; nearest-rank median the 9th (50), 95th the 17th (120).
    // Jitter: nine steps of 10, 100 -> 50, 50 -> 120, over 16 pairs.
    EXPECT_EQ(summary(), QStringLiteral("Availability 85.00 %   Sent 20   Lost 3   Min 0.010 ms   Median 0.050 ms   "
                                        "95th percentile 0.120 ms   Max 0.120 ms   Jitter 0.013 ms"));

    auto* outages = child<QTreeWidget>("outageList");
    ASSERT_EQ(outages->topLevelItemCount(), 2);
    const QTreeWidgetItem* slow = outages->topLevelItem(0);
    EXPECT_EQ(slow->text(0), HistoryFormat::dateTime(kT0 + 18'000));
    EXPECT_EQ(slow->text(1), QStringLiteral("ongoing"));
    EXPECT_EQ(slow->text(2), QStringLiteral("4 min 42 s")); // up to now
    EXPECT_EQ(slow->text(3), QStringLiteral("Replies too slow"));
    // From the first failed probe to the first reply, not from the verdict: both times are at hand.
    const QTreeWidgetItem* lost = outages->topLevelItem(1);
    EXPECT_EQ(lost->text(0), HistoryFormat::dateTime(kT0 + 10'000));
    EXPECT_EQ(lost->text(1), HistoryFormat::dateTime(kT0 + 13'000));
    EXPECT_EQ(lost->text(2), QStringLiteral("3 s"));
    EXPECT_TRUE(lost->toolTip(0).contains(QStringLiteral("Status Bad from ") + HistoryFormat::dateTime(kT0 + 12'000)))
        << lost->toolTip(0).toStdString();
    EXPECT_TRUE(slow->toolTip(0).contains(QStringLiteral("Status Bad from ") + HistoryFormat::dateTime(kT0 + 18'000)));
    // The error that began the streak, not the timeout that tipped the status.
    EXPECT_EQ(lost->text(3), QString::fromStdString(icmpStatusText(IpStatus::DestHostUnreachable)));

    // A wider span takes in the older probe; the other host never counts.
    window_->setSpanIndex(2);
    EXPECT_TRUE(summary().contains(QStringLiteral("Sent 21   Lost 3   Min 0.010 ms")));
    EXPECT_TRUE(summary().contains(QStringLiteral("Max 0.900 ms")));
    window_->setSpanIndex(0);
    EXPECT_TRUE(summary().startsWith(QStringLiteral("Availability 85.00 %   Sent 20")));
}

TEST_F(HistoryWindowTest, GraphColumnsTellTheirProbesOnHover) {
    window_->setSpanIndex(0); // ten minutes: one probe per column at this width
    window_->show();
    auto* graph = child<LatencyGraph>("graph");
    QStringList tips;
    for (int x = 0; x < graph->width(); ++x) {
        const QString tip = graph->toolTipAt(x);
        if (!tip.isEmpty() && (tips.isEmpty() || tips.back() != tip))
            tips << tip;
    }
    ASSERT_EQ(tips.size(), 20);
    EXPECT_TRUE(tips.at(0).contains(QStringLiteral("Median 0.010 ms")));
    EXPECT_TRUE(tips.at(0).contains(QStringLiteral("Lost 0 of 1 (0 %)")));
    EXPECT_TRUE(tips.at(11).contains(QStringLiteral("No replies")));
    EXPECT_TRUE(tips.at(11).contains(QStringLiteral("Lost 1 of 1 (100 %)")));
    EXPECT_GE(graph->axisTopUs(), 120); // every column fits below the top
    EXPECT_LT(graph->axisTopUs(), 240);
    EXPECT_TRUE(graph->toolTipAt(graph->width() - 1).isEmpty());
}

TEST_F(HistoryWindowTest, ExportWritesTheSpanAndKeepsAnOldFileWhenItFails) {
    const std::string path = dir_.file("export.csv");
    ASSERT_EQ(window_->exportCsv(QString::fromStdString(path)), QString());
    const std::string csv = readFile(path);
    EXPECT_EQ(csv.rfind(HistoryCsv::header(), 0), 0u) << csv;
    EXPECT_EQ(HistoryCsv::header(), "time,host,address,rtt_ms,status,status_text,ttl\r\n");
    EXPECT_NE(csv.find(HistoryCsv::isoUtc(kT0) + ",watch.test,127.0.0.1,0.010,0,Success,64\r\n"), std::string::npos)
        << csv;
    EXPECT_NE(csv.find(HistoryCsv::isoUtc(kT0 + 10'000) + ",watch.test,127.0.0.1,,11003," +
                       icmpStatusText(IpStatus::DestHostUnreachable) + ",\r\n"),
              std::string::npos)
        << csv;
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 21); // header and the hour's 20 probes
    EXPECT_EQ(csv.find("other.test"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(path + ".part"));

    // A folder that cannot take the file: a reason, and the earlier export untouched.
    std::filesystem::create_directory(dir_.file("taken.csv"));
    const QString error = window_->exportCsv(QString::fromStdString(dir_.file("taken.csv")));
    EXPECT_TRUE(error.startsWith(QStringLiteral("Cannot export to "))) << error.toStdString();
    const QString missing = window_->exportCsv(QString::fromStdString(dir_.file("no/such/folder.csv")));
    EXPECT_FALSE(missing.isEmpty());
    EXPECT_FALSE(std::filesystem::exists(dir_.file("no")));
    EXPECT_EQ(readFile(path), csv);
}

// The export's temporary file is made afresh: a link or a file already at "<target>.part" is neither
// written through nor replaced.
TEST_F(HistoryWindowTest, ExportNeverWritesThroughWhatLiesBesideTheTarget) {
    const std::string victim = dir_.file("victim.txt");
    std::ofstream(victim) << "precious";
    const std::string linked = dir_.file("linked.csv");
    std::filesystem::create_symlink(victim, linked + ".part");
    const std::string plain = dir_.file("plain.csv");
    std::ofstream(plain + ".part") << "someone else's";
    for (const std::string& target : {linked, plain}) {
        SCOPED_TRACE(target);
        ASSERT_EQ(window_->exportCsv(QString::fromStdString(target)), QString());
        EXPECT_EQ(readFile(target).rfind(HistoryCsv::header(), 0), 0u);
        EXPECT_FALSE(std::filesystem::is_symlink(target));
    }
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_TRUE(std::filesystem::is_symlink(linked + ".part"));
    EXPECT_EQ(readFile(plain + ".part"), "someone else's");
    // A link at the target itself is replaced by the export, its target left alone.
    const std::string pointing = dir_.file("pointing.csv");
    std::filesystem::create_symlink(victim, pointing);
    ASSERT_EQ(window_->exportCsv(QString::fromStdString(pointing)), QString());
    EXPECT_EQ(readFile(pointing).rfind(HistoryCsv::header(), 0), 0u);
}

// A file from a newer program: the window shows what it holds and says, in those words, that nothing is
// recorded.
// The fixture's ledger holds the main host and other.test, whose one probe lies in the hour too.
TEST_F(HistoryWindowTest, TheChooserListsTheLedgersHostsAndShowHostSwitches) {
    window_->show();
    auto* box = child<QComboBox>("hostBox");
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isVisible());
    EXPECT_TRUE(child<QToolButton>("overlayButton")->isVisible());
    EXPECT_EQ(window_->hosts(), (QStringList{QStringLiteral("watch.test"), QStringLiteral("other.test")}));
    EXPECT_EQ(box->currentText(), QStringLiteral("watch.test"));

    const struct {
        const char* host;
        const char* title;
        int outages;
        const char* summaryStart;
    } steps[] = {
        {"other.test", "History - other.test", 0, "Availability 100.00 %   Sent 1   Lost 0"},
        {"watch.test", "History - watch.test", 2, "Availability 85.00 %   Sent 20   Lost 3"},
        {"later.test", "History - later.test", 0, "No probes in this span."}, // watched, nothing stored yet
    };
    for (const auto& step : steps) {
        window_->showHost(QString::fromLatin1(step.host));
        EXPECT_EQ(window_->host(), QString::fromLatin1(step.host));
        EXPECT_EQ(window_->windowTitle(), QString::fromLatin1(step.title));
        EXPECT_EQ(box->currentText(), QString::fromLatin1(step.host));
        EXPECT_EQ(child<QTreeWidget>("outageList")->topLevelItemCount(), step.outages) << step.host;
        EXPECT_TRUE(summary().startsWith(QString::fromLatin1(step.summaryStart))) << summary().toStdString();
    }
    // The main host stays first; the others follow alphabetically.
    EXPECT_EQ(window_->hosts(),
              (QStringList{QStringLiteral("watch.test"), QStringLiteral("later.test"), QStringLiteral("other.test")}));

    // Chosen in the box, as the user does.
    Q_EMIT box->activated(2);
    EXPECT_EQ(window_->host(), QStringLiteral("other.test"));
    EXPECT_EQ(window_->windowTitle(), QStringLiteral("History - other.test"));

    // A new main host heads the list and is chosen; the one before stays offered while the ledger holds it.
    window_->setHost(QStringLiteral("zeta.test"));
    EXPECT_EQ(window_->host(), QStringLiteral("zeta.test"));
    EXPECT_EQ(window_->hosts(),
              (QStringList{QStringLiteral("zeta.test"), QStringLiteral("other.test"), QStringLiteral("watch.test")}));
}

TEST(HistoryWindowHosts, OneHostShowsTheWindowAsItWasUntilAnotherIsRecorded) {
    TestApp();
    TempDir dir;
    auto ledger = makeLedger(dir.file("history.sqlite"));
    ledger->record(reply(kT0, 50, 3));
    ASSERT_TRUE(ledger->flush(std::chrono::seconds(30)));
    HistoryWindow window(ledger, QString::fromStdString(kHost), nullptr, [] { return kNow; });
    window.show();
    auto* box = window.findChild<QComboBox*>(QStringLiteral("hostBox"));
    auto* overlay = window.findChild<QToolButton*>(QStringLiteral("overlayButton"));
    EXPECT_FALSE(box->isVisible());
    EXPECT_FALSE(overlay->isVisible());
    EXPECT_EQ(window.hosts(), QStringList{QString::fromStdString(kHost)});

    ledger->record(reply(kT0 + 1000, 70, 3, "second.test"));
    ASSERT_TRUE(ledger->flush(std::chrono::seconds(30)));
    window.setLedger(ledger); // as after a retention change; the refresh tick does the same
    EXPECT_TRUE(box->isVisible());
    EXPECT_TRUE(overlay->isVisible());
    EXPECT_EQ(window.hosts(), (QStringList{QString::fromStdString(kHost), QStringLiteral("second.test")}));
}

TEST_F(HistoryWindowTest, TickedHostsAreOverlaidEachInItsOwnColour) {
    window_->setSpanIndex(0);
    window_->show();
    auto* graph = child<LatencyGraph>("graph");
    EXPECT_TRUE(graph->overlays().empty());
    EXPECT_LT(graph->axisTopUs(), 240);

    // Ticked in the menu, as the user does; the chosen host's own entry cannot be ticked.
    QMenu* menu = child<QToolButton>("overlayButton")->menu();
    ASSERT_NE(menu, nullptr);
    QAction* other = nullptr;
    for (QAction* action : menu->actions()) {
        if (action->data().toString() == QStringLiteral("other.test"))
            other = action;
        else
            EXPECT_FALSE(action->isEnabled()) << action->text().toStdString();
    }
    ASSERT_NE(other, nullptr);
    other->setChecked(true);
    EXPECT_EQ(window_->overlayHosts(), QStringList{QStringLiteral("other.test")});
    ASSERT_EQ(graph->overlays().size(), 1u);
    const LatencyGraph::Overlay& line = graph->overlays().front();
    EXPECT_EQ(line.host, QStringLiteral("other.test"));
    EXPECT_EQ(line.colour, LatencyGraph::overlayColour(0));
    ASSERT_EQ(line.points.size(), 1u);
    EXPECT_EQ(line.points.front().stats.quantileUs(0.5), 7777);
    // The other host's median fits under the top; the chosen host's outages and summary stay its own.
    EXPECT_GE(graph->axisTopUs(), 7777);
    EXPECT_EQ(child<QTreeWidget>("outageList")->topLevelItemCount(), 2);
    EXPECT_TRUE(summary().contains(QStringLiteral("Sent 20 ")));
    bool told = false;
    for (int x = 0; x < graph->width(); ++x)
        told = told || graph->toolTipAt(x).contains(QStringLiteral("other.test: median 7.78 ms"));
    EXPECT_TRUE(told);

    // Choosing the overlaid host shows it alone: it is not drawn over itself.
    window_->showHost(QStringLiteral("other.test"));
    EXPECT_TRUE(graph->overlays().empty());
    EXPECT_FALSE(other->isEnabled());
    window_->showHost(QString::fromStdString(kHost));
    EXPECT_EQ(graph->overlays().size(), 1u);

    other->setChecked(false);
    EXPECT_TRUE(window_->overlayHosts().isEmpty());
    EXPECT_TRUE(graph->overlays().empty());
    window_->setOverlayHosts({QStringLiteral("other.test"), QStringLiteral("gone.test")});
    EXPECT_TRUE(other->isChecked());
    EXPECT_EQ(graph->overlays().size(), 1u) << "a host the ledger does not hold is left out";
}

TEST(HistoryWindowState, ANewerFileIsShownButNotRecorded) {
    TestApp();
    TempDir dir;
    const std::string path = dir.file("history.sqlite");
    {
        auto ledger = makeLedger(path);
        recordScript(*ledger);
    }
    {
        SqliteDb db;
        ASSERT_EQ(db.open(path, SQLITE_OPEN_READWRITE), SQLITE_OK);
        ASSERT_EQ(db.exec("PRAGMA user_version = 7"), SQLITE_OK);
    }
    auto ledger = makeLedger(path);
    ledger->record(reply(kNow - 500, 100, 3));
    ASSERT_TRUE(waitFor([&] { return ledger->readOnly(); }, std::chrono::seconds(30)));
    HistoryWindow window(ledger, QString::fromStdString(kHost), nullptr, [] { return kNow; });
    window.show();
    const QLabel* note = window.findChild<QLabel*>(QStringLiteral("problemLabel"));
    EXPECT_TRUE(note->isVisible());
    EXPECT_EQ(note->text(), QStringLiteral("history file is from a newer version of Ostrevo; not recording"));
    EXPECT_TRUE(
        window.findChild<QLabel*>(QStringLiteral("summaryLabel"))->text().contains(QStringLiteral("Sent\u00A020")));
    EXPECT_TRUE(window.findChild<QPushButton*>(QStringLiteral("exportButton"))->isEnabled());
}

TEST(HistoryWindowState, SaysWhyNothingIsShownAndRemembersItsSize) {
    TestApp();
    TempDir dir;
    {
        // Nothing kept at all: said so, and nothing to export.
        HistoryWindow off(makeLedger(dir.file("off.sqlite"), 0), QStringLiteral("a.test"), nullptr,
                          [] { return kNow; });
        off.show();
        EXPECT_TRUE(off.findChild<QLabel*>(QStringLiteral("problemLabel"))->isVisible());
        EXPECT_FALSE(off.findChild<QPushButton*>(QStringLiteral("exportButton"))->isEnabled());
        EXPECT_FALSE(std::filesystem::exists(dir.file("off.sqlite")));
    }
    {
        // A file that cannot be made: the ledger's report appears in the window.
        std::ofstream(dir.file("plain")) << "x";
        auto ledger = makeLedger(dir.file("plain/history.sqlite"));
        ledger->record(reply(kNow, 100, 3));
        ASSERT_TRUE(waitFor([&] { return !ledger->problem().empty(); }, std::chrono::seconds(30)));
        HistoryWindow broken(ledger, QStringLiteral("a.test"), nullptr, [] { return kNow; });
        broken.show();
        const QLabel* problem = broken.findChild<QLabel*>(QStringLiteral("problemLabel"));
        EXPECT_TRUE(problem->isVisible());
        EXPECT_TRUE(problem->text().contains(QString::fromStdString(ledger->problem())))
            << problem->text().toStdString();
    }

    auto ledger = makeLedger(dir.file("history.sqlite"));
    // The size is kept where the program says (its settings, saved with the others when they may be).
    std::string kept = "not a size";
    HistoryWindow::keepSizeIn(&kept);
    {
        HistoryWindow w(ledger, QStringLiteral("a.test"));
        EXPECT_EQ(w.size(), QSize(780, 560));
        w.show();
        w.resize(640, 420);
        w.hide();
        EXPECT_EQ(kept, "640x420");
        w.show();
        w.resize(700, 450);
    } // closed with the program
    EXPECT_EQ(kept, "700x450");
    HistoryWindow again(ledger, QStringLiteral("b.test"));
    EXPECT_EQ(again.size(), QSize(700, 450));
    EXPECT_EQ(again.windowTitle(), QStringLiteral("History - b.test"));
    HistoryWindow::keepSizeIn(nullptr);
}

// Probes wait to be committed in batches; the window still shows the one taken just before it opened, and the
// one taken before it refreshes, as the program's History command opens it.
TEST(HistoryWindowReads, ShowsAProbeTakenJustBeforeItOpened) {
    TestApp();
    TempDir dir;
    HistoryService service(30, dir.file("history.sqlite"));
    service.open(); // a run starts
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    service.ledger()->record(reply(now - 3000, 700, 3));
    ASSERT_TRUE(service.ledger()->flush(std::chrono::seconds(30)));
    service.ledger()->record(reply(now - 2000, 800, 3)); // waits for its batch
    service.showWindow(QString::fromStdString(kHost));
    HistoryWindow* window = service.window();
    ASSERT_NE(window, nullptr);
    auto summary = [window] {
        return window->findChild<QLabel*>(QStringLiteral("summaryLabel"))
            ->text()
            .replace(QChar(0x00A0), QLatin1Char(' '));
    };
    EXPECT_TRUE(summary().contains(QStringLiteral("Sent 2   Lost 0"))) << summary().toStdString();
    service.ledger()->record(reply(now - 1000, 900, 3));
    window->refresh();
    EXPECT_TRUE(summary().contains(QStringLiteral("Sent 3   Lost 0"))) << summary().toStdString();
}

// Rounding that would mislead: an hour with one loss in a million must not read 100 %, a sub-millisecond
// round trip must not read 0 ms.
TEST(HistoryTexts, FiguresNeverRoundToAFalseClaim) {
    struct Availability {
        std::uint64_t sent, lost;
        const char* text;
    };
    for (const Availability& row : {Availability{1'000'000, 1, "99.99 %"},
                                    {3, 1, "66.66 %"},
                                    {300, 3, "99.00 %"},
                                    {20, 3, "85.00 %"},
                                    {5, 5, "0.00 %"},
                                    {7, 0, "100.00 %"},
                                    {0, 0, "-"}})
        EXPECT_EQ(HistoryFormat::availability(row.sent, row.lost), QString::fromLatin1(row.text)) << row.sent;

    struct Text {
        std::int64_t value;
        const char* text;
    };
    for (const Text& row : {Text{0, "0.000 ms"},
                            {37, "0.037 ms"},
                            {999, "0.999 ms"},
                            {1'000, "1.00 ms"},
                            {12'345, "12.3 ms"},
                            {99'949, "99.9 ms"},
                            {152'400, "152 ms"},
                            {2'000'000, "2000 ms"}})
        EXPECT_EQ(HistoryFormat::milliseconds(row.value), QString::fromLatin1(row.text)) << row.value;
    for (const Text& row : {Text{-5, "0 s"},
                            {59'999, "59 s"},
                            {60'000, "1 min 00 s"},
                            {3'599'000, "59 min 59 s"},
                            {3'600'000, "1 h 00 min"},
                            {86'399'000, "23 h 59 min"},
                            {90'000'000, "1 d 01 h"}})
        EXPECT_EQ(HistoryFormat::duration(row.value), QString::fromLatin1(row.text)) << row.value;
}

// The retention is read when the file opens: 0 keeps nothing at all, and a change takes effect at once,
// for the worker's probes and for a window already open.
TEST(HistoryService, ReopensWithANewRetentionAndWritesNoFileWithoutOne) {
    TestApp();
    TempDir dir;
    const std::string path = dir.file("data/history.sqlite");
    HistoryService service(0, path);
    ProbeEvent event;
    event.unixMs = kNow;
    event.host = "a.test";
    event.address = event.replier = "127.0.0.1";
    event.rttUs = 250u;
    event.ttl = 64;
    event.hostStatus = HostStatus::Good;
    service.observer().probed(event);
    service.observer().runEnded(1, kNow);
    service.showWindow(QStringLiteral("a.test"));
    HistoryWindow* window = service.window();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(window->findChild<QPushButton*>(QStringLiteral("exportButton"))->isEnabled());
    EXPECT_FALSE(std::filesystem::exists(dir.file("data")));

    service.setDays(30);
    EXPECT_EQ(service.window(), window);
    EXPECT_TRUE(window->findChild<QPushButton*>(QStringLiteral("exportButton"))->isEnabled());
    service.observer().probed(event);
    ASSERT_TRUE(service.ledger()->flush(std::chrono::seconds(20)));
    const std::vector<ProbeSample> kept = service.ledger()->samples("a.test", kNow, kNow + 1);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].rttUs, 250);
    EXPECT_EQ(kept[0].ttl, 64);
    EXPECT_TRUE(std::filesystem::exists(path));
}

// A log left by a program that died is stored as the program starts, without a run or a look at History; a
// start with no such log opens nothing.
TEST(HistoryService, StoresALeftLogAtStart) {
    TestApp();
    TempDir dir;
    const std::string path = dir.file("history.sqlite");
    {
        std::string bytes;
        for (int i = 0; i < 3; ++i)
            PendingLog::encode(LedgerEntry{reply(kNow + i * 1000, 700, 3), false}, nullptr, bytes);
        std::ofstream(path + "-pending-left01", std::ios::binary) << bytes;
    }
    HistoryService service(30, path);
    EXPECT_TRUE(service.isOpen());
    for (int i = 0; i < 200 && std::filesystem::exists(path + "-pending-left01"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(std::filesystem::exists(path + "-pending-left01")) << "the left log waited for a run";
    SqliteDb db;
    ASSERT_EQ(db.open(path, SQLITE_OPEN_READONLY), SQLITE_OK);
    SqliteStatement count(db, "SELECT count(*) FROM samples");
    ASSERT_EQ(count.step(), SQLITE_ROW);
    EXPECT_EQ(count.int64(0), 3);

    TempDir empty;
    HistoryService idle(30, empty.file("history.sqlite"));
    EXPECT_FALSE(idle.isOpen());
}

// Two hosts' runs through the program's recorder: a host chosen in the window stays chosen until the main host
// itself changes.
TEST(HistoryService, AnotherChosenHostStaysUntilTheMainHostChanges) {
    TestApp();
    TempDir dir;
    HistoryService service(30, dir.file("history.sqlite"));
    service.open();
    for (const auto& [run, host] : {std::pair<RunId, const char*>{1, "a.test"}, {2, "b.test"}}) {
        ProbeEvent event;
        event.run = run;
        event.unixMs = kNow - 1000;
        event.host = host;
        event.address = event.replier = "127.0.0.1";
        event.rttUs = 250u;
        event.hostStatus = HostStatus::Good;
        service.observer().probed(event);
    }
    ASSERT_TRUE(service.ledger()->flush(std::chrono::seconds(20)));
    service.showWindow(QStringLiteral("a.test"));
    HistoryWindow* window = service.window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->hosts(), (QStringList{QStringLiteral("a.test"), QStringLiteral("b.test")}));
    window->showHost(QStringLiteral("b.test"));
    service.setHost(QStringLiteral("a.test"));
    EXPECT_EQ(window->host(), QStringLiteral("b.test"));
    EXPECT_EQ(window->mainHost(), QStringLiteral("a.test"));
    service.setHost(QStringLiteral("c.test"));
    EXPECT_EQ(window->host(), QStringLiteral("c.test"));
    EXPECT_EQ(window->hosts().front(), QStringLiteral("c.test"));
    window->close();
}

// The file is opened on first use, not at start-up: by a run about to start, by the History window, or by
// anything that reads it. Until then nothing of it exists and a new retention is only remembered.
class HistoryFirstUse : public ::testing::Test {
protected:
    void SetUp() override {
        TestApp();
        std::filesystem::remove(testConfigHome() + "/Quorvan Corporation/Ostrevo.conf"); // HistoryDays as shipped
    }

    MainWindow& makeWindow() {
        channel_ = std::make_unique<ScriptedNetwork>();
        AppRoot::Services services;
        services.arguments = {"/i=1", "127.0.0.1"};
        services.resolver = std::make_shared<ScriptedHostResolver>();
        services.sockets = channel_->opener();
        services.messages = std::make_unique<RecordingMessagePort>();
        services.watchSignals = false;
        services.historyPath = path_;
        program_ = std::make_unique<AppRoot>(std::move(services));
        return program_->mainWindow();
    }

    TempDir dir_;
    const std::string path_ = dir_.file("data/history.sqlite");
    std::unique_ptr<ScriptedNetwork> channel_;
    std::unique_ptr<AppRoot> program_;
};

TEST_F(HistoryFirstUse, AnIdleProgramMakesNoFileAndTheFirstRunKeepsItsFirstProbe) {
    MainWindow& f = makeWindow();
    spin(std::chrono::milliseconds(300)); // whatever start-up queued has run
    EXPECT_FALSE(program_->history()->isOpen());
    EXPECT_FALSE(std::filesystem::exists(path_));

    channel_->push({EchoOutcome::good(3), EchoOutcome::good(4)});
    f.pingAction()->trigger();
    ASSERT_TRUE(waitFor([&] { return program_->runControl().isRunning(); }));
    // Stopped once the last scripted probe is in, within the second before the next one goes out.
    ASSERT_TRUE(waitFor([&] { return program_->hostList().hosts().front().stats.requests == 2; }));
    f.pingAction()->trigger();
    ASSERT_TRUE(waitFor([&] { return !program_->runControl().isRunning(); }));
    EXPECT_TRUE(std::filesystem::exists(path_));
    const std::shared_ptr<HistoryLedger> ledger = program_->history()->ledger();
    ASSERT_TRUE(ledger->flush(std::chrono::seconds(20)));
    const std::vector<ProbeSample> samples = ledger->samples("127.0.0.1", 0, std::numeric_limits<std::int64_t>::max());
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(samples[0].rttUs.value_or(0) / 1000, 3) << "the run's first probe";
    EXPECT_EQ(samples[1].rttUs.value_or(0) / 1000, 4);
}

TEST_F(HistoryFirstUse, TheWindowShowsAnEarlierSessionWithoutARun) {
    const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
    {
        HistoryOptions options;
        options.path = path_;
        std::filesystem::create_directories(dir_.file("data"));
        HistoryLedger earlier(std::move(options));
        for (std::int64_t i = 3; i > 0; --i)
            earlier.record(reply(now - i * 1000, 2000, 3, "127.0.0.1"));
        ASSERT_TRUE(earlier.flush(std::chrono::seconds(20)));
    }
    MainWindow& f = makeWindow();
    EXPECT_FALSE(program_->history()->isOpen());
    f.historyAction()->trigger();
    HistoryWindow* window = program_->history()->window();
    ASSERT_NE(window, nullptr);
    const QString summary = window->findChild<QLabel*>(QStringLiteral("summaryLabel"))->text();
    EXPECT_TRUE(summary.contains(QStringLiteral("Sent\u00A03"))) << summary.toStdString();
    EXPECT_FALSE(window->findChild<QLabel*>(QStringLiteral("problemLabel"))->isVisible());
    EXPECT_EQ(channel_->sends().size(), 0u);
}

// A retention changed in the Options dialog before anything opened the file is the one the file opens with:
// it decides what the first pruning removes; 0 records nothing and leaves the file as it is, still readable.
TEST_F(HistoryFirstUse, ARetentionChangedBeforeTheFileOpensIsTheOneItOpensWith) {
    struct Case {
        int atStart, changedTo;
        std::size_t kept;
    };
    for (const Case c : {Case{1, 30, 2}, Case{30, 1, 1}, Case{30, 0, 2}}) {
        SCOPED_TRACE(testing::Message() << c.atStart << " -> " << c.changedTo);
        TempDir dir;
        const std::string path = dir.file("history.sqlite");
        const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
        {
            HistoryOptions options;
            options.path = path;
            HistoryLedger earlier(std::move(options));
            earlier.record(reply(now - 2 * 86'400'000, 1000, 3, "a.test"));
            earlier.record(reply(now - 60'000, 1000, 3, "a.test"));
            ASSERT_TRUE(earlier.flush(std::chrono::seconds(20)));
        }
        HistoryService service(c.atStart, path);
        service.setDays(c.changedTo);
        EXPECT_FALSE(service.isOpen());
        service.showWindow(QStringLiteral("a.test"));
        ASSERT_TRUE(service.ledger()->flush(std::chrono::seconds(20)));
        EXPECT_EQ(service.ledger()->samples("a.test", 0, now).size(), c.kept);
        EXPECT_TRUE(service.window()->findChild<QPushButton*>(QStringLiteral("exportButton"))->isEnabled());
        const QLabel* note = service.window()->findChild<QLabel*>(QStringLiteral("problemLabel"));
        EXPECT_EQ(note->isVisible(), c.changedTo == 0);
        if (c.changedTo == 0) {
            EXPECT_EQ(note->text(), QStringLiteral("Recording is off: HistoryDays is 0."));
        }
    }
}

} // namespace
