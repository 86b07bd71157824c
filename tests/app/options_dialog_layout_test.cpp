#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>

#include "app/common/ApplicationFont.h"
#include "app/options/OptionsDialog.h"
#include "settings/Settings.h"
#include "support/WidgetApp.h"

// The dialog is laid out in fixed pixels, so a caption that grew with the font or a group that slipped
// under the tab bar would be cut off silently. These checks use the program's own font.
namespace {

class OptionsDialogLayoutTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        widgetApp();
        family = ApplicationFont::install();
    }
    static inline QString family;
};

std::string name(const QWidget* w) {
    return w->objectName().toStdString();
}

TEST_F(OptionsDialogLayoutTest, GroupsAndControlsLieInsideTheirParents) {
    Settings settings;
    OptionsDialog dlg(nullptr, settings);
    dlg.show();
    EXPECT_EQ(dlg.size(), QSize(321, 415));
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Options"));
    QTabWidget* tabs = dlg.findChild<QTabWidget*>(QStringLiteral("pages"));
    for (int page = 0; page < tabs->count(); ++page) {
        tabs->setCurrentIndex(page);
        QWidget* sheet = tabs->widget(page);
        for (QGroupBox* group : sheet->findChildren<QGroupBox*>(Qt::FindDirectChildrenOnly)) {
            EXPECT_TRUE(sheet->rect().contains(group->geometry())) << name(group) << " clipped by its page";
            int titleBottom = group->fontMetrics().height();
            for (QWidget* child : group->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                EXPECT_TRUE(group->rect().contains(child->geometry())) << name(child) << " outside " << name(group);
                EXPECT_GE(child->y(), titleBottom) << name(child) << " under the title of " << name(group);
            }
        }
    }
}

TEST_F(OptionsDialogLayoutTest, EveryCaptionFits) {
    if (family != QStringLiteral("Tahoma"))
        GTEST_SKIP() << "the layout is drawn for Tahoma (fonts-wine); found " << family.toStdString();
    Settings settings;
    OptionsDialog dlg(nullptr, settings);
    for (QLabel* label : dlg.findChildren<QLabel*>()) {
        if (label == dlg.findChild<QLabel*>(QStringLiteral("logLevelText")))
            continue;
        EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width()) << name(label);
    }
    for (QAbstractButton* button : dlg.findChildren<QAbstractButton*>()) {
        if (button->text().isEmpty())
            continue;
        // Push buttons centre their caption; check boxes and radio buttons need room for the indicator.
        int needed = qobject_cast<QPushButton*>(button) ? button->fontMetrics().horizontalAdvance(button->text()) + 6
                                                        : button->sizeHint().width();
        EXPECT_LE(needed, button->width()) << name(button);
    }
    for (int level = 0; level <= 2; ++level) {
        dlg.findChild<QSlider*>(QStringLiteral("logLevelSlider"))->setValue(level);
        QLabel* st = dlg.findChild<QLabel*>(QStringLiteral("logLevelText"));
        EXPECT_LE(st->fontMetrics().horizontalAdvance(st->text()), st->width()) << st->text().toStdString();
        EXPECT_LE(st->geometry().right(), dlg.findChild<QCheckBox*>(QStringLiteral("logAppendCheck"))->geometry().left())
            << "level name overlaps";
    }
}

// Not a check: with OSTREVO_SHOT_DIR set (and a real display for a window frame), writes both pages.
TEST_F(OptionsDialogLayoutTest, Screenshots) {
    QString dir = qEnvironmentVariable("OSTREVO_SHOT_DIR");
    if (dir.isEmpty())
        GTEST_SKIP() << "set OSTREVO_SHOT_DIR to write screenshots";
    Settings settings;
    settings.host = "gateway.example";
    settings.recentList = "gateway.example\r\n127.0.0.1\r\n";
    settings.logLevel = LogLevel::StatusChanges;
    settings.logFileName = "/home/user/ostrevo.log";
    settings.appParams = "--host %address% --status %status%";
    OptionsDialog dlg(nullptr, settings);
    dlg.show();
    for (int page = 0; page < 2; ++page) {
        dlg.findChild<QTabWidget*>(QStringLiteral("pages"))->setCurrentIndex(page);
        QApplication::processEvents();
        EXPECT_TRUE(dlg.grab().save(QDir(dir).filePath(QStringLiteral("options-page%1.png").arg(page + 1))));
    }
}

} // namespace
