#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPalette>
#include <QPushButton>
#include <QTreeWidget>
#include <QWheelEvent>

#include "AppTestSupport.h"
#include "app/common/AppSettings.h"
#include "app/common/RouteChangeMarks.h"
#include "app/history/HistoryService.h"
#include "app/history/LatencyGraph.h"
#include "app/route/PathPanel.h"
#include "app/route/PathTimeline.h"
#include "app/route/RouteWindow.h"

// The path over time: the Route window's timeline of hops (lanes, loss colours, the silent router, route change
// marks), a click that shows a minute's path in the table, the History window's rules for spans, zoom and pan,
// the export through the program's writer, and the route change marks of the History graph.

namespace {

constexpr std::int64_t kMinute = 60'000;
constexpr std::int64_t kHour = 60 * kMinute;

IpAddress v4(const char* text) {
    return IpAddress::v4(inet_addr(text));
}

// Three hours of a five-hop path up to now: hop 2 a router that never answers; at one minute 30 % loss from hop
// 3 on; at another the destination lost everything; and a route change at hop 3 an hour ago.
struct SeededPath {
    std::int64_t now = QDateTime::currentMSecsSinceEpoch() / kMinute * kMinute;
    std::int64_t lossy = now - 90 * kMinute;
    std::int64_t dark = now - 30 * kMinute;
    std::int64_t changed = now - 60 * kMinute;
    std::vector<PathMinute> minutes;
    std::vector<RouteChange> changes;

    SeededPath() {
        for (std::int64_t at = now - 3 * kHour; at < now; at += kMinute) {
            const bool before = at < changed;
            const char* addresses[] = {"198.18.1.2", "", before ? "198.18.3.2" : "198.18.7.2", "198.18.4.2",
                                       "198.18.5.2"};
            for (std::uint8_t hop = 1; hop <= 5; ++hop) {
                PathMinute m;
                m.minuteMs = at;
                m.hop = hop;
                m.sent = 10;
                m.lost = hop == 2 ? 10 : at == lossy && hop >= 3 ? 3 : at == dark && hop == 5 ? 10 : 0;
                if (m.received() > 0) {
                    m.answered.push_back(v4(addresses[hop - 1]));
                    m.minUs = 1000u * hop;
                    m.avgUs = 1500u * hop;
                    m.maxUs = 2000u * hop;
                    m.mdevUs = 200;
                }
                minutes.push_back(m);
            }
        }
        RouteChange change;
        change.host = "far.test";
        change.address = "198.18.5.2";
        change.atMs = changed;
        change.hop = 3;
        change.before = {v4("198.18.1.2"), IpAddress{}, v4("198.18.3.2"), v4("198.18.4.2"), v4("198.18.5.2")};
        change.after = {v4("198.18.1.2"), IpAddress{}, v4("198.18.7.2"), v4("198.18.4.2"), v4("198.18.5.2")};
        changes.push_back(change);
    }
};

struct Read {
    std::string host;
    std::int64_t fromMs = 0;
    std::int64_t toMs = 0;
};

// A source over the seeded vectors that keeps each read and each export it was asked for.
struct RecordingSource {
    SeededPath path;
    std::vector<Read> reads;
    std::vector<std::pair<PathSource::Format, Read>> writes;
    bool writeFails = false;

