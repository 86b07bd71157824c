#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>

#include "app/common/ApplicationFont.h"
#include "app/options/OptionsDialog.h"
#include "settings/Settings.h"
#include "support/WidgetApp.h"

// The dialogs are drawn in pixels for an 11-pixel face and take the desktop's font, as the program gives it
// them: the application's font, which the program leaves as the desktop set it. A caption that grew with
// that font, a group that slipped under the tab bar or two placeholders drawn over each other would be cut
// off silently. Run once as the desktop shows it and once at twice the scale (QT_SCALE_FACTOR=2).
namespace {

std::string name(const QWidget* w) {
    return w->objectName().toStdString();
}

struct DesktopFont {
    const char* name;
    QFont font;
};

std::vector<DesktopFont> desktopFonts() {
    QFont small(QStringLiteral("DejaVu Sans"));
    small.setPointSize(10);
    QFont large(QStringLiteral("DejaVu Sans"));
    large.setPointSize(14);
    return {{"DejaVu Sans 10", small}, {"DejaVu Sans 14", large}, {"the design font", ApplicationFont::designFont()}};
}

class OptionsDialogLayoutTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { widgetApp(); }
    void TearDown() override { QApplication::setFont(QFont()); }

    static Settings filled() {
        Settings settings;
        settings.host = "gateway.example";
        settings.recentList = "gateway.example\r\n127.0.0.1\r\n";
        settings.logLevel = LogLevel::StatusChanges;
        settings.logFileName = "/home/user/ostrevo.log";
        settings.appParams = "--host %address% --status %status%";
        return settings;
    }
};

// Where a label draws its text, in its parent's coordinates.
QRect textArea(const QLabel* label) {
    const QSize text(label->fontMetrics().horizontalAdvance(label->text()), label->fontMetrics().height());
    return QStyle::alignedRect(label->layoutDirection(), label->alignment(), text, label->contentsRect())
        .translated(label->pos());
}

