#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <QComboBox>
#include <QDateTime>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTextLayout>
#include <QWheelEvent>

#include "AppTestSupport.h"
#include "app/common/HistoryFormat.h"
#include "app/history/HistoryWindow.h"
#include "app/history/LatencyGraph.h"
#include "app/common/TimeAxis.h"
#include "history/HistoryLedger.h"

namespace {

constexpr std::int64_t kNow = 1'796'684'400'000; // 2026-12-07 23:00 UTC
constexpr std::int64_t kHour = 3'600'000;
const std::string kHost = "watch.test";

std::int64_t at(const char* iso) {
    return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODate).toMSecsSinceEpoch();
}

TEST(HistoryTimeAxis, LabelsSuitTheSpan) {
    constexpr std::int64_t day = 24 * kHour;
    const struct {
        const char* what;
        const char *from, *to;
        std::int64_t minGapMs;
        std::vector<const char*> labels;
    } cases[] = {
        {"seconds",
         "2026-12-07T22:59:00Z",
         "2026-12-07T22:59:50Z",
         8'000,
         {"22:59:00", "22:59:10", "22:59:20", "22:59:30", "22:59:40", "22:59:50"}},
        {"minutes",
         "2026-12-07T22:51:30Z",
         "2026-12-07T23:00:00Z",
         100'000,
         {"22:52", "22:54", "22:56", "22:58", "23:00"}},
        {"hours, midnight names the day",
         "2026-12-07T20:30:00Z",
         "2026-12-08T04:00:00Z",
         5 * kHour / 2,
         {"21:00", "8 Dec", "03:00"}},
        {"days", "2026-12-01T12:00:00Z", "2026-12-08T12:00:00Z", 3 * day / 2, {"3 Dec", "5 Dec", "7 Dec"}},
        {"weeks restart with each month",
         "2026-11-01T00:00:00Z",
         "2026-12-31T00:00:00Z",
         6 * day,
         {"1 Nov", "8 Nov", "15 Nov", "22 Nov", "1 Dec", "8 Dec", "15 Dec", "22 Dec"}},
        {"months, January names the year",
         "2026-01-15T00:00:00Z",
         "2027-01-15T00:00:00Z",
         25 * day,
         {"Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec", "2027"}},
        {"quarters",
         "2026-01-01T00:00:00Z",
         "2027-12-31T00:00:00Z",
         80 * day,
         {"2026", "Apr", "Jul", "Oct", "2027", "Apr", "Jul", "Oct"}},
        {"years",
         "2016-06-01T00:00:00Z",
         "2026-06-01T00:00:00Z",
         300 * day,
         {"2017", "2018", "2019", "2020", "2021", "2022", "2023", "2024", "2025", "2026"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<TimeAxis::Tick> ticks =
            TimeAxis::ticks(at(c.from), at(c.to), c.minGapMs, QTimeZone::utc(), QLocale::c());
        QStringList labels;
        for (const TimeAxis::Tick& tick : ticks)
            labels << tick.label;
        QStringList expected;
        for (const char* label : c.labels)
            expected << QString::fromLatin1(label);
        EXPECT_EQ(labels.join(QLatin1Char(' ')).toStdString(), expected.join(QLatin1Char(' ')).toStdString());
        for (std::size_t i = 1; i < ticks.size(); ++i)
            EXPECT_GE(ticks[i].atMs - ticks[i - 1].atMs, c.minGapMs) << ticks[i].label.toStdString();
    }
}

// Labels are local times: across the spring clock change the hour that does not exist is left out and
// the others keep their local names.
TEST(HistoryTimeAxis, FollowsTheLocalClockAcrossAChange) {
    const QTimeZone berlin("Europe/Berlin");
    if (!berlin.isValid())
        GTEST_SKIP() << "no time zone data for Europe/Berlin on this machine";
    const std::vector<TimeAxis::Tick> ticks =
        TimeAxis::ticks(at("2026-03-28T23:30:00Z"), at("2026-03-29T03:00:00Z"), 50 * 60'000, berlin, QLocale::c());
    QStringList labels;
    for (const TimeAxis::Tick& tick : ticks)
        labels << tick.label;
    EXPECT_EQ(labels.join(QLatin1Char(' ')).toStdString(), "01:00 03:00 04:00 05:00");
    EXPECT_EQ(ticks.at(1).atMs, at("2026-03-29T01:00:00Z"));
}

TEST(HistoryLossColours, TheShareOfLostProbesPicksTheStep) {
    const struct {
        std::uint64_t lost, sent;
        int shade;
    } cases[] = {
        {0, 1, 0},  {0, 5000, 0}, {1, 1'000'000, 1}, {1, 100, 1}, {1, 20, 1},  {2, 39, 2},  {2, 20, 2},
        {3, 20, 3}, {4, 20, 3},   {5, 20, 4},        {10, 20, 4}, {11, 20, 5}, {19, 20, 5},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LatencyGraph::lossShade(c.lost, c.sent), c.shade) << c.lost << " of " << c.sent;
    // Green without loss, red at the far end, every step told apart.
    const auto& shades = LatencyGraph::lossShades();
    EXPECT_GT(shades.front().colour.green(), shades.front().colour.red());
    EXPECT_GT(shades.back().colour.red(), shades.back().colour.green() + 100);
    for (std::size_t i = 1; i < shades.size(); ++i)
        EXPECT_NE(shades[i].colour, shades[i - 1].colour);
    const QString legend = LatencyGraph::legendHtml(QPalette());
    for (const auto& shade : shades) {
        EXPECT_TRUE(legend.contains(shade.colour.name())) << shade.label;
        EXPECT_TRUE(
            legend.contains(QString::fromLatin1(shade.label).replace(QLatin1Char(' '), QStringLiteral("&nbsp;"))));
    }
    EXPECT_TRUE(legend.contains(QStringLiteral("no&nbsp;reply&nbsp;at&nbsp;all")));
}

SeriesPoint column(std::int64_t startMs, int replies, int lost, std::int64_t rttUs = 1000) {
    SeriesPoint point{startMs, startMs + 10'000, {}};
    for (int i = 0; i < replies + lost; ++i)
        point.stats.add(i < replies ? std::optional<std::int64_t>(rttUs) : std::nullopt);
    return point;
}

// What the graph draws of losses: one lost probe in ten tints the median line and leaves the column clear;
// a column without a reply is marked over the whole height.
TEST(HistoryLossColours, OnlyAColumnWithoutRepliesIsMarkedOverItsHeight) {
    TestApp();
    LatencyGraph graph;
    QPalette light;
    light.setColor(QPalette::Base, Qt::white);
    light.setColor(QPalette::Text, Qt::black);
    graph.setPalette(light);
    graph.resize(400, 220);
    graph.setData(0, 40'000, 40'000,
                  {column(0, 10, 0), column(10'000, 9, 1), column(20'000, 0, 3), column(30'000, 10, 0, 3000)}, {});
    QImage image(graph.size(), QImage::Format_ARGB32);
    image.fill(Qt::white);
    graph.render(&image);

    auto xAt = [&](std::int64_t ms) {
        for (int x = 0; x < graph.width(); ++x)
            if (graph.timeAt(x) >= ms)
                return x;
        return -1;
    };
    auto near = [](QColor a, const QColor& b) {
        return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) + std::abs(a.blue() - b.blue()) < 60;
    };
    auto columnHas = [&](int x, const QColor& colour) {
        for (int y = 0; y < image.height(); ++y)
            if (near(image.pixelColor(x, y), colour))
                return true;
        return false;
    };
    auto reddish = [](QColor c) { return c.red() > c.green() + 40; };
    const auto& shades = LatencyGraph::lossShades();
    const int clean = xAt(5'000), lossy = xAt(15'000), dead = xAt(25'000);
    ASSERT_GT(clean, 0);
    EXPECT_TRUE(columnHas(clean, shades[0].colour));
    EXPECT_TRUE(columnHas(lossy, shades[2].colour)) << "one in ten lost";
    EXPECT_FALSE(columnHas(lossy, shades[0].colour));
    const int high = graph.height() / 5; // well above the median
    EXPECT_FALSE(reddish(image.pixelColor(lossy, high)));
    EXPECT_TRUE(reddish(image.pixelColor(dead, high)));
    EXPECT_TRUE(reddish(image.pixelColor(dead, graph.height() / 2)));
}

// Two other hosts over the chosen one: each line at its own height in its own colour, the chosen host's loss
// colours beneath them, and a legend; without overlays none of their colours appears.
TEST(HistoryOverlay, EachHostIsDrawnInItsOwnColourAtItsOwnHeight) {
    TestApp();
    LatencyGraph graph;
    QPalette light;
    light.setColor(QPalette::Base, Qt::white);
    light.setColor(QPalette::Text, Qt::black);
    graph.setPalette(light);
    graph.resize(400, 240);
    std::vector<SeriesPoint> mine, slower, slowest;
    for (std::int64_t t = 0; t < 40'000; t += 10'000) {
        mine.push_back(column(t, 10, 0, 1000));
        slower.push_back(column(t, 10, 0, 3000));
        slowest.push_back(column(t, 10, 0, 5000));
    }
    graph.setData(0, 40'000, 40'000, mine, {});
    auto render = [&] {
        QImage image(graph.size(), QImage::Format_ARGB32);
        image.fill(Qt::white);
        graph.render(&image);
        return image;
    };
    auto near = [](QColor a, const QColor& b) {
        return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) + std::abs(a.blue() - b.blue()) < 60;
    };
    // The rows of column x in that colour, top to bottom.
    auto rowsOf = [&](const QImage& image, int x, const QColor& colour) {
        std::vector<int> rows;
        for (int y = 0; y < image.height(); ++y)
            if (near(image.pixelColor(x, y), colour))
                rows.push_back(y);
        return rows;
    };
    auto anywhere = [&](const QImage& image, const QColor& colour) {
        for (int x = 0; x < image.width(); ++x)
            if (!rowsOf(image, x, colour).empty())
                return true;
        return false;
    };
    const QColor first = LatencyGraph::overlayColour(0), second = LatencyGraph::overlayColour(1);
    const QColor own = LatencyGraph::lossShades()[0].colour;
    QImage alone = render();
    EXPECT_FALSE(anywhere(alone, first));
    EXPECT_FALSE(anywhere(alone, second));
    EXPECT_LT(graph.axisTopUs(), 3000);

    graph.setOverlays(
        {{QStringLiteral("slower.test"), first, slower}, {QStringLiteral("slowest.test"), second, slowest}},
        QStringLiteral("mine.test"));
    EXPECT_GE(graph.axisTopUs(), 5000); // every median fits
    const QImage image = render();
    int x = -1;
    for (int i = 0; i < graph.width() && x < 0; ++i)
        if (graph.timeAt(i) >= 25'000)
            x = i;
    ASSERT_GT(x, 0);
    const std::vector<int> ownRows = rowsOf(image, x, own);
    const std::vector<int> firstRows = rowsOf(image, x, first);
    const std::vector<int> secondRows = rowsOf(image, x, second);
    ASSERT_FALSE(ownRows.empty());
    ASSERT_FALSE(firstRows.empty());
    ASSERT_FALSE(secondRows.empty());
    // Higher round trips are drawn higher up.
    EXPECT_LT(secondRows.back(), firstRows.front());
    EXPECT_LT(firstRows.back(), ownRows.front());
    // The colours differ from each other and from every loss colour.
    EXPECT_NE(first, second);
    for (const auto& shade : LatencyGraph::lossShades()) {
        EXPECT_FALSE(near(first, shade.colour)) << shade.label;
        EXPECT_FALSE(near(second, shade.colour)) << shade.label;
    }
    // The legend in the top left corner: a swatch of each line, above any of the lines themselves.
    const int legendX = graph.width() / 8;
    bool swatches = false;
    for (int y = 0; y < graph.height() / 3 && !swatches; ++y)
        swatches = near(image.pixelColor(legendX, y), first) || near(image.pixelColor(legendX + 1, y), first);
    EXPECT_TRUE(swatches);
}

class HistoryGraphWindow : public ::testing::Test {
protected:
    void SetUp() override {
        TestApp();
        HistoryOptions options;
        options.path = dir_.file("history.sqlite");
        options.clock = [] { return kNow; };
        ledger_ = std::make_shared<HistoryLedger>(std::move(options));
        // The last five minutes, one probe a second, and one probe 20 hours ago.
        ledger_->record({kNow - 20 * kHour, kHost, "127.0.0.1", 900, 0, 64, 3});
        for (std::int64_t t = kNow - 300'000; t < kNow; t += 1000)
            ledger_->record({t, kHost, "127.0.0.1", 50, 0, 64, 3});
        ASSERT_TRUE(ledger_->flush(std::chrono::seconds(30)));
        HistoryWindow::keepSpanIn(&stored_);
    }
    void TearDown() override {
        window_.reset();
        HistoryWindow::keepSpanIn(nullptr);
    }
    HistoryWindow& open() {
        window_ = std::make_unique<HistoryWindow>(ledger_, QString::fromStdString(kHost), nullptr, [] { return kNow; });
        window_->resize(800, 560);
        window_->show();
        return *window_;
    }
    template <class T> T* child(const QString& name) { return window_->findChild<T*>(name); }
    LatencyGraph& graph() { return *child<LatencyGraph>(QStringLiteral("graph")); }
    QString summary() {
        return child<QLabel>(QStringLiteral("summaryLabel"))->text().replace(QChar(0x00A0), QLatin1Char(' '));
    }
    QString spanText() { return child<QComboBox>(QStringLiteral("spanBox"))->currentText(); }
    QPushButton& nowButton() { return *child<QPushButton>(QStringLiteral("nowButton")); }

    static void mouse(QWidget& w, QEvent::Type type, int x, Qt::MouseButton button,
                      Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        const QPointF pos(x, w.height() / 3.0);
        QMouseEvent event(type, pos, w.mapToGlobal(pos), button,
                          type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button), modifiers);
        QApplication::sendEvent(&w, &event);
    }
    static void drag(QWidget& w, int fromX, int toX, Qt::MouseButton button, Qt::KeyboardModifiers modifiers = {}) {
        mouse(w, QEvent::MouseButtonPress, fromX, button, modifiers);
        mouse(w, QEvent::MouseMove, (fromX + toX) / 2, button, modifiers);
        mouse(w, QEvent::MouseMove, toX, button, modifiers);
        mouse(w, QEvent::MouseButtonRelease, toX, button, modifiers);
    }
    static void wheel(QWidget& w, int x, int delta) {
        const QPointF pos(x, w.height() / 3.0);
        QWheelEvent event(pos, w.mapToGlobal(pos), {}, {0, delta}, Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                          false);
        QApplication::sendEvent(&w, &event);
    }

    TempDir dir_;
    std::shared_ptr<HistoryLedger> ledger_;
    std::string stored_;
    std::unique_ptr<HistoryWindow> window_;
};

TEST_F(HistoryGraphWindow, WheelAndDragChangeTheViewAndBackToNowRestoresIt) {
    HistoryWindow& w = open();
    EXPECT_EQ(spanText(), QStringLiteral("1 hour"));
    EXPECT_FALSE(nowButton().isEnabled());
    const int right = graph().width() - 20;

    // A notch in at the right edge: a shorter span, named by its length.
    wheel(graph(), right, 120);
    EXPECT_EQ(w.shownSpanMs(), 48 * 60'000);
    EXPECT_EQ(spanText(), QStringLiteral("48 min 00 s"));
    EXPECT_TRUE(nowButton().isEnabled());
    EXPECT_EQ(w.chosenSpanMs(), kHour) << "zooming is no choice";
    EXPECT_FALSE(w.shownEndMs()) << "zoomed at the newest edge, it still follows now";
    // Zooming in the middle stays there.
    wheel(graph(), graph().width() / 2, 120);
    ASSERT_TRUE(w.shownEndMs());
    EXPECT_LT(*w.shownEndMs(), kNow - 3 * 60'000);
    nowButton().click();
    EXPECT_EQ(w.shownSpanMs(), kHour);
    EXPECT_FALSE(w.shownEndMs());
    EXPECT_EQ(spanText(), QStringLiteral("1 hour"));
    EXPECT_FALSE(nowButton().isEnabled());

    // Dragging to the right looks into the past: the last five minutes' probes leave the hour.
    EXPECT_TRUE(summary().contains(QStringLiteral("Sent 300"))) << summary().toStdString();
    drag(graph(), graph().width() / 4, graph().width() * 3 / 4, Qt::LeftButton);
    ASSERT_TRUE(w.shownEndMs());
    EXPECT_LT(*w.shownEndMs(), kNow - 20 * 60'000);
    EXPECT_EQ(w.shownSpanMs(), kHour);
    EXPECT_EQ(summary(), QStringLiteral("No probes in this span."));
    // The refresh of a second later keeps the view where it was put.
    const std::int64_t end = *w.shownEndMs();
    w.refresh();
    EXPECT_EQ(w.shownEndMs(), end);
    // Dragging back past now follows now again.
    drag(graph(), graph().width() * 3 / 4, 0, Qt::LeftButton);
    EXPECT_FALSE(w.shownEndMs());

    // Shift and a drag over the last quarter zoom into it.
    drag(graph(), graph().width() * 3 / 4, right, Qt::LeftButton, Qt::ShiftModifier);
    EXPECT_LT(w.shownSpanMs(), kHour / 3);
    EXPECT_GT(w.shownSpanMs(), kHour / 8);
    // A click is no range.
    const std::int64_t zoomed = w.shownSpanMs();
    drag(graph(), 100, 101, Qt::RightButton);
    EXPECT_EQ(w.shownSpanMs(), zoomed);

    // Zooming stops at a minute and at ten years.
    for (int i = 0; i < 40; ++i)
        wheel(graph(), right, 120);
    EXPECT_EQ(w.shownSpanMs(), HistoryWindow::kShortestSpanMs);
    for (int i = 0; i < 80; ++i)
        wheel(graph(), right, -120);
    EXPECT_EQ(w.shownSpanMs(), HistoryWindow::kLongestSpanMs);
    nowButton().click();
    EXPECT_EQ(w.shownSpanMs(), kHour);
    EXPECT_TRUE(summary().contains(QStringLiteral("Sent 300")));
    EXPECT_EQ(child<QComboBox>(QStringLiteral("spanBox"))->count(), static_cast<int>(HistoryWindow::spans().size()));
}

TEST_F(HistoryGraphWindow, ASmallGraphChosenBecomesTheMainSpan) {
    HistoryWindow& w = open();
    const auto& spans = HistoryWindow::overviewSpans();
    ASSERT_EQ(spans.size(), 4u);
    for (std::size_t i = 0; i < spans.size(); ++i) {
        LatencyGraph* small = child<LatencyGraph>(QStringLiteral("overviewGraph%1").arg(i));
        ASSERT_NE(small, nullptr);
        EXPECT_EQ(small->toMs() - small->fromMs(), spans[i].ms) << spans[i].label;
    }
    // The 30 hours take in the probe of 20 hours ago.
    LatencyGraph& thirtyHours = *child<LatencyGraph>(QStringLiteral("overviewGraph1"));
    mouse(thirtyHours, QEvent::MouseButtonPress, thirtyHours.width() / 2, Qt::LeftButton);
    EXPECT_EQ(w.chosenSpanMs(), 30 * kHour);
    EXPECT_EQ(w.shownSpanMs(), 30 * kHour);
    EXPECT_EQ(spanText(), QStringLiteral("30 hours"));
    EXPECT_TRUE(summary().contains(QStringLiteral("Sent 301")));
    EXPECT_EQ(stored_, "108000");

    // From the keyboard too, and out of a zoomed view.
    wheel(graph(), 10, 120);
    LatencyGraph& year = *child<LatencyGraph>(QStringLiteral("overviewGraph3"));
    QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    QApplication::sendEvent(&year, &space);
    EXPECT_EQ(spanText(), QStringLiteral("1 year"));
    EXPECT_FALSE(w.shownEndMs());
    EXPECT_FALSE(nowButton().isEnabled());
}

// Two minutes of total loss at one probe a second: at the 10-minute span the plot has more columns than probes,
// at 30 hours a column holds replies too; at every span, and in the small graphs, the outage is one solid mark
// from its first lost probe to the first reply, never a barcode and never gone.
TEST_F(HistoryGraphWindow, AnOutageIsOneSolidMarkAtEverySpan) {
    HistoryOptions options;
    options.path = dir_.file("outage.sqlite");
    options.clock = [] { return kNow; };
    ledger_ = std::make_shared<HistoryLedger>(std::move(options));
    const std::int64_t lossFrom = kNow - 400'000, lossTo = kNow - 280'000;
    for (std::int64_t t = kNow - 590'000; t < kNow; t += 1000) {
        const bool lost = t >= lossFrom && t < lossTo;
        ledger_->record({t, kHost, "127.0.0.1", lost ? std::nullopt : std::optional<std::int64_t>(50),
                         lost ? 11010u : 0u, lost ? std::nullopt : std::optional<int>(64),
                         std::uint8_t{lost ? HostVerdict::Bad : HostVerdict::Good}});
    }
    ASSERT_TRUE(ledger_->flush(std::chrono::seconds(30)));
    open();
    auto checkSolid = [&](LatencyGraph& g, const char* what) {
        SCOPED_TRACE(what);
        QImage image(g.size(), QImage::Format_ARGB32);
        image.fill(Qt::white);
        g.render(&image);
        int first = -1, last = -1; // the columns where the outage begins and ends
        for (int x = 0; x < g.width(); ++x) {
            if (g.timeAt(x) <= lossFrom)
                first = x;
            if (last < 0 && g.timeAt(x) >= lossTo)
                last = x;
        }
        ASSERT_GE(first, 0);
        ASSERT_GE(last, first);
        // Well above the median of the replies; in a small graph just below its title.
        const int y = g.compact() ? g.fontMetrics().height() + 4 : g.height() / 4;
        auto reddish = [&](int x) {
            const QColor c = image.pixelColor(x, y);
            return c.red() > c.green() + 40;
        };
        int blank = 0, marked = 0;
        for (int x = first; x <= last; ++x) {
            marked += reddish(x) ? 1 : 0;
            blank += x > first && x < last && !reddish(x) ? 1 : 0;
        }
        EXPECT_EQ(blank, 0) << "columns of the outage left blank, between x " << first << " and " << last;
        EXPECT_GT(marked, 0) << "the outage is not marked at all";
    };
    window_->setSpanIndex(0);
    ASSERT_EQ(spanText(), QStringLiteral("10 minutes"));
    ASSERT_GT(graph().columns(), 600) << "the plot is too narrow to leave columns without a probe";
    checkSolid(graph(), "10 minutes");
    window_->setSpanIndex(4);
    ASSERT_EQ(spanText(), QStringLiteral("30 hours"));
    checkSolid(graph(), "30 hours");
    checkSolid(*child<LatencyGraph>(QStringLiteral("overviewGraph0")), "the small graph of 3 hours");
}

// The chosen span lives where the program keeps its settings; what cannot be read there is the default.
TEST_F(HistoryGraphWindow, TheChosenSpanIsKeptAndAStoredOneJudged) {
    open();
    window_->setSpanIndex(0);
    EXPECT_EQ(stored_, "600");
    const struct {
        const char* stored;
        std::int64_t shownMs;
        const char* text;
    } cases[] = {
        {"600", 600'000, "10 minutes"},
        {" 86400 ", 24 * kHour, "24 hours"},
        {"", kHour, "1 hour"},
        {"an hour", kHour, "1 hour"},
        {"-60", kHour, "1 hour"},
        {"5", 60'000, "1 min 00 s"},
        {"99999999999", HistoryWindow::kLongestSpanMs, "3650 d 00 h"},
        {"7200", 2 * kHour, "2 h 00 min"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        stored_ = c.stored;
        HistoryWindow& w = open();
        EXPECT_EQ(w.shownSpanMs(), c.shownMs);
        EXPECT_EQ(w.chosenSpanMs(), c.shownMs);
        EXPECT_EQ(spanText(), QString::fromLatin1(c.text));
        EXPECT_FALSE(nowButton().isEnabled());
    }
}

// The summary wraps only between figures, at any width, and the window fits a 1920 x 1080 screen at 200 %
// (960 x 540 for the window, less a panel).
TEST_F(HistoryGraphWindow, TheSummaryWrapsBetweenFiguresAndTheWindowFitsAScaledScreen) {
    open();
    const QLabel* label = child<QLabel>(QStringLiteral("summaryLabel"));
    const QString text = label->text();
    const QStringList starts{QStringLiteral("Availability"), QStringLiteral("Sent"),   QStringLiteral("Lost"),
                             QStringLiteral("Min"),          QStringLiteral("Median"), QStringLiteral("95th"),
                             QStringLiteral("Max"),          QStringLiteral("Jitter")};
    for (int width = 60; width <= 900; width += 20) {
        QTextLayout layout(text, label->font());
        QTextOption option;
        option.setWrapMode(QTextOption::WordWrap);
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            const QString part = text.mid(line.textStart(), line.textLength()).trimmed();
            EXPECT_TRUE(std::any_of(starts.begin(), starts.end(), [&](const QString& s) { return part.startsWith(s); }))
                << width << ": \"" << part.toStdString() << '"';
        }
        layout.endLayout();
    }
    const QSize least = window_->minimumSizeHint();
    EXPECT_LE(least.width(), 960) << least.width();
    EXPECT_LE(least.height(), 500) << least.height();
}

} // namespace