    PathSource source() {
        PathSource s;
        s.minutes = [this](const std::string& host, std::int64_t from, std::int64_t to) {
            reads.push_back({host, from, to});
            std::vector<PathMinute> out;
            for (const PathMinute& m : path.minutes)
                if (host == "far.test" && m.minuteMs >= from && m.minuteMs < to)
                    out.push_back(m);
            return out;
        };
        s.changes = [this](const std::string& host, std::int64_t from, std::int64_t to) {
            std::vector<RouteChange> out;
            for (const RouteChange& c : path.changes)
                if (host == c.host && c.atMs >= from && c.atMs < to)
                    out.push_back(c);
            return out;
        };
        s.write = [this](PathSource::Format format, const std::string& host, std::int64_t from, std::int64_t to,
                         std::ostream& out) {
            writes.push_back({format, {host, from, to}});
            out << (format == PathSource::Format::Json ? "{\"path\":[]}\n" : "minute,hop\n");
            return !writeFails;
        };
        s.problem = [] { return std::string("the ledger is busy"); };
        return s;
    }
};

bool hueNear(const QColor& pixel, const QColor& wanted, int tolerance = 20) {
    const int difference = std::abs(pixel.hslHue() - wanted.hslHue());
    return pixel.hslSaturation() > 60 && std::min(difference, 360 - difference) <= tolerance;
}

// The colour at a point of a widget's grab, whatever the scale factor.
QColor pixel(const QImage& image, QPoint at) {
    const double ratio = image.devicePixelRatio();
    return image.pixelColor(static_cast<int>(at.x() * ratio), static_cast<int>(at.y() * ratio));
}

void mouse(QWidget& w, QEvent::Type type, QPoint pos, Qt::MouseButton button) {
    QMouseEvent event(type, QPointF(pos), w.mapToGlobal(QPointF(pos)), button,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button), Qt::NoModifier);
    QApplication::sendEvent(&w, &event);
}

class PathTimelineTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("TZ", "UTC", 1);
        tzset();
    }

    void SetUp() override {
        TestApp();
        settings.quietly().host = "far.test";
        window = std::make_unique<RouteWindow>(settings);
        window->setPathSource(recorder.source());
        window->resize(900, 760);
        window->show();
        ASSERT_TRUE(waitFor([this] { return timeline().lanes() == 5; }));
    }

    PathPanel& panel() { return *window->pathPanel(); }
    PathTimeline& timeline() { return *panel().timeline(); }
    // The middle of a minute's column in a hop's lane, a little below the lane's top edge.
    QPoint inMinute(int hop, std::int64_t minuteMs) {
        const QRect lane = timeline().laneRect(hop);
        return {(timeline().xAt(minuteMs) + timeline().xAt(minuteMs + kMinute)) / 2, lane.top() + 2};
    }

    AppSettings settings;
    RecordingSource recorder;
    std::unique_ptr<RouteWindow> window;
};

TEST_F(PathTimelineTest, LanesPerHopColouredByLossWithTheSilentRouterAndTheChangeMarked) {
    const SeededPath& seed = recorder.path;
    ASSERT_FALSE(recorder.reads.empty());
    EXPECT_EQ(recorder.reads.back().host, "far.test");
    EXPECT_EQ(recorder.reads.back().toMs - recorder.reads.back().fromMs, 3 * kHour) << "opens on three hours";

    // The lanes stack from hop 1 down, none overlapping.
    for (int hop = 1; hop < 5; ++hop)
        EXPECT_LE(timeline().laneRect(hop).bottom(), timeline().laneRect(hop + 1).top());
    EXPECT_GE(timeline().laneRect(5).height(), timeline().fontMetrics().height());

    const QImage image = timeline().grab().toImage();
    const QColor lossy = LossShades::all()[static_cast<std::size_t>(LossShades::of(3, 10))].colour;
    for (int hop = 3; hop <= 5; ++hop) {
        const QPoint at = inMinute(hop, seed.lossy);
        EXPECT_TRUE(hueNear(pixel(image, at), lossy)) << "hop " << hop << ": " << pixel(image, at).name().toStdString();
        // The minute before was clean: no tint.
        EXPECT_FALSE(hueNear(pixel(image, inMinute(hop, seed.lossy - 10 * kMinute)), lossy)) << hop;
    }
    EXPECT_FALSE(hueNear(pixel(image, inMinute(1, seed.lossy)), lossy)) << "loss begins after hop 1";
    // The destination lost all of one minute: the red of a column without replies.
    EXPECT_TRUE(hueNear(pixel(image, inMinute(5, seed.dark)), QColor(0xd0, 0x20, 0x20)));
    // The router that never answers is no loss: never tinted red, and said to be silent.
    EXPECT_FALSE(hueNear(pixel(image, inMinute(2, seed.lossy)), QColor(0xd0, 0x20, 0x20)));
    EXPECT_TRUE(
        timeline().toolTipAt(inMinute(2, seed.lossy)).contains(QStringLiteral("a router that does not answer")));

    EXPECT_EQ(timeline().toolTipAt(inMinute(4, seed.lossy)),
              QStringLiteral("Hop 4, %1 \u2013 %2\n198.18.4.2\nAverage 6.00 ms, min \u2013 max 4.00 ms \u2013 8.00 ms\n"
                             "Lost 3 of 10 (30 %)")
                  .arg(QDateTime::fromMSecsSinceEpoch(seed.lossy).toString(QStringLiteral("HH:mm")),
                       QDateTime::fromMSecsSinceEpoch(seed.lossy + kMinute).toString(QStringLiteral("HH:mm"))));
    EXPECT_EQ(timeline().toolTipAt(inMinute(5, seed.dark)).split(QLatin1Char('\n')).last(),
              QStringLiteral("No answer: lost 10 of 10"));

    // The route change: a flag on the time axis, and its before and after when hovered.
    const int x = timeline().xAt(seed.changed);
    const QRect plot = timeline().laneRect(1);
    EXPECT_TRUE(hueNear(pixel(image, {x, plot.top() + 1}), RouteChangeMarks::colour()))
        << pixel(image, {x, plot.top() + 1}).name().toStdString();
    // Above the figures of the hop there.
    const QString tip = timeline().toolTipAt({x + 1, timeline().laneRect(4).center().y()});
    EXPECT_TRUE(tip.startsWith(RouteChangeMarks::toolTip(seed.changes.front()) + QStringLiteral("\n\nHop 4, ")))
        << tip.toStdString();
}

