#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QFont>
#include <QGroupBox>
#include <QHeaderView>
#include <QIcon>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTableView>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "AnsweredHostsWindow.h"
#include "app/common/AppSettings.h"
#include "app/hosts/HostsModel.h"
#include "app/hosts/HostsWindow.h"
#include "app/options/OptionsDialog.h"
#include "app/hosts/Sparkline.h"
#include "app/common/StatusIcons.h"
#include "settings/SettingsFields.h"
#include "support/WidgetApp.h"

namespace {

std::int64_t localMs(int year, int month, int day, int hour, int minute, int second) {
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second)).toMSecsSinceEpoch();
}

WatchedHost host(RunId id, const std::string& name, bool running, bool main = false) {
    WatchedHost h;
    h.id = id;
    h.main = main;
    h.settings.host = name;
    h.running = running;
    return h;
}

// The list a window shows, kept here as the host list keeps it: the window reads it in place.
struct ShownHosts {
    std::vector<WatchedHost> hosts;
    void show(HostsWindow& window, std::vector<WatchedHost> list) {
        hosts = std::move(list);
        window.setHosts(hosts);
    }
    // A host's new values, told as the list tells them.
    void change(HostsWindow& window, const WatchedHost& host) {
        for (WatchedHost& shown : hosts)
            if (shown.id == host.id)
                shown = host;
        window.updateHost(host.id);
    }
};

std::string cell(const HostsModel& model, int row, int column) {
    return model.data(model.index(row, column), Qt::DisplayRole).toString().toStdString();
}

QImage iconImage(const QIcon& icon) {
    return icon.pixmap(16, 16).toImage();
}

