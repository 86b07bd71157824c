#include <gtest/gtest.h>

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTableView>

#include <map>
#include <string>
#include <vector>

#include "AnsweredHostsWindow.h"
#include "app/common/AppSettings.h"
#include "app/common/NaturalOrder.h"
#include "app/hosts/HostsModel.h"
#include "app/hosts/HostsProxyModel.h"
#include "app/hosts/HostsWindow.h"
#include "support/OffscreenScreen.h"
#include "support/WidgetApp.h"

// The Hosts window with a list as long as people keep: sorting, the filter, the count, acting on several rows,
// and a default size that fits a full-HD screen at both scales (this program runs again with QT_SCALE_FACTOR=2).
namespace {

QApplication& app() {
    static const bool screen = useOffscreenScreen(1920, 1080);
    (void)screen;
    return widgetApp();
}

constexpr std::int64_t kMorning = 1'765'180'800'000; // a fixed day, so that every status has its time

// 51 loopback hosts, 127.0.1.1 (the main one) to 127.0.1.51: 3 Bad, 1 Average, 45 Good and 2 stopped, the
// round trips 0.4 to 20.4 ms, so that their texts ("2.00 ms", "10.0 ms") sort otherwise than their values.
std::vector<WatchedHost> fleet() {
    std::vector<WatchedHost> hosts;
    const std::map<RunId, std::int64_t> badSince = {{12, 2 * 3'600'000}, {3, 3'600'000}, {40, 3 * 3'600'000}};
    for (RunId id = 1; id <= 51; ++id) {
        WatchedHost h;
        h.id = id;
        h.main = id == 1;
        h.settings.host = "127.0.1." + std::to_string(id);
        h.address = h.settings.host;
        h.running = id != 7 && id != 30;
        h.status = HostStatus::Good;
        h.statusSinceMs = kMorning + (51 - id); // started together, within the second the window shows
        h.lastRttUs = static_cast<std::uint32_t>(id * 400);
        h.stats = {.requests = 100, .lost = static_cast<std::uint32_t>(id % 4), .avgUs = h.lastRttUs.value()};
        if (const auto bad = badSince.find(id); bad != badSince.end()) {
            h.status = HostStatus::Bad;
            h.statusSinceMs = kMorning + bad->second;
            h.lastRttUs.reset();
        }
        if (id == 25)
            h.status = HostStatus::Average;
        hosts.push_back(std::move(h));
    }
    // A name that is not its address; a share of 5 % lost over a long run, against 38 % over a short one.
    hosts[49].settings.host = "gateway.lan";
    hosts[9].stats = {.requests = 200, .lost = 10, .avgUs = 4000};
    hosts[10].stats = {.requests = 8, .lost = 3, .avgUs = 4400};
    return hosts;
}

class HostsWindowRows : public ::testing::Test {
protected:
    HostsWindowRows() : window_((app(), settings_)) {
        hosts_ = fleet();
        window_.setHosts(hosts_);
    }
    ~HostsWindowRows() override { QApplication::setPalette(QPalette()); }

