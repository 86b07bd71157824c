#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
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
                    EXPECT_LE(label->sizeHint().width(), label->width()) << name(label) << ": " << label->text().toStdString();
                    EXPECT_LE(label->fontMetrics().height(), label->height()) << name(label);
                } else if (auto* push = qobject_cast<QPushButton*>(child)) {
                    EXPECT_LE(push->fontMetrics().horizontalAdvance(push->text()) + 6, push->width()) << name(push);
                } else if (auto* button = qobject_cast<QAbstractButton*>(child)) {
                    // Check boxes and radio buttons need room for the indicator as well.
                    EXPECT_LE(button->sizeHint().width(), button->width()) << name(button);
                    EXPECT_LE(button->fontMetrics().height(), button->height()) << name(button);
                } else if (qobject_cast<QLineEdit*>(child) != nullptr || qobject_cast<QComboBox*>(child) != nullptr) {
                    EXPECT_LE(child->fontMetrics().height() + 4, child->height()) << name(child) << " cuts its text";
                }
            }
            // Fields drawn side by side stay apart: two placeholders on one line never run into each other.
            for (std::size_t i = 0; i < shown.size(); ++i)
                for (std::size_t j = i + 1; j < shown.size(); ++j)
                    if (qobject_cast<QLabel*>(shown[i]) != nullptr && qobject_cast<QLabel*>(shown[j]) != nullptr)
                        EXPECT_FALSE(shown[i]->geometry().intersects(shown[j]->geometry()))
                            << name(shown[i]) << " overlaps " << name(shown[j]);
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

TEST_F(OptionsDialogLayoutTest, TheDrawnSizeHoldsWhereTheDrawingFitsAndTheFormFollowsAFontChange) {
    QApplication::setFont(ApplicationFont::designFont());
    if (QFontInfo(ApplicationFont::designFont()).family() != QStringLiteral("Tahoma"))
        GTEST_SKIP() << "the form is drawn for Tahoma (fonts-wine)";
    OptionsDialog dlg(nullptr, filled());
    dlg.show();
    EXPECT_EQ(dlg.size(), QSize(321, 415));
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Options"));
    dlg.setHostMode(true);
    const QSize hostSize = dlg.size();
    EXPECT_EQ(hostSize.width(), 321);
    EXPECT_LT(hostSize.height(), 415) << "the program-wide rows are gone";

    // The desktop's font changes while the dialog is open: it grows, in host mode still.
    QFont large(QStringLiteral("DejaVu Sans"));
    large.setPointSize(14);
    QApplication::setFont(large);
    QApplication::processEvents();
    EXPECT_GT(dlg.width(), hostSize.width());
    EXPECT_GT(dlg.height(), hostSize.height());
    expectNothingCut(dlg);
    dlg.setHostMode(false);
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
            const QString file = QStringLiteral("%1-page%2.png").arg(hostMode ? "host-options" : "options").arg(page + 1);
            EXPECT_TRUE(dlg.grab().save(QDir(dir).filePath(file)));
        }
    }
}

} // namespace