// Each kind of row with the texts a user reads in it.
TEST(HostsModel, RowsShowTheHostsValues) {
    widgetApp();
    const std::int64_t now = localMs(2026, 12, 8, 12, 0, 0);
    struct Case {
        const char* what;
        WatchedHost host;
        std::vector<std::string> cells; // host, address, status, last RTT, loss, average
    };
    WatchedHost stopped = host(1, "router.lan", false, true);
    stopped.address = "192.0.2.1";
    stopped.stats = {.requests = 4, .lost = 1, .avgUs = 2500};
    stopped.lastRttUs = 2400;

    WatchedHost waiting = host(2, "10.0.0.7", true);
    waiting.statusSinceMs = localMs(2026, 12, 8, 9, 5, 7);

    WatchedHost good = host(3, "gw", true);
    good.address = "198.51.100.9";
    good.status = HostStatus::Good;
    good.statusSinceMs = localMs(2026, 12, 7, 23, 15, 4);
    good.lastRttUs = 14'240;
    good.stats = {.requests = 8, .lost = 3, .avgUs = 38'400};

    WatchedHost lostLast = host(4, "far", true);
    lostLast.status = HostStatus::Bad;
    lostLast.stats = {.requests = 2, .lost = 2};

    WatchedHost loopback = host(5, "127.0.0.1", true);
    loopback.status = HostStatus::Average;
    loopback.lastRttUs = 81;
    loopback.stats = {.requests = 1, .lost = 0, .avgUs = 81};

    const std::vector<Case> cases = {
        {"stopped keeps the last run's figures",
         stopped,
         {"router.lan", "192.0.2.1", "Stopped", "2.40 ms", "1 (25%)", "2.50 ms"}},
        {"running, no verdict yet, no probe yet", waiting, {"10.0.0.7", "", "N/A since 09:05:07", "", "", ""}},
        {"a status from another day shows its date",
         good,
         {"gw", "198.51.100.9", "Good since 2026-12-07 23:15:04", "14.2 ms", "3 (38%)", "38.4 ms"}},
        {"the last probe lost, no reply at all", lostLast, {"far", "", "Bad", "lost", "2 (100%)", ""}},
        {"a sub-millisecond round trip keeps its digits",
         loopback,
         {"127.0.0.1", "", "Average", "0.081 ms", "0 (0%)", "0.081 ms"}},
    };
    std::vector<WatchedHost> hosts;
    for (const Case& c : cases)
        hosts.push_back(c.host);
    HostsModel model(nullptr, [now] { return now; });
    model.setHosts(hosts);
    ASSERT_EQ(model.rowCount(), static_cast<int>(cases.size()));
    ASSERT_EQ(model.columnCount(), 7);
    for (int row = 0; row < model.rowCount(); ++row) {
        const Case& c = cases[static_cast<std::size_t>(row)];
        SCOPED_TRACE(c.what);
        for (int column = 0; column < 6; ++column)
            EXPECT_EQ(cell(model, row, column), c.cells[static_cast<std::size_t>(column)]) << "column " << column;
        EXPECT_EQ(cell(model, row, HostsModel::RecentColumn), "") << "the sparkline is painted, not written";
    }

    // The light: a stopped host is unlit whatever its last status; a running one shows its status.
    EXPECT_EQ(iconImage(model.data(model.index(0, 0), Qt::DecorationRole).value<QIcon>()),
              iconImage(StatusIcons::small(HostStatus::NA)));
    EXPECT_EQ(iconImage(model.data(model.index(2, 0), Qt::DecorationRole).value<QIcon>()),
              iconImage(StatusIcons::small(HostStatus::Good)));
    EXPECT_EQ(iconImage(model.data(model.index(3, 0), Qt::DecorationRole).value<QIcon>()),
              iconImage(StatusIcons::small(HostStatus::Bad)));
    EXPECT_TRUE(model.data(model.index(1, 0), Qt::DecorationRole).isValid());
    EXPECT_FALSE(model.data(model.index(1, 1), Qt::DecorationRole).isValid()) << "one light per row";

    EXPECT_TRUE(model.data(model.index(0, 2), Qt::FontRole).value<QFont>().bold()) << "the main host stands out";
    EXPECT_FALSE(model.data(model.index(1, 2), Qt::FontRole).isValid());
    EXPECT_EQ(model.data(model.index(2, HostsModel::LossColumn), Qt::ToolTipRole).toString().toStdString(),
              "3 of 8 requests lost");
    EXPECT_FALSE(model.data(model.index(99, 0), Qt::DisplayRole).isValid());
}

// A probe of one host repaints its row and nothing else: no reset, no other row, no relayout.
TEST(HostsWindow, AnUpdateTouchesOnlyItsRow) {
    widgetApp();
    AppSettings settings;
    ShownHosts shown;
    HostsWindow window(settings);
    shown.show(window, {host(1, "a", true, true), host(7, "b", true), host(9, "c", false)});
    window.selectHost(9);
    HostsModel& model = window.model();

    std::vector<std::pair<int, int>> changedRows;
    int resets = 0;
    int layouts = 0;
    QObject::connect(&model, &QAbstractItemModel::dataChanged, [&](const QModelIndex& from, const QModelIndex& to) {
        changedRows.emplace_back(from.row(), to.row());
        EXPECT_EQ(from.column(), 0);
        EXPECT_EQ(to.column(), HostsModel::kColumnCount - 1);
    });
    QObject::connect(&model, &QAbstractItemModel::modelReset, [&] { ++resets; });
    QObject::connect(&model, &QAbstractItemModel::layoutChanged, [&] { ++layouts; });

    WatchedHost b = host(7, "b", true);
    b.status = HostStatus::Bad;
    b.lastRttUs = 3000;
    b.stats = {.requests = 1, .avgUs = 3000};
    b.recent = {{1000, 3000}};
    shown.change(window, b);
    EXPECT_EQ(changedRows, (std::vector<std::pair<int, int>>{{1, 1}}));
    EXPECT_EQ(cell(model, 1, HostsModel::RttColumn), "3.00 ms");
    EXPECT_EQ(cell(model, 0, HostsModel::StatusColumn), "N/A") << "the other rows keep their values";
    EXPECT_EQ(model.hostById(7)->recent.size(), 1u);

    changedRows.clear();
    shown.change(window, host(42, "gone", true)); // a host the window does not list: nothing happens
    EXPECT_TRUE(changedRows.empty());
    EXPECT_FALSE(model.updateHost(42));
    EXPECT_EQ(model.rowCount(), 3);
    EXPECT_EQ(resets, 0);
    EXPECT_EQ(layouts, 0);
    EXPECT_EQ(window.selectedId(), std::optional<RunId>(9)) << "an update leaves the selection alone";
}

struct ButtonStates {
    bool edit, remove, start, stop, startAll, stopAll;
    bool operator==(const ButtonStates&) const = default;
};

void PrintTo(const ButtonStates& s, std::ostream* os) {
    *os << "edit " << s.edit << " remove " << s.remove << " start " << s.start << " stop " << s.stop << " startAll "
        << s.startAll << " stopAll " << s.stopAll;
}

class HostsWindowButtons : public ::testing::Test {
protected:
    HostsWindowButtons() : window_((widgetApp(), settings_)) {}

    QPushButton* button(const char* name) { return window_.findChild<QPushButton*>(QString::fromLatin1(name)); }
    ButtonStates states() {
        return {button("editButton")->isEnabled(),     button("removeButton")->isEnabled(),
                button("startButton")->isEnabled(),    button("stopButton")->isEnabled(),
                button("startAllButton")->isEnabled(), button("stopAllButton")->isEnabled()};
    }
    // Every id each signal carried, by signal.
    void record() {
        std::map<std::string, std::vector<RunId>>* seen = &seen_;
        auto on = [&](auto signal, const char* name) {
            QObject::connect(&window_, signal, [seen, name](RunId id) { (*seen)[name].push_back(id); });
        };
        on(&HostsWindow::editRequested, "edit");
        on(&HostsWindow::removeRequested, "remove");
        on(&HostsWindow::startRequested, "start");
        on(&HostsWindow::stopRequested, "stop");
        on(&HostsWindow::historyRequested, "history");
        on(&HostsWindow::makeMainRequested, "main");
        QObject::connect(&window_, &HostsWindow::addRequested, [seen] { (*seen)["add"].push_back(0); });
        QObject::connect(&window_, &HostsWindow::startAllRequested, [seen] { (*seen)["startAll"].push_back(0); });
        QObject::connect(&window_, &HostsWindow::stopAllRequested, [seen] { (*seen)["stopAll"].push_back(0); });
    }

    ShownHosts shown_;
    AppSettings settings_;
    AnsweredHostsWindow window_;
    std::map<std::string, std::vector<RunId>> seen_;
};

// What each button allows follows the selected host: the main host cannot be removed, a running host is
// stopped rather than started and may be edited (it starts again with its new settings), except the running
// main host, whose fields change between its runs as in the main Options; the "all" buttons follow the whole
// list.
TEST_F(HostsWindowButtons, EnabledAsTheSelectionAllows) {
    shown_.show(window_, {host(1, "main", true, true), host(2, "running", true), host(3, "stopped", false)});
    EXPECT_EQ(states(), (ButtonStates{false, false, false, false, true, true})) << "nothing selected";
    EXPECT_TRUE(button("addButton")->isEnabled());

    const struct {
        RunId select;
        ButtonStates expected;
    } cases[] = {
        {1, {false, false, false, true, true, true}},
        {2, {true, true, false, true, true, true}},
        {3, {true, true, true, false, true, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.select);
        window_.selectHost(c.select);
        EXPECT_EQ(states(), c.expected);
    }

    // A host starting or stopping changes the buttons at once, without a new list.
    shown_.change(window_, host(3, "stopped", true));
    EXPECT_EQ(states(), (ButtonStates{true, true, false, true, false, true})) << "all running now";
    shown_.show(window_, {host(1, "main", false, true), host(3, "stopped", false)});
    EXPECT_EQ(window_.selectedId(), std::optional<RunId>(3)) << "a new list keeps the selected host";
    EXPECT_EQ(states(), (ButtonStates{true, true, true, false, true, false})) << "none running";
    window_.selectHost(1);
    EXPECT_EQ(states(), (ButtonStates{true, false, true, false, true, false})) << "stopped main host";
    shown_.show(window_, {host(1, "main", false, true)});
    shown_.show(window_, {host(5, "new", false, true)});
    EXPECT_EQ(window_.selectedId(), std::nullopt) << "the selected host went";
    EXPECT_EQ(states(), (ButtonStates{false, false, false, false, true, false}));
}

TEST_F(HostsWindowButtons, ButtonsAskForTheSelectedHost) {
    record();
    shown_.show(window_, {host(1, "main", false, true), host(4, "other", false)});
    window_.selectHost(4);
    for (const char* name : {"addButton", "editButton", "startButton", "startAllButton"})
        button(name)->click();
    shown_.change(window_, host(4, "other", true));
    for (const char* name : {"stopButton", "stopAllButton", "removeButton"})
        button(name)->click();
    window_.selectHost(1);
    button("removeButton")->click(); // disabled: the main host stays
    const std::map<std::string, std::vector<RunId>> expected = {
        {"add", {0}},  {"edit", {4}},    {"start", {4}},  {"startAll", {0}},
        {"stop", {4}}, {"stopAll", {0}}, {"remove", {4}},
    };
    EXPECT_EQ(seen_, expected);
}

TEST_F(HostsWindowButtons, DoubleClickAsksForTheHostsHistory) {
    record();
    shown_.show(window_, {host(1, "main", false, true), host(6, "other", true)});
    window_.show();
    QTableView& table = window_.table();
    const QPoint at = table.visualRect(table.model()->index(1, HostsModel::StatusColumn)).center();
    QWidget* viewport = table.viewport();
    const QPointF global = viewport->mapToGlobal(QPointF(at));
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick,
                              QEvent::MouseButtonRelease}) {
        const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, QPointF(at), global, Qt::LeftButton, held, Qt::NoModifier);
        QApplication::sendEvent(viewport, &event);
    }
    EXPECT_EQ(seen_["history"], std::vector<RunId>{6});
    window_.hide();
}

