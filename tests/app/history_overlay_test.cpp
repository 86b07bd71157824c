#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include <QAction>
#include <QDir>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QPalette>
#include <QToolButton>

#include "AppTestSupport.h"
#include "app/history/HistoryWindow.h"
#include "app/history/LatencyGraph.h"
#include "app/history/OverlayChooser.h"
#include "history/HistoryLedger.h"

// The History window's Overlay menu: hosts in natural order, ticks that leave the menu open, a filterable
// list in its place past twenty hosts, and the choice kept for the next opening.

namespace {

constexpr std::int64_t kNow = 1'796'684'400'000; // 2026-12-07 23:00 UTC
const QString kMain = QStringLiteral("watch.test");

class HistoryOverlay : public ::testing::Test {
protected:
    void SetUp() override {
        TestApp();
        HistoryWindow::keepOverlayIn(&kept_);
    }
    void TearDown() override { HistoryWindow::keepOverlayIn(nullptr); }

    // A ledger holding the main host and these, one reply each a minute ago.
    void record(const QStringList& hosts) {
        HistoryOptions options;
        options.path = dir_.file("history.sqlite");
        options.days = 30;
        options.clock = [] { return kNow; };
        ledger_ = std::make_shared<HistoryLedger>(std::move(options));
        std::int64_t at = kNow - 60'000;
        for (const QString& host : QStringList{kMain} + hosts)
            ledger_->record({at++, host.toStdString(), "127.0.0.1", 300, 0, 64, 3});
        ASSERT_TRUE(ledger_->flush(std::chrono::seconds(30)));
    }

    std::unique_ptr<HistoryWindow> open() {
        auto window = std::make_unique<HistoryWindow>(ledger_, kMain, nullptr, [] { return kNow; });
        window->show();
        return window;
    }

    static QMenu* menuOf(const HistoryWindow& window) {
        return window.findChild<QToolButton*>(QStringLiteral("overlayButton"))->menu();
    }
    static QAction* entry(QMenu* menu, const QString& host) {
        for (QAction* action : menu->actions())
            if (action->data().toString() == host)
                return action;
        return nullptr;
    }

