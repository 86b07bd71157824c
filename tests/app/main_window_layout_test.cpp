// The main window with whatever font the desktop gives: the form keeps its arrangement and grows so that no
// caption or button text is cut, and a probe repaints only the fields whose text it changed. ctest also runs
// this program with QT_SCALE_FACTOR=2 (app_main_window_layout_test_scale2).
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPalette>
#include <QPushButton>

#include "app/AppRoot.h"
#include "app/MainWindow.h"
#include "app/common/ApplicationFont.h"
#include "app/desktop/TrayController.h"
#include "support/RecordingMessagePort.h"
#include "support/ScriptedHostResolver.h"
#include "support/ScriptedHubSocket.h"
#include "support/TempDir.h"
#include "tests/app/AppTestSupport.h"

namespace {

const char* const kValueFields[] = {"hostValue", "statusValue", "totalValue", "lostValue",
                                    "minValue",  "maxValue",    "avgValue"};

bool isValueField(const QWidget* w) {
    for (const char* name : kValueFields)
        if (w->objectName() == QLatin1String(name))
            return true;
    return false;
}

std::string name(const QWidget* w) {
    return w->objectName().toStdString();
}

class MainWindowLayoutTest : public ::testing::Test {
protected:
    void SetUp() override { TestApp(); }
    void TearDown() override {
        root.reset();
        QApplication::setFont(ApplicationFont::designFont());
    }

    MainWindow& make(std::vector<std::string> args = {}) {
        AppRoot::Services services;
        services.arguments = std::move(args);
        services.resolver = std::make_shared<ScriptedHostResolver>();
        channel_ = std::make_unique<ScriptedNetwork>();
        services.sockets = channel_->opener();
        services.messages = std::make_unique<RecordingMessagePort>();
        services.watchSignals = false;
        services.historyPath = historyDir.file("history.sqlite");
        root = std::make_unique<AppRoot>(std::move(services));
        return root->mainWindow();
    }

    // Every text fits where it is shown, and the drawn rows and columns are still rows and columns.
    static void expectNothingCut(const MainWindow& window, const std::string& font) {
        auto* group = window.findChild<QGroupBox*>(QStringLiteral("statisticsGroup"));
        ASSERT_NE(group, nullptr);
        EXPECT_TRUE(window.rect().contains(group->geometry())) << font;
        for (QLabel* label : group->findChildren<QLabel*>()) {
            EXPECT_TRUE(group->contentsRect().contains(label->geometry()) || group->rect().contains(label->geometry()))
                << name(label) << " outside the group with " << font;
            if (isValueField(label)) {
                EXPECT_GE(label->height(), label->fontMetrics().height() + 2 * label->frameWidth())
                    << name(label) << " with " << font;
            } else {
                EXPECT_GE(label->width(), label->sizeHint().width()) << name(label) << " cut with " << font;
                EXPECT_GE(label->height(), label->sizeHint().height()) << name(label) << " cut with " << font;
            }
            for (QLabel* other : group->findChildren<QLabel*>()) {
                if (other != label) {
                    EXPECT_FALSE(label->geometry().intersects(other->geometry()))
                        << name(label) << " overlaps " << name(other) << " with " << font;
                }
            }
        }
        for (QPushButton* button : window.findChildren<QPushButton*>()) {
            QString caption = button->text();
            caption.remove(QLatin1Char('&'));
            EXPECT_GT(button->width(), QFontMetrics(button->font()).horizontalAdvance(caption))
                << name(button) << " with " << font;
            EXPECT_GT(button->height(), button->fontMetrics().height()) << name(button) << " with " << font;
            EXPECT_GE(button->y(), group->geometry().bottom()) << name(button) << " with " << font;
            EXPECT_TRUE(window.rect().contains(button->geometry())) << name(button) << " with " << font;
        }
        // Rows as drawn: each caption on the line of its field, fields of a row left to right.
        const std::vector<std::vector<const char*>> rows = {
            {"hostLabel", "hostValue"},
            {"statusLabel", "statusValue"},
            {"totalLabel", "totalValue", "lostLabel", "lostValue"},
            {"minLabel", "minValue", "maxLabel", "maxValue", "avgLabel", "avgValue"}};
        int previousRowTop = -1;
        for (const auto& row : rows) {
            const QWidget* first = group->findChild<QWidget*>(QLatin1String(row.front()));
            ASSERT_NE(first, nullptr) << row.front();
            EXPECT_GT(first->y(), previousRowTop) << row.front() << " with " << font;
            previousRowTop = first->y();
            int previousRight = -1;
            for (const char* member : row) {
                const QWidget* w = group->findChild<QWidget*>(QLatin1String(member));
                ASSERT_NE(w, nullptr) << member;
                EXPECT_EQ(w->y(), first->y()) << member << " left its row with " << font;
                EXPECT_GT(w->x(), previousRight) << member << " with " << font;
                previousRight = w->geometry().right();
            }
        }
    }