std::vector<std::string> captions(const QMenu& menu) {
    std::vector<std::string> result;
    for (const QAction* action : menu.actions())
        result.push_back(action->isSeparator() ? "-"
                                               : action->text().toStdString() + (action->isEnabled() ? "" : " (off)"));
    return result;
}

QAction* action(const QMenu& menu, const char* caption) {
    for (QAction* a : menu.actions())
        if (a->text() == QString::fromLatin1(caption))
            return a;
    return nullptr;
}

// The menu offers what fits the host it was opened on, and asks for that host whatever is selected.
TEST_F(HostsWindowButtons, ContextMenuFitsItsHost) {
    record();
    shown_.show(window_, {host(1, "main", true, true), host(2, "other", true), host(3, "idle", false)});
    window_.selectHost(3);

    QMenu mainMenu;
    window_.fillHostMenu(mainMenu, 1);
    EXPECT_EQ(captions(mainMenu), (std::vector<std::string>{"&Edit... (off)", "S&top", "&Remove (off)", "&History"}))
        << "no \"Make main host\" on the main host, and it cannot be removed";

    QMenu runningMenu;
    window_.fillHostMenu(runningMenu, 2);
    EXPECT_EQ(captions(runningMenu),
              (std::vector<std::string>{"&Edit...", "S&top", "&Remove", "&History", "-", "Make &main host"}));
    action(runningMenu, "&Edit...")->trigger();
    action(runningMenu, "Make &main host")->trigger();
    action(runningMenu, "S&top")->trigger();
    action(runningMenu, "&History")->trigger();

    QMenu idleMenu;
    window_.fillHostMenu(idleMenu, 3);
    EXPECT_EQ(captions(idleMenu),
              (std::vector<std::string>{"&Edit...", "&Start", "&Remove", "&History", "-", "Make &main host"}));
    action(idleMenu, "&Edit...")->trigger();
    action(idleMenu, "&Start")->trigger();
    action(idleMenu, "&Remove")->trigger();

    QMenu none;
    window_.fillHostMenu(none, 99);
    EXPECT_TRUE(none.actions().isEmpty());

    const std::map<std::string, std::vector<RunId>> expected = {
        {"main", {2}}, {"stop", {2}}, {"history", {2}}, {"edit", {2, 3}}, {"start", {3}}, {"remove", {3}},
    };
    EXPECT_EQ(seen_, expected);
}