// Every shown caption, button text, group title and group of both pages fits, at every font.
void expectNothingCut(OptionsDialog& dlg) {
    QTabWidget* tabs = dlg.findChild<QTabWidget*>(QStringLiteral("pages"));
    EXPECT_TRUE(dlg.rect().contains(tabs->geometry()));
    for (QPushButton* button : {dlg.findChild<QPushButton*>(QStringLiteral("okButton")),
                                dlg.findChild<QPushButton*>(QStringLiteral("cancelButton"))}) {
        EXPECT_TRUE(dlg.rect().contains(button->geometry())) << name(button);
        EXPECT_GE(button->y(), tabs->geometry().bottom()) << name(button) << " over the pages";
    }
    for (int page = 0; page < tabs->count(); ++page) {
        tabs->setCurrentIndex(page);
        QApplication::processEvents();
        QWidget* sheet = tabs->widget(page);
        EXPECT_GE(sheet->mapTo(tabs, QPoint(0, 0)).y(), tabs->tabBar()->geometry().bottom()) << "page under tabs";
        for (QGroupBox* group : sheet->findChildren<QGroupBox*>(Qt::FindDirectChildrenOnly)) {
            if (group->isHidden())
                continue;
            EXPECT_TRUE(sheet->rect().contains(group->geometry())) << name(group) << " clipped by its page";
            const QFontMetrics metrics = group->fontMetrics();
            EXPECT_LE(metrics.horizontalAdvance(group->title()), group->width()) << name(group);
            std::vector<QWidget*> shown;
            for (QWidget* child : group->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                if (!child->isHidden())
                    shown.push_back(child);
            for (QWidget* child : shown) {
                EXPECT_TRUE(group->rect().contains(child->geometry())) << name(child) << " outside " << name(group);
                EXPECT_GE(child->y(), metrics.height()) << name(child) << " under the title of " << name(group);
                if (auto* label = qobject_cast<QLabel*>(child)) {
                    EXPECT_LE(label->sizeHint().width(), label->width())
                        << name(label) << ": " << label->text().toStdString();
                    EXPECT_LE(label->fontMetrics().height(), label->height()) << name(label);
                } else if (auto* push = qobject_cast<QPushButton*>(child)) {
                    EXPECT_LE(push->fontMetrics().horizontalAdvance(push->text()) + 6, push->width()) << name(push);
                } else if (auto* button = qobject_cast<QAbstractButton*>(child)) {
                    // Check boxes and radio buttons need room for the indicator as well.
                    EXPECT_LE(button->sizeHint().width(), button->width()) << name(button);
                    EXPECT_LE(button->fontMetrics().height(), button->height()) << name(button);
                } else if (auto* spin = qobject_cast<QAbstractSpinBox*>(child)) {
                    // The widest value of the range beside the arrows.
                    EXPECT_LE(spin->minimumSizeHint().width(), spin->width()) << name(spin);
                    EXPECT_LE(spin->fontMetrics().height() + 4, spin->height()) << name(spin) << " cuts its text";
                } else if (qobject_cast<QLineEdit*>(child) != nullptr || qobject_cast<QComboBox*>(child) != nullptr) {
                    EXPECT_LE(child->fontMetrics().height() + 4, child->height()) << name(child) << " cuts its text";
                }
            }
            // Fields drawn side by side stay apart: two placeholders on one line never run into each other.
            for (std::size_t i = 0; i < shown.size(); ++i) {
                for (std::size_t j = i + 1; j < shown.size(); ++j) {
                    auto* a = qobject_cast<QLabel*>(shown[i]);
                    auto* b = qobject_cast<QLabel*>(shown[j]);
                    if (a != nullptr && b != nullptr) {
                        EXPECT_FALSE(textArea(a).intersects(textArea(b))) << name(a) << " overlaps " << name(b);
                    }
                }
            }
        }
    }
    auto* levelText = dlg.findChild<QLabel*>(QStringLiteral("logLevelText"));
    auto* slider = dlg.findChild<QSlider*>(QStringLiteral("logLevelSlider"));
    if (!levelText->isHidden()) {
        for (int level = 0; level <= 2; ++level) {
            slider->setValue(level);
            EXPECT_LE(levelText->sizeHint().width(), levelText->width()) << levelText->text().toStdString();
            EXPECT_LE(levelText->geometry().right(),
                      dlg.findChild<QCheckBox*>(QStringLiteral("logAppendCheck"))->geometry().left())
                << "level name overlaps";
        }
    }
}

TEST_F(OptionsDialogLayoutTest, BothDialogsFitEveryCaptionAtTheDesktopsFont) {
    for (const DesktopFont& desktop : desktopFonts()) {
        QApplication::setFont(desktop.font);
        for (const bool hostMode : {false, true}) {
            SCOPED_TRACE(std::string(desktop.name) + (hostMode ? ", Host Options" : ", Options"));
            OptionsDialog dlg(nullptr, filled());
            if (hostMode)
                dlg.setHostMode(true);
            dlg.show();
            QApplication::processEvents();
            expectNothingCut(dlg);
            EXPECT_EQ(dlg.minimumSize(), dlg.maximumSize()) << "the window is sized to its form";
        }
    }
}

// Host mode drops the rows of the program-wide fields and keeps the width; a change of the desktop's font
// while the dialog is open fits it again, in either mode.
TEST_F(OptionsDialogLayoutTest, HostModeAndAFontChangeFitTheFormAgain) {
    QApplication::setFont(ApplicationFont::designFont());
    OptionsDialog dlg(nullptr, filled());
    dlg.show();
    const QSize full = dlg.size();
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Options"));
    dlg.setHostMode(true);
    const QSize hostSize = dlg.size();
    EXPECT_EQ(hostSize.width(), full.width());
    EXPECT_LE(hostSize.height(), full.height());

    QFont large(QStringLiteral("DejaVu Sans"));
    large.setPointSize(14);
    QApplication::setFont(large);
    // A running QApplication tells every widget of the change, in no set order; without its loop it is ours to.
    QEvent changed(QEvent::ApplicationFontChange);
    QApplication::sendEvent(&dlg, &changed);
    for (QWidget* widget : QApplication::allWidgets())
        QApplication::sendEvent(widget, &changed);
    QApplication::processEvents();
    EXPECT_GT(dlg.width(), hostSize.width());
    EXPECT_GT(dlg.height(), hostSize.height());
    expectNothingCut(dlg);
    dlg.setHostMode(false);
    EXPECT_GT(dlg.height(), full.height());
    expectNothingCut(dlg);
}

// Not a check: with OSTREVO_SHOT_DIR set (and a real display for a window frame), writes both pages of both
// dialogs at the font the desktop gives (OSTREVO_SHOT_FONT "Family,points" to choose one).
TEST_F(OptionsDialogLayoutTest, Screenshots) {
    QString dir = qEnvironmentVariable("OSTREVO_SHOT_DIR");
    if (dir.isEmpty())
        GTEST_SKIP() << "set OSTREVO_SHOT_DIR to write screenshots";
    const QStringList font = qEnvironmentVariable("OSTREVO_SHOT_FONT").split(QLatin1Char(','));
    if (font.size() == 2)
        QApplication::setFont(QFont(font[0], font[1].toInt()));
    for (const bool hostMode : {false, true}) {
        OptionsDialog dlg(nullptr, filled());
        if (hostMode)
            dlg.setHostMode(true);
        dlg.show();
        for (int page = 0; page < 2; ++page) {
            dlg.findChild<QTabWidget*>(QStringLiteral("pages"))->setCurrentIndex(page);
            QApplication::processEvents();
            const QString file = QStringLiteral("%1-page%2.png")
                                     .arg(hostMode ? QStringLiteral("host-options") : QStringLiteral("options"))
                                     .arg(page + 1);
            EXPECT_TRUE(dlg.grab().save(QDir(dir).filePath(file)));
        }
    }
}

} // namespace