TEST_F(PathTimelineTest, AClickShowsThatMinutesPathAndOpeningShowsTheNewest) {
    const SeededPath& seed = recorder.path;
    // Opening the window on a kept path shows its newest minute, not a live trace.
    ASSERT_TRUE(window->showKeptPath());
    EXPECT_FALSE(window->isTracing());
    EXPECT_EQ(timeline().chosen(), seed.now - kMinute);
    ASSERT_EQ(window->hopTable()->topLevelItemCount(), 5);
    EXPECT_EQ(window->hopTable()->topLevelItem(2)->text(RouteWindow::AddressColumn), QStringLiteral("198.18.7.2"));

    // A click at the lossy minute, before the route changed: that minute's hops and where loss begins.
    const QPoint at = inMinute(3, seed.lossy);
    mouse(timeline(), QEvent::MouseButtonPress, at, Qt::LeftButton);
    mouse(timeline(), QEvent::MouseButtonRelease, at, Qt::LeftButton);
    EXPECT_EQ(timeline().chosen(), seed.lossy);
    const RouteResult& shown = window->shownResult();
    ASSERT_EQ(shown.hops.size(), 5u);
    EXPECT_EQ(shown.hops[2].answered, std::vector<IpAddress>{v4("198.18.3.2")});
    EXPECT_EQ(shown.hops[2].received, 7u);
    EXPECT_TRUE(shown.hops[1].neverAnswered());
    EXPECT_EQ(window->hopTable()->topLevelItem(4)->text(RouteWindow::LossColumn), QStringLiteral("30.0%"));
    EXPECT_EQ(window->lossLabel()->text(), QStringLiteral("Loss begins at hop 3 (198.18.3.2)"));
    EXPECT_TRUE(window->sourceLabel()->text().contains(
        QDateTime::fromMSecsSinceEpoch(seed.lossy).toString(QStringLiteral("yyyy-MM-dd HH:mm:00"))))
        << window->sourceLabel()->text().toStdString();

    // The keys step from minute to minute.
    QKeyEvent left(QEvent::KeyPress, Qt::Key_Left, Qt::NoModifier);
    QApplication::sendEvent(&timeline(), &left);
    EXPECT_EQ(timeline().chosen(), seed.lossy - kMinute);
    QKeyEvent right(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier);
    QApplication::sendEvent(&timeline(), &right);
    QApplication::sendEvent(&timeline(), &right);
    EXPECT_EQ(timeline().chosen(), seed.lossy + kMinute);

    // Before the first kept minute the path is the first one kept; the table's own trace clears the mark.
    ASSERT_TRUE(window->showPathAt(seed.now - 5 * kHour));
    EXPECT_EQ(timeline().chosen(), timeline().minutes().front().minuteMs);
    window->showStored(RouteResult{}, seed.now, QStringLiteral("far.test"));
    EXPECT_FALSE(timeline().chosen());
}