// The size and column widths come from the settings and go back into them when the window hides, announced
// as a change of exactly those two values; values that do not fit are replaced, not trusted.
TEST(HostsWindowLayout, SizeAndColumnsAreKeptInTheSettings) {
    widgetApp();
    AppSettings settings;
    settings.quietly().hostsWindowSize = "700x260";
    settings.quietly().hostsWindowColumns = "200,90,140,70,75,85,150";
    std::vector<SettingsChange> changes;
    QObject::connect(&settings, &AppSettings::changed, [&](const SettingsChange& c) { changes.push_back(c); });
    {
        HostsWindow window(settings);
        EXPECT_EQ(window.windowTitle(), QStringLiteral("Hosts"));
        EXPECT_TRUE(window.isWindow());
        EXPECT_EQ(window.size(), QSize(700, 260));
        EXPECT_EQ(window.table().columnWidth(0), 200);
        EXPECT_EQ(window.table().columnWidth(4), 75);
        window.show();
        window.resize(640, 300);
        window.table().setColumnWidth(1, 133);
        window.hide();
    }
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].fields, (SettingIds{SettingId::HostsWindowSize, SettingId::HostsWindowColumns}));
    EXPECT_FALSE(changes[0].confirmed);
    EXPECT_EQ(settings.value().hostsWindowSize, "640x300");
    EXPECT_EQ(settings.value().hostsWindowColumns.rfind("200,133,140,70,75,", 0), 0u)
        << settings.value().hostsWindowColumns;

    // Shown and hidden again without a change: nothing announced. Going while shown keeps the size too.
    {
        HostsWindow window(settings);
        window.show();
        window.hide();
        EXPECT_EQ(changes.size(), 1u);
        window.show();
        window.resize(660, 290);
    }
    EXPECT_EQ(settings.value().hostsWindowSize, "660x290");

    // Hand edits: a size that is no size, widths that are no widths or absurd, fewer widths than columns.
    settings.quietly().hostsWindowSize = "wide";
    settings.quietly().hostsWindowColumns = "abc,-5,99999,3,,120";
    HostsWindow window(settings);
    EXPECT_EQ(window.size(), QSize(840, 300).boundedTo(QApplication::primaryScreen()->availableSize()));
    const std::vector<int> defaults = {160, 110, 160, 75, 75, 120};
    for (int column = 0; column < 5; ++column)
        EXPECT_EQ(window.table().columnWidth(column), defaults[static_cast<std::size_t>(column)]) << column;
    EXPECT_EQ(window.table().columnWidth(5), 120) << "a good width among bad ones is kept";
    settings.quietly().hostsWindowSize = "90000x90000";
    HostsWindow huge(settings);
    // The main window owns both and may take its settings down first: the window then keeps nothing.
    auto* going = new AppSettings;
    {
        HostsWindow shown(*going);
        shown.show();
        delete going;
    }
    const QSize screen = QApplication::primaryScreen()->availableSize();
    EXPECT_LE(huge.width(), screen.width()) << "bounded by the screen";
    EXPECT_LE(huge.height(), screen.height());
}

