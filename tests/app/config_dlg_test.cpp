#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "app/ApplicationFont.h"
#include "app/ConfigDlg.h"
#include "app/FileDialogs.h"
#include "app/RecentList.h"
#include "settings/Settings.h"
#include "support/TempDir.h"
#include "support/WidgetApp.h"

namespace {

// The controls of a dialog, found by their object names.
class Controls {
public:
    explicit Controls(QWidget& dlg) : dlg_(dlg) {}
    template <class T> T* get(const char* name) const {
        T* w = dlg_.findChild<T*>(QString::fromLatin1(name));
        if (w == nullptr)
            throw std::runtime_error(std::string("no control ") + name);
        return w;
    }

private:
    QWidget& dlg_;
};

// The dialog with its boxes and pickers answered by the test.
class ScriptedDlg : public TConfig_Dlg {
public:
    using TConfig_Dlg::TConfig_Dlg;
    bool answerYes = true;
    int confirmations = 0;
    QString nextFile;
    QString lastTitle;

protected:
    bool confirmClearRecent() override {
        ++confirmations;
        return answerYes;
    }
    QString pickSoundFile(const QString& title, const QString&) override {
        lastTitle = title;
        return nextFile;
    }
    QString pickApplication(const QString&) override { return nextFile; }
    QString pickLogFile(const QString&) override { return nextFile; }
};

struct HookCalls {
    int openLog = 0;
    int trayTip = 0;
    TConfig_Dlg::Hooks hooks() {
        return {[this] { ++openLog; }, [this] { ++trayTip; }};
    }
};

class ConfigDlgTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { widgetApp(); }

    // Opens a dialog on `settings`, lets `edit` change it and presses OK.
    HookCalls pressOk(const std::function<void(Controls&)>& edit) {
        ScriptedDlg dlg(nullptr, settings);
        Controls ui(dlg);
        edit(ui);
        HookCalls calls;
        dlg.apply(calls.hooks());
        return calls;
    }