TEST_F(PathTimelineTest, ZoomAndPanFollowTheHistoryWindowsRules) {
    PathPanel& p = panel();
    const int right = timeline().laneRect(1).right() - 2;
    const int y = timeline().laneRect(3).center().y();
    EXPECT_EQ(p.spanBox()->currentText(), QStringLiteral("3 hours"));
    EXPECT_FALSE(p.nowButton()->isEnabled());

    // A notch in at the newest edge: a shorter span named by its length, still following now.
    QWheelEvent wheel(QPointF(right, y), timeline().mapToGlobal(QPointF(right, y)), {}, {0, 120}, Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&timeline(), &wheel);
    EXPECT_EQ(p.view().shownSpanMs(), 144 * kMinute);
    EXPECT_EQ(p.spanBox()->currentText(), QStringLiteral("2 h 24 min"));
    EXPECT_FALSE(p.view().shownEndMs());
    EXPECT_TRUE(p.nowButton()->isEnabled());
    EXPECT_EQ(recorder.reads.back().toMs - recorder.reads.back().fromMs, 144 * kMinute);

    // A drag to the right looks into the past and reads that part of the path; no click comes of it.
    const int left = timeline().laneRect(1).left();
    const int width = timeline().laneRect(1).width();
    mouse(timeline(), QEvent::MouseButtonPress, {left + width / 4, y}, Qt::LeftButton);
    mouse(timeline(), QEvent::MouseMove, {left + width / 2, y}, Qt::LeftButton);
    mouse(timeline(), QEvent::MouseMove, {left + width * 3 / 4, y}, Qt::LeftButton);
    mouse(timeline(), QEvent::MouseButtonRelease, {left + width * 3 / 4, y}, Qt::LeftButton);
    ASSERT_TRUE(p.view().shownEndMs());
    EXPECT_LT(*p.view().shownEndMs(), recorder.path.now - kHour);
    EXPECT_EQ(recorder.reads.back().toMs, *p.view().shownEndMs() + 1);
    EXPECT_FALSE(timeline().chosen()) << "a drag is no click";

    // A preset chosen is the new span, ending now; Back to now returns to it.
    p.spanBox()->setCurrentIndex(1);
    EXPECT_EQ(p.view().chosenSpanMs(), kHour);
    EXPECT_FALSE(p.view().shownEndMs());
    p.view().zoom(2.0, recorder.path.now - 30 * kMinute);
    p.nowButton()->click();
    EXPECT_EQ(p.view().shownSpanMs(), kHour);
    EXPECT_FALSE(p.nowButton()->isEnabled());
    EXPECT_EQ(timeline().lanes(), 5);
}

TEST_F(PathTimelineTest, ExportWritesTheSpanThroughTheWriterAndKeepsAnOldFileWhenItFails) {
    TempDir dir;
    const QString file = QString::fromStdString(dir.file("path.json"));
    EXPECT_TRUE(panel().exportButton()->isEnabled());
    EXPECT_EQ(panel().exportTo(file, PathSource::Format::Json), QString());
    ASSERT_EQ(recorder.writes.size(), 1u);
    EXPECT_EQ(recorder.writes[0].first, PathSource::Format::Json);
    EXPECT_EQ(recorder.writes[0].second.host, "far.test");
    EXPECT_EQ(recorder.writes[0].second.toMs - recorder.writes[0].second.fromMs, 3 * kHour);
    QFile written(file);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll(), QByteArray("{\"path\":[]}\n"));
    written.close();

    recorder.writeFails = true;
    EXPECT_EQ(panel().exportTo(file, PathSource::Format::Csv),
              QStringLiteral("Cannot export to %1: the ledger is busy").arg(QDir::toNativeSeparators(file)));
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll(), QByteArray("{\"path\":[]}\n")) << "the old file stays";

    // Without a writer the program offers no export.
    PathSource readOnly = recorder.source();
    readOnly.write = nullptr;
    window->setPathSource(std::move(readOnly));
    EXPECT_FALSE(panel().exportButton()->isEnabled());
    EXPECT_FALSE(panel().exportTo(file, PathSource::Format::Csv).isEmpty());
}