TEST(Sparkline, TimeRunsToTheRightEdgeAndLossesBreakTheLine) {
    const QRectF area(10, 0, 100, 20);
    using P = WatchedHost::Point;
    // Probes every second over 2 minutes with a loss in the middle and a stop of 30 s before the last two.
    RecentPoints points;
    for (int i = 0; i <= 60; ++i)
        points.push(P{i * 1000, i == 30 ? std::nullopt : std::optional<std::uint32_t>(1000u + (i % 2) * 1000u)});
    points.push(P{90'000, 500});
    points.push(P{91'000, 2000});
    const Sparkline::Shape drawn = Sparkline::shape(points, area, 1000);

    ASSERT_EQ(drawn.lostX.size(), 1u);
    EXPECT_NEAR(drawn.lostX[0], 10 + 100.0 * 30 / 91, 1e-9);
    ASSERT_EQ(drawn.lines.size(), 3u) << "before the loss, after it, after the pause";
    EXPECT_EQ(drawn.lines[0].size(), 30);
    EXPECT_EQ(drawn.lines[1].size(), 30);
    EXPECT_EQ(drawn.lines[2].size(), 2);
    EXPECT_DOUBLE_EQ(drawn.lines[0].front().x(), 10.0) << "the oldest at the left edge";
    EXPECT_DOUBLE_EQ(drawn.lines[2].back().x(), 110.0) << "the newest at the right edge";
    EXPECT_DOUBLE_EQ(drawn.lines[2].back().y(), 0.0) << "the tallest round trip reaches the top";
    EXPECT_DOUBLE_EQ(drawn.lines[2].front().y(), 15.0) << "a quarter of it a quarter up";

    // A run's first probes: not spread over the whole cell, and one point still shows.
    const Sparkline::Shape young = Sparkline::shape({P{0, 100}, P{5000, std::nullopt}}, area, 1000);
    ASSERT_EQ(young.lines.size(), 1u);
    EXPECT_EQ(young.lines[0].size(), 1);
    EXPECT_NEAR(young.lines[0][0].x(), 110 - 100.0 * 5 / 60, 1e-9);
    EXPECT_DOUBLE_EQ(young.lostX.at(0), 110.0);

    const Sparkline::Shape allLost = Sparkline::shape({P{0, std::nullopt}, P{1000, std::nullopt}}, area, 1000);
    EXPECT_TRUE(allLost.lines.empty());
    EXPECT_EQ(allLost.lostX.size(), 2u);
    EXPECT_TRUE(Sparkline::shape({}, area, 1000).lines.empty());
    // A long interval: points a few seconds apart are one stretch.
    EXPECT_EQ(Sparkline::shape({P{0, 1}, P{20'000, 2}, P{40'000, 3}}, area, 10'000).lines.size(), 1u);
}

// A watched host's dialog shows exactly the fields each host has its own value of.
TEST(OptionsDialogHostMode, HidesExactlyTheProgramWideFields) {
    widgetApp();
    Settings settings;
    settings.host = "gw";
    settings.recentList = "gw\r\nold\r\n";
    settings.historyDays = 7;
    settings.notify = false;
    settings.autostart = true;
    OptionsDialog dialog(nullptr, settings);
    const QSize full = dialog.size(); // as drawn, scaled for the font
    dialog.setHostMode(true);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Host Options"));

    int programControls = 0;
    for (const SettingsField& field : settingsFields()) {
        SCOPED_TRACE(field.key);
        for (QWidget* control : dialog.controlsOf(field.id)) {
            SCOPED_TRACE(control->objectName().toStdString());
            const bool hostField = field.scope == SettingsScope::Host;
            EXPECT_EQ(control->isHidden(), !hostField);
            programControls += hostField ? 0 : 1;
        }
    }
    EXPECT_EQ(programControls, 5) << "the clear button, history days and its label, the two desktop boxes";
    EXPECT_TRUE(dialog.findChild<QGroupBox*>(QStringLiteral("desktopGroup"))->isHidden()) << "an empty group goes";
    EXPECT_FALSE(dialog.findChild<QGroupBox*>(QStringLiteral("parametersGroup"))->isHidden());

    // Every control of the dialog belongs to a field, so none can slip through the table unjudged.
    std::vector<QWidget*> known;
    for (const SettingsField& field : settingsFields())
        for (QWidget* control : dialog.controlsOf(field.id))
            known.push_back(control);
    for (QTabWidget* tabs : dialog.findChildren<QTabWidget*>())
        for (int page = 0; page < tabs->count(); ++page)
            for (QGroupBox* group : tabs->widget(page)->findChildren<QGroupBox*>())
                for (QWidget* child : group->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                    if (child->inherits("QFrame") && !child->inherits("QLabel"))
                        continue; // the separators
                    EXPECT_NE(std::find(known.begin(), known.end(), child), known.end())
                        << child->objectName().toStdString() << " belongs to no field";
                }

    // The host box takes the clear button's room; the dialog is no larger than the full one and fits its pages.
    const QWidget* address = dialog.findChild<QWidget*>(QStringLiteral("addressEdit"));
    const QWidget* clear = dialog.findChild<QWidget*>(QStringLiteral("clearRecentButton"));
    EXPECT_EQ(address->geometry().right(), clear->geometry().right());
    EXPECT_LE(dialog.height(), full.height());
    EXPECT_EQ(dialog.width(), full.width());
    const QWidget* pages = dialog.findChild<QWidget*>(QStringLiteral("pages"));
    for (const QWidget* button : {dialog.findChild<QWidget*>(QStringLiteral("okButton")),
                                  dialog.findChild<QWidget*>(QStringLiteral("cancelButton"))}) {
        EXPECT_GT(button->y(), pages->geometry().bottom());
        EXPECT_LE(button->geometry().bottom(), dialog.height());
    }

    // The hidden controls still hold the program's values; even changed, they never leave a host's dialog.
    dialog.findChild<QAbstractButton*>(QStringLiteral("notifyCheck"))->setChecked(true);
    dialog.findChild<QLineEdit*>(QStringLiteral("historyDaysEdit"))->setText(QStringLiteral("99"));
    dialog.findChild<QLineEdit*>(QStringLiteral("bufferEdit"))->setText(QStringLiteral("64"));
    dialog.findChild<QComboBox*>(QStringLiteral("addressEdit"))->setEditText(QStringLiteral("new.host"));
    const Settings edited = dialog.edited();
    EXPECT_EQ(edited.buffer, 64);
    EXPECT_EQ(edited.host, "new.host");
    EXPECT_EQ(edited.recentList, settings.recentList) << "a host's dialog adds nothing to the recent list";
    EXPECT_EQ(edited.historyDays, 7);
    EXPECT_FALSE(edited.notify);
    EXPECT_TRUE(edited.autostart);

    // And back: the full dialog as it always was.
    dialog.setHostMode(false);
    EXPECT_EQ(dialog.size(), full);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Options"));
    EXPECT_EQ(address->geometry().right() + 1, clear->x());
    for (const SettingsField& field : settingsFields())
        for (QWidget* control : dialog.controlsOf(field.id))
            EXPECT_FALSE(control->isHidden()) << control->objectName().toStdString();
    EXPECT_EQ(dialog.edited().historyDays, 99);
    EXPECT_EQ(dialog.edited().recentList, "gw\r\nold\r\nnew.host\r\n");
}

} // namespace