    // The hosts as the rows show them, top to bottom.
    std::vector<std::string> shown() const {
        std::vector<std::string> names;
        const HostsProxyModel& rows = window_.rows();
        for (int row = 0; row < rows.rowCount(); ++row)
            names.push_back(rows.host(rows.index(row, 0))->settings.host);
        return names;
    }
    std::vector<std::string> firstShown(std::size_t count) const {
        std::vector<std::string> names = shown();
        names.resize(std::min(count, names.size()));
        return names;
    }
    // A click on a column's header, as the mouse gives it.
    void clickHeader(int column) {
        QHeaderView* header = window_.table().horizontalHeader();
        const QPointF at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2.0,
                         header->height() / 2.0);
        for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            const Qt::MouseButtons held = type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton;
            QMouseEvent event(type, at, header->viewport()->mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier);
            QApplication::sendEvent(header->viewport(), &event);
        }
    }
    void select(const std::vector<RunId>& ids) {
        window_.table().clearSelection();
        const HostsProxyModel& rows = window_.rows();
        for (int row = 0; row < rows.rowCount(); ++row) {
            const QModelIndex index = rows.index(row, 0);
            if (std::find(ids.begin(), ids.end(), rows.host(index)->id) != ids.end())
                window_.table().selectionModel()->select(index,
                                                         QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }
    QPushButton* button(const char* name) { return window_.findChild<QPushButton*>(QString::fromLatin1(name)); }
    QString countLine() { return window_.findChild<QLabel*>(QStringLiteral("countLabel"))->text(); }

    AppSettings settings_;
    std::vector<WatchedHost> hosts_;
    AnsweredHostsWindow window_;
};

// Numbers by value however long (no overflow), fewer leading zeros first, letters in any case together.
TEST(NaturalOrder, NumbersCompareByValue) {
    const QStringList ordered = QStringLiteral("9.0.0.1 10.0.0.1 127.0.1.2 127.0.1.10 99999999999999999999 "
                                               "100000000000000000000 a B GW gw host9 Host10 node node1 x7 x007")
                                    .split(QLatin1Char(' '));
    QStringList sorted(ordered.rbegin(), ordered.rend());
    std::sort(sorted.begin(), sorted.end(),
              [](const QString& a, const QString& b) { return NaturalOrder::less(a, b); });
    EXPECT_EQ(sorted, ordered);
    EXPECT_EQ(NaturalOrder::compare(u"same", u"same"), 0);
}

// A header click sorts; a second one turns the order round, a third gives back the list's own; the status sorts
// the worst first and, within a status, the longest in it; figures sort by value, not by their text. The sort
// is kept for the next opening.
TEST_F(HostsWindowRows, HeaderClicksSortEveryColumn) {
    window_.show();
    EXPECT_EQ(firstShown(3), (std::vector<std::string>{"127.0.1.1", "127.0.1.2", "127.0.1.3"})) << "the list's order";

    clickHeader(HostsModel::HostColumn);
    std::vector<std::string> natural;
    for (int i = 1; i <= 12; ++i)
        natural.push_back("127.0.1." + std::to_string(i));
    EXPECT_EQ(firstShown(12), natural) << "127.0.1.9 before 127.0.1.10";
    EXPECT_EQ(shown().back(), "gateway.lan");
    clickHeader(HostsModel::HostColumn);
    EXPECT_EQ(firstShown(2), (std::vector<std::string>{"gateway.lan", "127.0.1.51"}));

    clickHeader(HostsModel::AddressColumn);
    EXPECT_EQ(firstShown(3), (std::vector<std::string>{"127.0.1.1", "127.0.1.2", "127.0.1.3"}));
    EXPECT_EQ(shown()[49], "gateway.lan") << "its address, 127.0.1.50, decides";

    clickHeader(HostsModel::StatusColumn);
    const std::vector<std::string> byStatus = shown();
    EXPECT_EQ(firstShown(5),
              (std::vector<std::string>{"127.0.1.3", "127.0.1.12", "127.0.1.40", "127.0.1.25", "127.0.1.1"}));
    EXPECT_EQ(std::vector<std::string>(byStatus.end() - 2, byStatus.end()),
              (std::vector<std::string>{"127.0.1.7", "127.0.1.30"}))
        << "stopped hosts last";

    clickHeader(HostsModel::RttColumn);
    EXPECT_EQ(firstShown(6),
              (std::vector<std::string>{"127.0.1.1", "127.0.1.2", "127.0.1.4", "127.0.1.5", "127.0.1.6", "127.0.1.7"}));
    EXPECT_EQ(shown()[47], "127.0.1.51") << "the slowest answer before the lost ones";

    clickHeader(HostsModel::LossColumn);
    const std::vector<std::string> byLoss = shown();
    const auto at = [&](const char* name) { return std::find(byLoss.begin(), byLoss.end(), name) - byLoss.begin(); };
    EXPECT_LT(at("127.0.1.4"), at("127.0.1.2")) << "none lost first";
    EXPECT_LT(at("127.0.1.2"), at("127.0.1.10")) << "2 of 100 before 10 of 200, though \"10 (5%)\" reads first";
    EXPECT_EQ(byLoss.back(), "127.0.1.11") << "38 % lost is the most";

    clickHeader(HostsModel::StatusColumn);
    clickHeader(HostsModel::StatusColumn);
    EXPECT_EQ(shown().front(), "127.0.1.30") << "descending: the stopped hosts first";
    clickHeader(HostsModel::StatusColumn);
    EXPECT_EQ(firstShown(2), (std::vector<std::string>{"127.0.1.1", "127.0.1.2"})) << "a third click: no sort";

    clickHeader(HostsModel::StatusColumn);
    window_.hide();
    EXPECT_EQ(settings_.value().hostsWindowSort, "2,ascending");
    AnsweredHostsWindow again(settings_);
    again.setHosts(hosts_);
    EXPECT_EQ(again.rows().host(again.rows().index(0, 0))->settings.host, "127.0.1.3") << "the sort is kept";

    // A host whose status changes moves to its place at once.
    hosts_[40].status = HostStatus::Bad;
    hosts_[40].statusSinceMs = kMorning - 1;
    again.updateHost(41);
    EXPECT_EQ(again.rows().host(again.rows().index(0, 0))->settings.host, "127.0.1.41");
}

TEST_F(HostsWindowRows, FilterAndCountFollowTheHosts) {
    EXPECT_EQ(countLine(), QStringLiteral("51 hosts: 3 Bad, 1 Average, 45 Good, 2 stopped"));

    const struct {
        const char* typed;
        std::size_t rows;
    } filters[] = {
        {"127.0.1.1", 11}, {"bad", 3}, {"STOPPED", 2}, {"1.50", 1}, {"gateway", 1}, {"  ", 51}, {"nothing", 0},
    };
    auto* edit = window_.findChild<QLineEdit*>(QStringLiteral("filterEdit"));
    for (const auto& f : filters) {
        SCOPED_TRACE(f.typed);
        edit->setText(QString::fromLatin1(f.typed));
        EXPECT_EQ(shown().size(), f.rows);
    }
    edit->setText(QStringLiteral("bad"));
    EXPECT_EQ(countLine(), QStringLiteral("51 hosts: 3 Bad, 1 Average, 45 Good, 2 stopped (3 shown)"));

    // A host turning Bad joins the filtered rows and the count; one just started has no verdict yet.
    hosts_[4].status = HostStatus::Bad;
    window_.updateHost(5);
    hosts_[6].running = true;
    hosts_[6].status = HostStatus::NA;
    window_.updateHost(7);
    EXPECT_EQ(shown().size(), 4u);
    EXPECT_EQ(countLine(), QStringLiteral("51 hosts: 4 Bad, 1 Average, 44 Good, 1 N/A, 1 stopped (4 shown)"));

    edit->clear();
    EXPECT_EQ(shown().size(), 51u);
    EXPECT_TRUE(window_.selectedIds().empty()) << "filtering selects nothing by itself";
    EXPECT_FALSE(button("removeButton")->isEnabled());
    hosts_.resize(1);
    window_.setHosts(hosts_);
    EXPECT_EQ(countLine(), QStringLiteral("1 host: 1 Good"));
}

// Remove asks first, names the hosts it will remove (never the main one) and removes them all or none; Start and
// Stop act on each selected host that can take them.
TEST_F(HostsWindowRows, SeveralSelectedRowsAreActedOnTogether) {
    std::map<std::string, std::vector<RunId>> seen;
    for (auto [signal, name] :
         {std::pair{&HostsWindow::removeRequested, "remove"}, std::pair{&HostsWindow::startRequested, "start"},
          std::pair{&HostsWindow::stopRequested, "stop"}})
        QObject::connect(&window_, signal, [&seen, name](RunId id) { seen[name].push_back(id); });

    window_.removeAnswer = false;
    select({1, 5, 30});
    EXPECT_EQ(window_.selectedIds(), (std::vector<RunId>{1, 5, 30}));
    EXPECT_FALSE(button("editButton")->isEnabled()) << "one host is edited at a time";
    EXPECT_TRUE(button("removeButton")->isEnabled());
    button("removeButton")->click();
    ASSERT_EQ(window_.removeAsked.size(), 1u);
    EXPECT_EQ(window_.removeAsked[0], (QStringList{QStringLiteral("127.0.1.5"), QStringLiteral("127.0.1.30")}));
    EXPECT_TRUE(seen["remove"].empty()) << "answered no";
    window_.removeAnswer = true;
    button("removeButton")->click();
    EXPECT_EQ(seen["remove"], (std::vector<RunId>{5, 30}));

    QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
    QApplication::sendEvent(&window_.table(), &del);
    EXPECT_EQ(window_.removeAsked.size(), 3u) << "the Delete key asks as Remove does";
    EXPECT_EQ(seen["remove"], (std::vector<RunId>{5, 30, 5, 30}));

    button("startButton")->click();
    button("stopButton")->click();
    EXPECT_EQ(seen["start"], (std::vector<RunId>{30}));
    EXPECT_EQ(seen["stop"], (std::vector<RunId>{1, 5}));

    select({1});
    EXPECT_FALSE(button("removeButton")->isEnabled()) << "the main host alone cannot go";
}

// At its default size the window lies on a 1920x1080 screen, at 100 % and 200 %, and shows every column of 51
// hosts without a horizontal scroll bar; a size the screen bounds is not kept as the user's.
TEST_F(HostsWindowRows, DefaultSizeFitsAFullHdScreen) {
    const QScreen* screen = QApplication::primaryScreen();
    if (screen->geometry().width() * screen->devicePixelRatio() != 1920)
        GTEST_SKIP() << "no offscreen screen of 1920x1080 on this platform";
    SCOPED_TRACE("scale " + scaleName());
    window_.show();
    const QRect available = screen->availableGeometry();
    EXPECT_TRUE(available.contains(window_.frameGeometry()))
        << "window at " << window_.frameGeometry().x() << "," << window_.frameGeometry().y() << " size "
        << window_.frameGeometry().width() << "x" << window_.frameGeometry().height();
    QTableView& table = window_.table();
    EXPECT_TRUE(table.verticalScrollBar()->isVisible()) << "51 rows do not fit: they scroll up and down";
    EXPECT_FALSE(table.horizontalScrollBar()->isVisible());
    int widths = 0;
    for (int column = 0; column < HostsModel::kColumnCount; ++column)
        widths += table.columnWidth(column);
    EXPECT_LE(widths, table.viewport()->width());
    EXPECT_GE(table.columnWidth(HostsModel::RecentColumn), 48) << "the recent line still reads";

    // Narrower than its columns: the columns narrow with it and nothing scrolls sideways; the widths the user
    // chose come back when there is room again, and those are what is kept.
    window_.resize(520, 300);
    QApplication::processEvents();
    EXPECT_FALSE(table.horizontalScrollBar()->isVisible());
    EXPECT_LT(table.columnWidth(HostsModel::HostColumn), 160);
    window_.resize(840, 300);
    QApplication::processEvents();
    EXPECT_EQ(table.columnWidth(HostsModel::HostColumn), 160);
    window_.hide();
    EXPECT_EQ(settings_.value().hostsWindowColumns.rfind("160,110,160,75,75,75,", 0), 0u)
        << settings_.value().hostsWindowColumns;

    // A size from a larger screen opens bounded by this one, and stays in the settings until the user resizes.
    settings_.quietly().hostsWindowSize = "3000x2000";
    {
        HostsWindow large(settings_);
        large.show();
        EXPECT_LE(large.width(), available.width());
        large.hide();
        EXPECT_EQ(settings_.value().hostsWindowSize, "3000x2000");
        large.show();
        large.resize(700, 320);
        large.hide();
    }
    EXPECT_EQ(settings_.value().hostsWindowSize, "700x320");
}

// The recent line of a sorted list is drawn for the host of its row, a lost probe's tick in red.
TEST_F(HostsWindowRows, TheRecentLineFollowsItsRow) {
    hosts_[2].recent = {{kMorning, 900}, {kMorning + 1000, std::nullopt}, {kMorning + 2000, 1200}};
    window_.setHosts(hosts_);
    window_.show();
    clickHeader(HostsModel::StatusColumn); // 127.0.1.3, the first Bad host, comes to the top
    QTableView& table = window_.table();
    const auto ticks = [&](int row) {
        const QRect cell = table.visualRect(table.model()->index(row, HostsModel::RecentColumn));
        const QImage image = table.viewport()->grab(cell).toImage();
        int red = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (const QColor c = image.pixelColor(x, y); c.red() > 150 && c.green() < 120 && c.blue() < 120)
                    ++red; // the tick's colour, softened at its edges
        return red;
    };
    EXPECT_GT(ticks(0), 0);
    EXPECT_EQ(ticks(2), 0) << "127.0.1.40 lost nothing of late";
}

// With OSTREVO_SCREENSHOTS set to a folder, the window with 51 hosts is drawn there sorted by status and
// filtered, in the light and a dark palette, for a person to look at.
TEST_F(HostsWindowRows, Screenshots) {
    const QString folder = qEnvironmentVariable("OSTREVO_SCREENSHOTS");
    if (folder.isEmpty())
        GTEST_SKIP() << "set OSTREVO_SCREENSHOTS to a folder to draw the window";
    QDir().mkpath(folder);
    for (int i = 0; i < 51; ++i)
        for (int p = 0; p < 120; ++p)
            hosts_[static_cast<std::size_t>(i)].recent.push(
                {kMorning + p * 1000, (p + i) % 37 == 0 ? std::nullopt
                                                        : std::optional<std::uint32_t>(
                                                              400u * static_cast<unsigned>(i + 1) + (p % 7) * 90u)});
    window_.setHosts(hosts_);
    window_.show();
    clickHeader(HostsModel::StatusColumn);
    const std::string scale = scaleName();
    auto save = [&](const char* name) {
        QApplication::processEvents();
        EXPECT_TRUE(window_.grab().save(
            folder + QStringLiteral("/hosts-%1-x%2.png").arg(QLatin1String(name), QString::fromStdString(scale))));
    };
    save("status");
    window_.setFilterText(QStringLiteral("127.0.1.1"));
    save("filtered");
    window_.setFilterText({});
    QPalette dark;
    for (auto [role, colour] : {std::pair{QPalette::Window, 0x2b2b2b},
                                {QPalette::WindowText, 0xffffff},
                                {QPalette::Base, 0x1e1e1e},
                                {QPalette::AlternateBase, 0x2a2a2a},
                                {QPalette::Text, 0xffffff},
                                {QPalette::Button, 0x353535},
                                {QPalette::ButtonText, 0xffffff},
                                {QPalette::Highlight, 0x3daee9},
                                {QPalette::HighlightedText, 0x000000},
                                {QPalette::PlaceholderText, 0x909090}})
        dark.setColor(role, QColor(QRgb(colour)));
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        dark.setColor(QPalette::Disabled, role, QColor(0x70, 0x70, 0x70));
    QApplication::setPalette(dark);
    save("dark");
}

} // namespace