    TempDir historyDir;
    std::unique_ptr<ScriptedNetwork> channel_;
    std::unique_ptr<AppRoot> root;
};

TEST_F(MainWindowLayoutTest, TheDrawnFontGivesTheDrawnSize) {
    QApplication::setFont(ApplicationFont::designFont());
    MainWindow& window = make();
    const qreal scale = window.devicePixelRatioF();
    // Geometry is in device-independent pixels: a scaled desktop keeps the drawn size.
    EXPECT_EQ(window.size(), QSize(385, 150)) << "at scale " << scale;
    expectNothingCut(window, "the drawn font");
}

// The desktop's font, from the one the issue reports cut ("Statu", "Min tim") to large ones, given before the
// window is made and changed while it is shown.
TEST_F(MainWindowLayoutTest, TheFormGrowsWithTheDesktopFontInsteadOfClipping) {
    struct Case {
        const char* family;
        int points;
        int pixels;
        bool bold;
    };
    const Case cases[] = {{"DejaVu Sans", 10, 0, false}, {"DejaVu Sans", 0, 13, false},
                          {"DejaVu Sans", 14, 0, false}, {"DejaVu Serif", 12, 0, true},
                          {"DejaVu Sans", 0, 30, false}, {"DejaVu Sans Mono", 9, 0, false}};
    for (const Case& c : cases) {
        QFont font(QString::fromLatin1(c.family));
        if (c.points > 0)
            font.setPointSize(c.points);
        else
            font.setPixelSize(c.pixels);
        font.setBold(c.bold);
        const std::string label = std::string(c.family) + " " + std::to_string(c.points ? c.points : c.pixels) +
                                  (c.points ? " pt" : " px") + (c.bold ? " bold" : "");
        QApplication::setFont(font);
        MainWindow& made = make();
        made.show();
        expectNothingCut(made, label + " (at start)");
        EXPECT_GE(made.width(), 385) << label;
        EXPECT_GE(made.height(), 150) << label;
        const QSize atStart = made.size();

        // The same font reaching a window already shown (the user changes the desktop's font).
        root.reset();
        QApplication::setFont(ApplicationFont::designFont());
        MainWindow& live = make();
        live.show();
        QApplication::setFont(font);
        QApplication::processEvents();
        expectNothingCut(live, label + " (changed live)");
        EXPECT_EQ(live.size(), atStart) << label;
    }
    // Back to the drawn font, back to the drawn size.
    QApplication::setFont(ApplicationFont::designFont());
    QApplication::processEvents();
    EXPECT_EQ(root->mainWindow().size(), QSize(385, 150));
}

// With OSTREVO_SHOT_DIR set, pictures of the window to look at: the drawn font, a desktop font, and a dark
// palette, each at the scale the run was started with.
TEST_F(MainWindowLayoutTest, PicturesForALook) {
    const QString dir = qEnvironmentVariable("OSTREVO_SHOT_DIR");
    if (dir.isEmpty())
        GTEST_SKIP() << "OSTREVO_SHOT_DIR is not set";
    const QString scale = qEnvironmentVariable("QT_SCALE_FACTOR", QStringLiteral("1"));
    const QPalette dark = darkPalette();
    const QPalette light = QApplication::palette();
    QFont desktop(QStringLiteral("DejaVu Sans"));
    desktop.setPointSize(10);
    const struct {
        const char* name;
        QFont font;
        bool dark;
    } shots[] = {{"drawn", ApplicationFont::designFont(), false},
                 {"dejavu10", desktop, false},
                 {"dejavu10-dark", desktop, true}};
    for (const auto& shot : shots) {
        QApplication::setFont(shot.font);
        QApplication::setPalette(shot.dark ? dark : light);
        MainWindow& window = make({"/i=1", "gateway.example.lan"});
        window.findChild<QLabel*>(QStringLiteral("statusValue"))
            ->setText(QStringLiteral("Replay from 192.0.2.1: bytes=32 time=14ms TTL=64"));
        window.findChild<QLabel*>(QStringLiteral("lostValue"))->setText(QStringLiteral("3 (38%)"));
        window.show();
        QApplication::processEvents();
        const QString file = QStringLiteral("%1/main-%2-x%3.png").arg(dir, QLatin1String(shot.name), scale);
        EXPECT_TRUE(window.grab().save(file)) << file.toStdString();
    }
    QApplication::setPalette(light);
}

// What a probe costs the window: the fields whose text changed are repainted, nothing else is, and the form is
// never laid out again (its fields have a fixed size).
TEST_F(MainWindowLayoutTest, AProbeRepaintsOnlyTheFieldsItChanged) {
    MainWindow& window = make({"/i=1", "127.0.0.1"});
    window.show();
    channel_->push({EchoOutcome::good(3), EchoOutcome::good(3), EchoOutcome::good(3)});

    struct Counter : QObject {
        std::map<QObject*, int> paints, layouts;
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::Paint)
                ++paints[watched];
            else if (event->type() == QEvent::LayoutRequest)
                ++layouts[watched];
            return false;
        }
    } counter;
    auto* group = window.findChild<QGroupBox*>(QStringLiteral("statisticsGroup"));
    std::vector<QWidget*> watched{&window, group};
    for (QLabel* label : window.findChildren<QLabel*>())
        watched.push_back(label);
    for (QWidget* w : watched)
        w->installEventFilter(&counter);

    auto* total = window.findChild<QLabel*>(QStringLiteral("totalValue"));
    window.findChild<QPushButton*>(QStringLiteral("startButton"))->click();
    ASSERT_TRUE(waitFor([&] { return total->text() == QStringLiteral("1"); }));
    spin(std::chrono::milliseconds(200)); // the first probe's repaints are done
    counter.paints.clear();
    counter.layouts.clear();
    ASSERT_TRUE(waitFor([&] { return total->text() == QStringLiteral("2"); }));
    spin(std::chrono::milliseconds(200));

    // The second probe is the first again but for the request count.
    EXPECT_GE(counter.paints[total], 1);
    for (QWidget* w : watched) {
        if (w != total) {
            EXPECT_EQ(counter.paints[w], 0) << name(w) << " repainted";
        }
        EXPECT_EQ(counter.layouts[w], 0) << name(w) << " laid out again";
    }
    // The tray's tip follows the same probes, whether or not its icon is shown.
    const QString tip = window.tray().toolTip();
    EXPECT_TRUE(tip.startsWith(QStringLiteral("127.0.0.1 - "))) << tip.toStdString();
    EXPECT_TRUE(tip.endsWith(QStringLiteral(" - 3.0 ms - 0 % lost"))) << tip.toStdString();
    window.findChild<QPushButton*>(QStringLiteral("startButton"))->click();
    EXPECT_TRUE(waitFor([&] { return window.findChild<QPushButton*>(QStringLiteral("optionsButton"))->isEnabled(); }));
    EXPECT_EQ(window.tray().toolTip(), QStringLiteral("127.0.0.1 - not monitoring"));
}

} // namespace