// The History graph marks the same changes and says what changed at the hop, the path's length when it changed.
TEST(HistoryRouteMarks, TheTooltipSaysBeforeAndAfterAtTheHopThatChanged) {
    TestApp();
    setenv("TZ", "UTC", 1);
    tzset();
    constexpr std::int64_t kNow = 1'796'684'400'000; // 2026-12-07 23:00 UTC
    RouteChange longer;
    longer.atMs = kNow - 30 * kMinute;
    longer.hop = 2;
    longer.before = {v4("198.18.1.2"), IpAddress{}, v4("198.18.5.2")};
    longer.after = {v4("198.18.1.2"), v4("198.18.2.9"), v4("198.18.6.2"), v4("198.18.5.2")};
    EXPECT_EQ(RouteChangeMarks::toolTip(longer), QStringLiteral("Route changed at 2026-12-07 22:30:00\n"
                                                                "Hop 2: no answer \u2192 198.18.2.9\n"
                                                                "Path: 3 hops \u2192 4 hops"));
    RouteChange shorter = longer;
    shorter.hop = 3;
    std::swap(shorter.before, shorter.after);
    shorter.before[2] = v4("198.18.6.2");
    shorter.after.resize(2);
    EXPECT_TRUE(RouteChangeMarks::toolTip(shorter).contains(QStringLiteral("Hop 3: 198.18.6.2 \u2192 no hop")));

    LatencyGraph graph;
    graph.resize(800, 300);
    std::vector<SeriesPoint> points;
    for (std::int64_t at = kNow - kHour; at < kNow; at += kMinute) {
        points.push_back({at, at + kMinute, {}});
        for (int i = 0; i < 60; ++i)
            points.back().stats.add(at < longer.atMs ? 9'000 + 100 * (i % 7) : 14'000 + 100 * (i % 5));
    }
    graph.setData(kNow - kHour, kNow + 1, kNow, points, {});
    graph.setRouteChanges({longer});
    graph.show();
    if (const QString dir = qEnvironmentVariable("OSTREVO_SHOT_DIR"); !dir.isEmpty())
        graph.grab().save(dir + QStringLiteral("/history-route-change.png"));
    int x = 0;
    while (x < graph.width() && graph.timeAt(x) < longer.atMs)
        ++x;
    EXPECT_TRUE(graph.toolTipAt(x).startsWith(RouteChangeMarks::toolTip(longer) + QStringLiteral("\n\n")))
        << graph.toolTipAt(x).toStdString();
    EXPECT_TRUE(graph.toolTipAt(x).contains(QStringLiteral("Median 14")));
    EXPECT_FALSE(graph.toolTipAt(x - 40).contains(QStringLiteral("Route changed")));
    const QImage image = graph.grab().toImage();
    bool marked = false;
    for (int y = 0; y < graph.height() / 2 && !marked; ++y)
        marked = hueNear(pixel(image, {x, y}), RouteChangeMarks::colour());
    EXPECT_TRUE(marked);
}