    TempDir dir_;
    std::shared_ptr<HistoryLedger> ledger_;
    std::string kept_;
};

TEST_F(HistoryOverlay, TicksLeaveTheMenuOpenInNaturalOrderAndTheChoiceIsKept) {
    record({QStringLiteral("127.0.1.10"), QStringLiteral("127.0.1.2"), QStringLiteral("Beta.test"),
            QStringLiteral("127.0.1.1"), QStringLiteral("alpha.test")});
    auto window = open();
    const QStringList natural{kMain,
                              QStringLiteral("127.0.1.1"),
                              QStringLiteral("127.0.1.2"),
                              QStringLiteral("127.0.1.10"),
                              QStringLiteral("alpha.test"),
                              QStringLiteral("Beta.test")};
    EXPECT_EQ(window->hosts(), natural);
    QMenu* menu = menuOf(*window);
    QStringList listed;
    for (QAction* action : menu->actions())
        listed << action->data().toString();
    EXPECT_EQ(listed, natural);

    menu->popup(window->mapToGlobal(QPoint(0, 0)));
    ASSERT_TRUE(waitFor([menu] { return menu->isVisible(); }));
    // A click on an entry, as the user gives it.
    QAction* two = entry(menu, QStringLiteral("127.0.1.2"));
    const QPointF at = menu->actionGeometry(two).center();
    QMouseEvent press(QEvent::MouseButtonPress, at, menu->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, menu->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(menu, &press);
    QApplication::sendEvent(menu, &release);
    EXPECT_TRUE(two->isChecked());
    // The keyboard's way, on the next entry.
    menu->setActiveAction(entry(menu, QStringLiteral("127.0.1.10")));
    QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
    QApplication::sendEvent(menu, &space);
    spin(std::chrono::milliseconds(50));
    EXPECT_TRUE(menu->isVisible()) << "still open for the next tick";
    EXPECT_EQ(window->overlayHosts(), (QStringList{QStringLiteral("127.0.1.2"), QStringLiteral("127.0.1.10")}));
    EXPECT_EQ(window->findChild<LatencyGraph*>(QStringLiteral("graph"))->overlays().size(), 2u);
    menu->hide();
    EXPECT_EQ(kept_, "127.0.1.2,127.0.1.10");

    // The next opening (the next start) draws them again, ticked.
    window.reset();
    window = open();
    EXPECT_EQ(window->overlayHosts(), (QStringList{QStringLiteral("127.0.1.2"), QStringLiteral("127.0.1.10")}));
    EXPECT_TRUE(entry(menuOf(*window), QStringLiteral("127.0.1.10"))->isChecked());
    // None ticked stays none, rather than giving way to what was kept before.
    window->setOverlayHosts({});
    EXPECT_FALSE(kept_.empty());
    window.reset();
    window = open();
    EXPECT_TRUE(window->overlayHosts().isEmpty());
    // A hand edit with blanks and repeats reads as the hosts it names.
    kept_ = " 127.0.1.1 ,,127.0.1.1,gone.test";
    window.reset();
    window = open();
    EXPECT_EQ(window->overlayHosts(), (QStringList{QStringLiteral("127.0.1.1"), QStringLiteral("gone.test")}));
    EXPECT_EQ(window->findChild<LatencyGraph*>(QStringLiteral("graph"))->overlays().size(), 1u);
}

// 51 hosts: a filter box over a list of ticks, not a menu as high as the screen. With OSTREVO_SHOT_DIR set, the
// list is written there as a picture, in the light and in a dark palette.
TEST_F(HistoryOverlay, PastTwentyHostsAFilterableListTakesTheMenusPlace) {
    QStringList many;
    for (int i = 51; i >= 1; --i)
        many << QStringLiteral("127.0.1.%1").arg(i);
    record(many);
    auto window = open();
    QMenu* menu = menuOf(*window);
    ASSERT_EQ(menu->actions().size(), 1) << "one entry: the list";
    auto* chooser = window->findChild<OverlayChooser*>(QStringLiteral("overlayChooser"));
    ASSERT_NE(chooser, nullptr);
    QListWidget* list = chooser->list();
    ASSERT_EQ(list->count(), 52);
    EXPECT_EQ(list->item(0)->text(), kMain);
    EXPECT_EQ(list->item(1)->text(), QStringLiteral("127.0.1.1"));
    EXPECT_EQ(list->item(2)->text(), QStringLiteral("127.0.1.2"));
    EXPECT_EQ(list->item(51)->text(), QStringLiteral("127.0.1.51"));
    EXPECT_FALSE(list->item(0)->flags() & Qt::ItemIsEnabled) << "the shown host is not overlaid on itself";

    menu->popup(window->mapToGlobal(QPoint(0, 0)));
    ASSERT_TRUE(waitFor([menu] { return menu->isVisible(); }));
    EXPECT_LT(menu->height(), 600) << "not screen-high";
    chooser->filterBox()->setText(QStringLiteral("127.0.1.1"));
    int shown = 0;
    for (int row = 0; row < list->count(); ++row)
        shown += list->item(row)->isHidden() ? 0 : 1;
    EXPECT_EQ(shown, 11) << "127.0.1.1 and 127.0.1.10 to .19";
    list->item(13)->setCheckState(Qt::Checked);
    list->item(2)->setCheckState(Qt::Checked);
    EXPECT_TRUE(menu->isVisible());
    EXPECT_EQ(window->overlayHosts(), (QStringList{QStringLiteral("127.0.1.13"), QStringLiteral("127.0.1.2")}));
    list->item(13)->setCheckState(Qt::Unchecked);
    EXPECT_EQ(window->overlayHosts(), QStringList{QStringLiteral("127.0.1.2")});
    EXPECT_EQ(kept_, "127.0.1.2");

    const QString dir = qEnvironmentVariable("OSTREVO_SHOT_DIR");
    if (!dir.isEmpty()) {
        chooser->filterBox()->clear();
        spin(std::chrono::milliseconds(100));
        EXPECT_TRUE(menu->grab().save(QDir(dir).filePath(QStringLiteral("history-overlay-51.png"))));
        const QPalette before = QApplication::palette();
        QApplication::setPalette(darkPalette());
        spin(std::chrono::milliseconds(100));
        EXPECT_TRUE(menu->grab().save(QDir(dir).filePath(QStringLiteral("history-overlay-51-dark.png"))));
        EXPECT_TRUE(window->grab().save(QDir(dir).filePath(QStringLiteral("history-window-dark.png"))));
        QApplication::setPalette(before);
    }
    menu->hide();
}

} // namespace