    void doubleClick(QWidget* w) {
        QPointF at(2, 2);
        QMouseEvent press(QEvent::MouseButtonDblClick, at, w->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(w, &press);
    }

    Settings settings;
    TempDir dir;
};

TEST_F(ConfigDlgTest, OpeningShowsEverySetting) {
    settings.Host = "Example.org";
    settings.RecentList = "alpha\r\nExample.org\r\n";
    settings.ResolveIP = true;
    settings.Interval = 7000;
    settings.Buffer = 64;
    settings.AnalizeMode = 2;
    settings.MinTime = 4000000000u;
    settings.LogLevel = 1;
    settings.LogFileName = "/tmp/x.log";
    settings.AppMode = 7;
    settings.AppParams = "%status%";
    ScriptedDlg dlg(nullptr, settings);
    Controls ui(dlg);

    EXPECT_EQ(ui.get<QComboBox>("Addr_Edit")->currentText(), QStringLiteral("Example.org"));
    ASSERT_EQ(ui.get<QComboBox>("Addr_Edit")->count(), 2);
    EXPECT_EQ(ui.get<QComboBox>("Addr_Edit")->itemText(0), QStringLiteral("alpha"));
    EXPECT_TRUE(ui.get<QCheckBox>("ResolveIP_CB")->isChecked());
    EXPECT_EQ(ui.get<QLineEdit>("Interval_Edit")->text(), QStringLiteral("7"));
    EXPECT_EQ(ui.get<QLineEdit>("Buf_Edit")->text(), QStringLiteral("64"));
    EXPECT_TRUE(ui.get<QRadioButton>("Speed_RB")->isChecked());
    EXPECT_TRUE(ui.get<QLineEdit>("MinTime_Edit")->isEnabled());
    EXPECT_FALSE(ui.get<QLineEdit>("Tries_Edit")->isEnabled());
    EXPECT_EQ(ui.get<QLineEdit>("MinTime_Edit")->text(), QStringLiteral("4000000000"));
    EXPECT_EQ(ui.get<QLabel>("LogLevel_ST")->text(), QStringLiteral("Change Status"));
    EXPECT_TRUE(ui.get<QLineEdit>("LogFileName_Edit")->isEnabled());
    EXPECT_EQ(ui.get<QComboBox>("AppMode_CB")->currentIndex(), 2);
    EXPECT_EQ(ui.get<QLineEdit>("AppParam_Edit")->text(), QStringLiteral("%status%"));
    EXPECT_EQ(ui.get<QTabWidget>("PageControl1")->currentWidget(), ui.get<QWidget>("General_Sheet"));
}

TEST_F(ConfigDlgTest, OkNormalisesNumbersLikeTheStore) {
    struct Row {
        const char* edit;
        const char* text;
        std::function<long long(const Settings&)> field;
        long long expected;
    };
    const Row rows[] = {
        {"Interval_Edit", "0", [](const Settings& s) { return s.Interval; }, 1000},
        {"Interval_Edit", "2.5", [](const Settings& s) { return s.Interval; }, 10000},
        {"Interval_Edit", "-5", [](const Settings& s) { return s.Interval; }, 5000},
        {"Buf_Edit", "$40", [](const Settings& s) { return s.Buffer; }, 64},
        {"Buf_Edit", "big", [](const Settings& s) { return s.Buffer; }, 32},
        {"Tries_Edit", "300", [](const Settings& s) { return s.Tries; }, 44},
        {"Tries_Edit", "", [](const Settings& s) { return s.Tries; }, 3},
        {"MaxPercent_Edit", "356", [](const Settings& s) { return s.MaxPercent; }, 100},
        {"MaxTime_Edit", "x", [](const Settings& s) { return s.MaxTime; }, 500},
    };
    for (const Row& row : rows) {
        settings = Settings{};
        pressOk([&](Controls& ui) { ui.get<QLineEdit>(row.edit)->setText(QString::fromUtf8(row.text)); });
        EXPECT_EQ(row.field(settings), row.expected) << "text \"" << row.text << "\"";
    }
}

TEST_F(ConfigDlgTest, OkPutsTheSmallerLimitFirst) {
    pressOk([](Controls& ui) {
        ui.get<QLineEdit>("MinPercent_Edit")->setText(QStringLiteral("60"));
        ui.get<QLineEdit>("MaxPercent_Edit")->setText(QStringLiteral("40"));
        ui.get<QLineEdit>("MinTime_Edit")->setText(QStringLiteral("900"));
        ui.get<QLineEdit>("MaxTime_Edit")->setText(QStringLiteral("300"));
    });
    EXPECT_EQ(settings.MinPercent, 40);
    EXPECT_EQ(settings.MaxPercent, 60);
    EXPECT_EQ(settings.MinTime, 300u);
    EXPECT_EQ(settings.MaxTime, 900u);
}

TEST_F(ConfigDlgTest, RecentListIgnoresAsciiCaseOnly) {
    struct Row {
        const char* typed;
        const char* list;
    };
    const Row rows[] = {
        {"EXAMPLE.com", "Example.COM\r\nother\r\n"}, // same host, other case: stored as typed, no new item
        {" example.com", "Example.COM\r\nother\r\n example.com\r\n"}, // a leading blank is a new host
        {"exampl\xc3\xa9.com", "Example.COM\r\nother\r\nexampl\xc3\xa9.com\r\n"},
        {"", "Example.COM\r\nother\r\n\r\n"}, // an empty host is remembered too
    };
    for (const Row& row : rows) {
        settings.RecentList = "Example.COM\r\nother\r\n";
        pressOk([&](Controls& ui) {
            ui.get<QComboBox>("Addr_Edit")->setEditText(QString::fromUtf8(row.typed));
            // Leaving the edit must not swap the typed text for a listed one.
            Q_EMIT ui.get<QComboBox>("Addr_Edit")->lineEdit()->editingFinished();
        });
        EXPECT_EQ(settings.Host, row.typed);
        EXPECT_EQ(settings.RecentList, row.list) << "typed \"" << row.typed << "\"";
    }
}

TEST_F(ConfigDlgTest, SameEntryFoldsOnlyAsciiLetters) {
    EXPECT_TRUE(RecentList::sameEntry("Host-1.Example", "hOST-1.eXAMPLE"));
    EXPECT_FALSE(RecentList::sameEntry("host", "host "));
    EXPECT_FALSE(RecentList::sameEntry("\xc3\xa9", "\xc3\x89")); // é and É are different bytes
    EXPECT_FALSE(RecentList::sameEntry("[", "{"));               // '[' + 32 is '{', not a letter
    EXPECT_EQ(RecentList::split("a\r\n\r\nb\nc\rd"), (std::vector<std::string>{"a", "", "b", "c", "d"}));
    EXPECT_EQ(RecentList::split("a\r\n"), std::vector<std::string>{"a"});
    EXPECT_TRUE(RecentList::split("").empty());
}

TEST_F(ConfigDlgTest, ClearingTheRecentListTakesEffectOnlyWithOk) {
    settings.Host = "kept";
    settings.RecentList = "one\r\ntwo\r\n";
    {
        ScriptedDlg dlg(nullptr, settings);
        dlg.answerYes = false;
        dlg.Clear_ButClick();
        EXPECT_EQ(Controls(dlg).get<QComboBox>("Addr_Edit")->count(), 2) << "No keeps the list";
        dlg.answerYes = true;
        dlg.Clear_ButClick();
        EXPECT_EQ(Controls(dlg).get<QComboBox>("Addr_Edit")->count(), 0);
        EXPECT_EQ(Controls(dlg).get<QComboBox>("Addr_Edit")->currentText(), QStringLiteral("kept"));
        EXPECT_EQ(dlg.confirmations, 2);
        // Cancel: apply() is not called.
    }
    EXPECT_EQ(settings.RecentList, "one\r\ntwo\r\n");

    ScriptedDlg dlg(nullptr, settings);
    dlg.Clear_ButClick();
    dlg.apply({});
    EXPECT_EQ(settings.RecentList, "kept\r\n");
}

TEST_F(ConfigDlgTest, MissingFilesAreDropped) {
    std::string app = dir.file("alert.sh");
    std::string sound = dir.file("up.wav");
    std::ofstream(app) << "#!/bin/sh\n";
    std::ofstream(sound) << "RIFF";
    struct Row {
        std::string appFile, sndStart, sndStop;
        std::string wantApp, wantParams, wantStart, wantStop;
        int wantMode;
    };
    const Row rows[] = {
        {app, sound, "", app, "%status%", sound, "", 3},
        {dir.file("gone"), dir.path(), dir.file("gone.wav"), "", "", "", "", 1}, // a directory is not a file
        {"", "", "", "", "", "", "", 1},
    };
    for (const Row& row : rows) {
        pressOk([&](Controls& ui) {
            ui.get<QLineEdit>("App_Edit")->setText(QString::fromStdString(row.appFile));
            ui.get<QComboBox>("AppMode_CB")->setCurrentIndex(1);
            ui.get<QLineEdit>("AppParam_Edit")->setText(QStringLiteral("%status%"));
            ui.get<QLineEdit>("SndStart_Edit")->setText(QString::fromStdString(row.sndStart));
            ui.get<QLineEdit>("SndStop_Edit")->setText(QString::fromStdString(row.sndStop));
        });
        EXPECT_EQ(settings.AppFileName, row.wantApp);
        EXPECT_EQ(settings.AppParams, row.wantParams);
        EXPECT_EQ(settings.AppMode, row.wantMode);
        EXPECT_EQ(settings.SndStart, row.wantStart);
        EXPECT_EQ(settings.SndStop, row.wantStop);
    }
    ScriptedDlg reopened(nullptr, settings);
    EXPECT_EQ(Controls(reopened).get<QComboBox>("AppMode_CB")->currentText(),
              QStringLiteral("Activates and displays it as a normal"));
}

TEST_F(ConfigDlgTest, LoggingLevelAndHooks) {
    HookCalls off = pressOk([](Controls& ui) {
        ui.get<QSlider>("LogLevel_TB")->setValue(0);
        ui.get<QLineEdit>("LogFileName_Edit")->setText(QStringLiteral("/var/tmp/ping.log"));
        ui.get<QCheckBox>("LogAppend_CB")->setChecked(true);
    });
    EXPECT_EQ(settings.LogLevel, 0);
    EXPECT_EQ(settings.LogFileName, "/var/tmp/ping.log");
    EXPECT_TRUE(settings.LogAppend);
    EXPECT_EQ(off.openLog, 0);
    EXPECT_EQ(off.trayTip, 1);

    HookCalls on = pressOk([](Controls& ui) { ui.get<QSlider>("LogLevel_TB")->setValue(2); });
    EXPECT_EQ(settings.LogLevel, 2);
    EXPECT_EQ(on.openLog, 1);
    EXPECT_EQ(on.trayTip, 1);
}

TEST_F(ConfigDlgTest, ControlsFollowModeAndLevel) {
    ScriptedDlg dlg(nullptr, settings);
    Controls ui(dlg);
    const QWidget* tries[] = {ui.get<QLabel>("StaticText3"), ui.get<QLineEdit>("Tries_Edit")};
    const QWidget* percent[] = {ui.get<QLabel>("StaticText4"), ui.get<QLineEdit>("MinPercent_Edit"),
                                ui.get<QLabel>("StaticText5"), ui.get<QLineEdit>("MaxPercent_Edit")};
    const QWidget* speed[] = {ui.get<QLabel>("StaticText6"), ui.get<QLineEdit>("MinTime_Edit"),
                              ui.get<QLabel>("StaticText7"), ui.get<QLineEdit>("MaxTime_Edit")};
    for (QRadioButton* radio :
         {ui.get<QRadioButton>("Percent_RB"), ui.get<QRadioButton>("Speed_RB"), ui.get<QRadioButton>("Tries_RB")}) {
        radio->click();
        for (const QWidget* w : tries)
            EXPECT_EQ(w->isEnabled(), radio == ui.get<QRadioButton>("Tries_RB")) << w->objectName().toStdString();
        for (const QWidget* w : percent)
            EXPECT_EQ(w->isEnabled(), radio == ui.get<QRadioButton>("Percent_RB")) << w->objectName().toStdString();
        for (const QWidget* w : speed)
            EXPECT_EQ(w->isEnabled(), radio == ui.get<QRadioButton>("Speed_RB")) << w->objectName().toStdString();
        EXPECT_TRUE(ui.get<QRadioButton>("Tries_RB")->isEnabled() && ui.get<QRadioButton>("Percent_RB")->isEnabled() &&
                    ui.get<QRadioButton>("Speed_RB")->isEnabled());
    }

    const char* names[] = {"Off", "Change Status", "All requests"};
    for (int level : {2, 0, 1}) {
        ui.get<QSlider>("LogLevel_TB")->setValue(level);
        EXPECT_EQ(ui.get<QLabel>("LogLevel_ST")->text(), QString::fromUtf8(names[level]));
        for (const QWidget* w : {static_cast<QWidget*>(ui.get<QCheckBox>("LogAppend_CB")),
                                 static_cast<QWidget*>(ui.get<QLineEdit>("LogFileName_Edit")),
                                 static_cast<QWidget*>(ui.get<QPushButton>("LogFileName_But"))})
            EXPECT_EQ(w->isEnabled(), level > 0) << w->objectName().toStdString();
        EXPECT_TRUE(ui.get<QLabel>("StaticText11")->isEnabled() && ui.get<QLabel>("StaticText12")->isEnabled());
    }
}

TEST_F(ConfigDlgTest, PlaceholderReplacesSelectionOrGoesToCaret) {
    ScriptedDlg dlg(nullptr, settings);
    Controls ui(dlg);
    ui.get<QLineEdit>("AppParam_Edit")->setText(QStringLiteral("run X now"));
    ui.get<QLineEdit>("AppParam_Edit")->setSelection(4, 1);
    doubleClick(ui.get<QLabel>("StaticText21"));
    EXPECT_EQ(ui.get<QLineEdit>("AppParam_Edit")->text(), QStringLiteral("run %errcode% now"));

    ui.get<QLineEdit>("AppParam_Edit")->setText(QStringLiteral("ab"));
    ui.get<QLineEdit>("AppParam_Edit")->setCursorPosition(1);
    doubleClick(ui.get<QLabel>("StaticText17"));
    EXPECT_EQ(ui.get<QLineEdit>("AppParam_Edit")->text(), QStringLiteral("a%address%b"));
    doubleClick(ui.get<QLabel>("StaticText19"));
    EXPECT_EQ(ui.get<QLineEdit>("AppParam_Edit")->text(), QStringLiteral("a%address%%responce%b"));
    EXPECT_EQ(ui.get<QLabel>("StaticText19")->toolTip(), QStringLiteral("Double click it for insert to Parameters"));
}

TEST_F(ConfigDlgTest, BrowseButtonsFillTheirEdits) {
    ScriptedDlg dlg(nullptr, settings);
    Controls ui(dlg);
    dlg.nextFile = QStringLiteral("/snd/up.wav");
    ui.get<QPushButton>("SndStart_But")->click();
    EXPECT_EQ(dlg.lastTitle, QStringLiteral("Select Sound file for Start responding"));
    EXPECT_EQ(ui.get<QLineEdit>("SndStart_Edit")->text(), QStringLiteral("/snd/up.wav"));
    dlg.nextFile.clear(); // cancelled
    ui.get<QLineEdit>("SndStop_Edit")->setText(QStringLiteral("old.wav"));
    ui.get<QPushButton>("SndStop_But")->click();
    EXPECT_EQ(dlg.lastTitle, QStringLiteral("Select Sound file for Stop responding"));
    EXPECT_EQ(ui.get<QLineEdit>("SndStop_Edit")->text(), QStringLiteral("old.wav"));
}

TEST_F(ConfigDlgTest, EnterInTheAddressBoxPressesOk) {
    ScriptedDlg dlg(nullptr, settings);
    Controls(dlg).get<QComboBox>("Addr_Edit")->addItem(QStringLiteral("listed"));
    Controls(dlg).get<QComboBox>("Addr_Edit")->setEditText(QStringLiteral("typed"));
    dlg.show();
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(Controls(dlg).get<QComboBox>("Addr_Edit")->lineEdit(), &enter);
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(Controls(dlg).get<QComboBox>("Addr_Edit")->count(), 1) << "Enter must not add the text to the list";
}

TEST(LogFileDialog, DefaultExtensionFollowsTheChosenType) {
    const struct {
        int index;
        const char* ext;
    } rows[] = {{1, "log"}, {2, "txt"}, {3, "csv"}, {4, ""}, {0, "log"}, {5, ""}};
    for (const auto& row : rows)
        EXPECT_EQ(TConfig_Dlg::defaultExtensionForFilter(FileDialogs::kLogFilterSpec, row.index),
                  QString::fromUtf8(row.ext))
            << "index " << row.index;
    EXPECT_EQ(TConfig_Dlg::defaultExtensionForFilter(QStringLiteral("Any|*"), 1), QString());

    widgetApp();
    QFileDialog dialog;
    FileDialogs::setUpLogDialog(dialog);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Select log file"));
    EXPECT_EQ(dialog.defaultSuffix(), QStringLiteral("log"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    TempDir dir;
    dialog.setDirectory(QString::fromStdString(dir.path()));
    const QStringList filters = dialog.nameFilters();
    ASSERT_EQ(filters.size(), 4);
    for (int i : {2, 3, 0, 1}) {
        Q_EMIT dialog.filterSelected(filters[i]);
        EXPECT_EQ(dialog.defaultSuffix(), TConfig_Dlg::defaultExtensionForFilter(FileDialogs::kLogFilterSpec, i + 1));
    }
    // A name typed without extension gets the chosen type's, and none with "All files".
    dialog.selectFile(QStringLiteral("pings"));
    EXPECT_TRUE(dialog.selectedFiles().value(0).endsWith(QStringLiteral("/pings.txt")));
    Q_EMIT dialog.filterSelected(filters[3]);
    EXPECT_TRUE(dialog.selectedFiles().value(0).endsWith(QStringLiteral("/pings")));
}

// Names listed by the open file dialog that `open` shows, read once its folder has loaded; then cancelled.
QStringList listedByDialog(const std::function<QString()>& open, const QString& expectedName) {
    QStringList names;
    QTimer poll;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        auto* view = dialog != nullptr ? dialog->findChild<QListView*>(QStringLiteral("listView")) : nullptr;
        if (view == nullptr)
            return;
        names.clear();
        QModelIndex root = view->rootIndex();
        for (int row = 0; row < view->model()->rowCount(root); ++row) {
            QModelIndex index = view->model()->index(row, 0, root);
            if (view->model()->flags(index) & Qt::ItemIsEnabled)
                names.append(index.data().toString());
        }
        if (names.contains(expectedName) || clock.elapsed() > 5000)
            dialog->reject();
    });
    poll.start(50);
    EXPECT_TRUE(open().isEmpty());
    names.sort();
    return names;
}

TEST(ApplicationFilter, ListsProgramsAndScripts) {
    TempDir dir;
    auto make = [&](const std::string& name, bool executable) {
        std::ofstream(dir.file(name)) << "x";
        if (executable)
            std::filesystem::permissions(dir.file(name), std::filesystem::perms::owner_exec,
                                         std::filesystem::perm_options::add);
        return QFileInfo(QString::fromStdString(dir.file(name)));
    };
    EXPECT_TRUE(FileDialogs::isApplicationFile(make("setup.EXE", false)));
    EXPECT_TRUE(FileDialogs::isApplicationFile(make("notify.sh", false)));
    EXPECT_TRUE(FileDialogs::isApplicationFile(make("notify", true)));
    EXPECT_FALSE(FileDialogs::isApplicationFile(make("readme.txt", false)));
    EXPECT_FALSE(FileDialogs::isApplicationFile(QFileInfo(QString::fromStdString(dir.path()))));

    widgetApp();
    QString start = QString::fromStdString(dir.file("readme.txt"));
    QStringList listed =
        listedByDialog([&] { return FileDialogs::openApplication(nullptr, start); }, QStringLiteral("notify"));
    EXPECT_EQ(listed,
              (QStringList{QStringLiteral("notify"), QStringLiteral("notify.sh"), QStringLiteral("setup.EXE")}));
}

} // namespace