// A long path at the least size the timeline asks for: every lane keeps some height and stays within the widget,
// and the farthest hop still tells its figures.
TEST(PathTimelineLongPath, ThirtyHopsFitTheLeastSize) {
    TestApp();
    constexpr std::int64_t kNow = 1'796'684'400'000;
    std::vector<PathMinute> minutes;
    for (std::uint8_t hop = 1; hop <= 30; ++hop) {
        PathMinute m;
        m.minuteMs = kNow - 10 * kMinute;
        m.hop = hop;
        m.sent = 3;
        m.answered = {IpAddress::v4(htonl(0xC6120000u + hop))};
        m.minUs = m.avgUs = m.maxUs = 500u * hop;
        minutes.push_back(m);
    }
    PathTimeline timeline;
    timeline.setData(kNow - kHour, kNow, minutes, {});
    timeline.resize(timeline.minimumSizeHint());
    timeline.show();
    ASSERT_EQ(timeline.lanes(), 30);
    for (int hop = 1; hop <= 30; ++hop) {
        EXPECT_GE(timeline.laneRect(hop).height(), 6) << hop;
        EXPECT_TRUE(timeline.rect().contains(timeline.laneRect(hop))) << hop;
    }
    if (const QString dir = qEnvironmentVariable("OSTREVO_SHOT_DIR"); !dir.isEmpty())
        timeline.grab().save(
            dir +
            QStringLiteral("/path-30-hops-%1x.png").arg(qEnvironmentVariable("QT_SCALE_FACTOR", QStringLiteral("1"))));
    const QRect last = timeline.laneRect(30);
    const int x = (timeline.xAt(kNow - 10 * kMinute) + timeline.xAt(kNow - 9 * kMinute)) / 2;
    EXPECT_TRUE(timeline.toolTipAt({x, last.center().y()}).startsWith(QStringLiteral("Hop 30,")))
        << timeline.toolTipAt({x, last.center().y()}).toStdString();
}

// The program reads the path from a history already kept: a look at the Route window makes no file.
TEST(PathSourceOfTheProgram, ReadsOnlyAKeptHistory) {
    TestApp();
    TempDir dir;
    const std::string file = dir.file("history.sqlite");
    HistoryService service(30, file);
    EXPECT_EQ(service.keptLedger(), nullptr);
    EXPECT_FALSE(service.isOpen());
    EXPECT_FALSE(QFile::exists(QString::fromStdString(file)));
    service.open();
    EXPECT_NE(service.keptLedger(), nullptr);
}

// Screenshots to look at: OSTREVO_SHOT_DIR set, the window is saved there in the light palette and in a
// dark one. At any scale the five lanes and their labels fit the timeline.
TEST_F(PathTimelineTest, LanesFitAtThisScaleAndInADarkPalette) {
    window->resize(window->sizeHint().expandedTo(QSize(760, 640)));
    ASSERT_TRUE(window->showKeptPath());
    spin(std::chrono::milliseconds(100));
    const QRect inside = timeline().rect();
    for (int hop = 1; hop <= 5; ++hop) {
        EXPECT_TRUE(inside.contains(timeline().laneRect(hop))) << hop;
        EXPECT_GE(timeline().laneRect(hop).height(), timeline().fontMetrics().height()) << hop;
    }
    const QString dir = qEnvironmentVariable("OSTREVO_SHOT_DIR");
    const QString scale = qEnvironmentVariable("QT_SCALE_FACTOR", QStringLiteral("1"));
    if (!dir.isEmpty())
        window->grab().save(dir + QStringLiteral("/route-path-%1x.png").arg(scale));

    window->setPalette(darkPalette());
    spin(std::chrono::milliseconds(100));
    // Loss stands out from the dark base as it does from a light one.
    const QImage darkImage = timeline().grab().toImage();
    for (int hop = 3; hop <= 5; ++hop)
        EXPECT_GT(pixel(darkImage, inMinute(hop, recorder.path.lossy)).lightness(),
                  QColor(0x1e, 0x1e, 0x1e).lightness() + 50)
            << hop;
    // The band stays visible on the dark base.
    const QImage& image = darkImage;
    const QPoint clean = inMinute(1, recorder.path.now - 100 * kMinute);
    int lightest = 0;
    for (int y = timeline().laneRect(1).top(); y <= timeline().laneRect(1).bottom(); ++y)
        lightest = std::max(lightest, pixel(image, {clean.x(), y}).lightness());
    EXPECT_GT(lightest, QColor(0x1e, 0x1e, 0x1e).lightness() + 40);
    if (!dir.isEmpty())
        window->grab().save(dir + QStringLiteral("/route-path-%1x-dark.png").arg(scale));
}

} // namespace
