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
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "app/common/AppSettings.h"
#include "app/common/ApplicationFont.h"
#include "app/options/FileDialogs.h"
#include "app/options/OptionsDialog.h"
#include "app/options/RecentList.h"
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
class ScriptedDlg : public OptionsDialog {
public:
    using OptionsDialog::OptionsDialog;
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

// What OK's announcement asks of the log and the tray, as the window hears it.
struct HookCalls {
    int openLog = 0;
    int trayTip = 0;
};

class OptionsDialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { widgetApp(); }

    // Opens a dialog on `settings`, lets `edit` change it and presses OK.
    HookCalls pressOk(const std::function<void(Controls&)>& edit) {
        ScriptedDlg dlg(nullptr, settings);
        Controls ui(dlg);
        edit(ui);
        AppSettings owner;
        owner.quietly() = settings;
        HookCalls calls;
        QObject::connect(&owner, &AppSettings::changed, [&](const SettingsChange& change) {
            const Settings& now = owner.value();
            if (change.fields.containsAny({SettingId::LogLevel, SettingId::LogAppend, SettingId::LogFileName}) &&
                now.logLevel != LogLevel::Off)
                ++calls.openLog;
            if (change.fields.contains(SettingId::Host))
                ++calls.trayTip;
        });
        owner.confirm(dlg.edited());
        settings = owner.value();
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

TEST_F(OptionsDialogTest, OpeningShowsEverySetting) {
    settings.host = "Example.org";
    settings.recentList = "alpha\r\nExample.org\r\n";
    settings.resolveIp = true;
    settings.interval = 7000;
    settings.buffer = 64;
    settings.analysisMode = AnalysisMode::Time;
    settings.minTime = 4000000000u;
    settings.logLevel = LogLevel::StatusChanges;
    settings.logFileName = "/tmp/x.log";
    settings.appMode = 7;
    settings.appParams = "%status%";
    ScriptedDlg dlg(nullptr, settings);
    Controls ui(dlg);

    EXPECT_EQ(ui.get<QComboBox>("addressEdit")->currentText(), QStringLiteral("Example.org"));
    ASSERT_EQ(ui.get<QComboBox>("addressEdit")->count(), 2);
    EXPECT_EQ(ui.get<QComboBox>("addressEdit")->itemText(0), QStringLiteral("alpha"));
    EXPECT_TRUE(ui.get<QCheckBox>("resolveIpCheck")->isChecked());
    EXPECT_EQ(ui.get<QLineEdit>("intervalEdit")->text(), QStringLiteral("7"));
    EXPECT_EQ(ui.get<QLineEdit>("bufferEdit")->text(), QStringLiteral("64"));
    EXPECT_TRUE(ui.get<QRadioButton>("timeRadio")->isChecked());
    EXPECT_TRUE(ui.get<QLineEdit>("minTimeEdit")->isEnabled());
    EXPECT_FALSE(ui.get<QLineEdit>("triesEdit")->isEnabled());
    EXPECT_EQ(ui.get<QLineEdit>("minTimeEdit")->text(), QStringLiteral("4000000000"));
    EXPECT_EQ(ui.get<QLabel>("logLevelText")->text(), QStringLiteral("Change Status"));
    EXPECT_TRUE(ui.get<QLineEdit>("logFileEdit")->isEnabled());
    EXPECT_EQ(ui.get<QComboBox>("appModeCombo")->currentIndex(), 2);
    EXPECT_EQ(ui.get<QLineEdit>("appParamsEdit")->text(), QStringLiteral("%status%"));
    EXPECT_EQ(ui.get<QTabWidget>("pages")->currentWidget(), ui.get<QWidget>("generalPage"));
}

TEST_F(OptionsDialogTest, OkNormalisesNumbersLikeTheStore) {
    struct Row {
        const char* edit;
        const char* text;
        std::function<long long(const Settings&)> field;
        long long expected;
    };
    const Row rows[] = {
        {"intervalEdit", "0", [](const Settings& s) { return s.interval; }, 1000},
        {"intervalEdit", "2.5", [](const Settings& s) { return s.interval; }, 10000},
        {"intervalEdit", "-5", [](const Settings& s) { return s.interval; }, 5000},
        {"bufferEdit", "$40", [](const Settings& s) { return s.buffer; }, 64},
        {"bufferEdit", "big", [](const Settings& s) { return s.buffer; }, 32},
        {"triesEdit", "300", [](const Settings& s) { return s.tries; }, 44},
        {"triesEdit", "", [](const Settings& s) { return s.tries; }, 3},
        {"maxPercentEdit", "356", [](const Settings& s) { return s.maxPercent; }, 100},
        {"maxTimeEdit", "x", [](const Settings& s) { return s.maxTime; }, 500},
        {"historyDaysEdit", "0", [](const Settings& s) { return s.historyDays; }, 0},
        {"historyDaysEdit", "-7", [](const Settings& s) { return s.historyDays; }, 30}, // no sign shortens it
        {"historyDaysEdit", "forever", [](const Settings& s) { return s.historyDays; }, 30},
        {"historyDaysEdit", "100000", [](const Settings& s) { return s.historyDays; }, 3650},
    };
    for (const Row& row : rows) {
        settings = Settings{};
        pressOk([&](Controls& ui) { ui.get<QLineEdit>(row.edit)->setText(QString::fromUtf8(row.text)); });
        EXPECT_EQ(row.field(settings), row.expected) << "text \"" << row.text << "\"";
    }
}

TEST_F(OptionsDialogTest, OkPutsTheSmallerLimitFirst) {
    pressOk([](Controls& ui) {
        ui.get<QLineEdit>("minPercentEdit")->setText(QStringLiteral("60"));
        ui.get<QLineEdit>("maxPercentEdit")->setText(QStringLiteral("40"));
        ui.get<QLineEdit>("minTimeEdit")->setText(QStringLiteral("900"));
        ui.get<QLineEdit>("maxTimeEdit")->setText(QStringLiteral("300"));
    });
    EXPECT_EQ(settings.minPercent, 40);
    EXPECT_EQ(settings.maxPercent, 60);
    EXPECT_EQ(settings.minTime, 300u);
    EXPECT_EQ(settings.maxTime, 900u);
}

// The path watch's three fields open as stored, reach the settings on OK and never leave their bounds;
// a watch that is off greys its figures out.
TEST_F(OptionsDialogTest, PathWatchFieldsLoadSaveAndKeepTheirBounds) {
    settings.pathWatch = true;
    settings.pathInterval = 300;
    settings.pathRounds = 5;
    {
        ScriptedDlg dlg(nullptr, settings);
        Controls ui(dlg);
        EXPECT_TRUE(ui.get<QCheckBox>("pathWatchCheck")->isChecked());
        EXPECT_EQ(ui.get<QSpinBox>("pathIntervalSpin")->value(), 300);
        EXPECT_EQ(ui.get<QSpinBox>("pathRoundsSpin")->value(), 5);
        ui.get<QCheckBox>("pathWatchCheck")->setChecked(false);
        EXPECT_FALSE(ui.get<QSpinBox>("pathIntervalSpin")->isEnabled());
        EXPECT_FALSE(ui.get<QSpinBox>("pathRoundsSpin")->isEnabled());
    }
    pressOk([](Controls& ui) {
        ui.get<QSpinBox>("pathIntervalSpin")->setValue(5);
        ui.get<QSpinBox>("pathRoundsSpin")->setValue(11);
    });
    EXPECT_EQ(settings.pathInterval, 10);
    EXPECT_EQ(settings.pathRounds, 10);
    pressOk([](Controls& ui) {
        ui.get<QCheckBox>("pathWatchCheck")->setChecked(false);
        ui.get<QSpinBox>("pathIntervalSpin")->setValue(100000);
        ui.get<QSpinBox>("pathRoundsSpin")->setValue(0);
    });
    EXPECT_FALSE(settings.pathWatch);
    EXPECT_EQ(settings.pathInterval, 86400);
    EXPECT_EQ(settings.pathRounds, 1);
}

TEST_F(OptionsDialogTest, RecentListIgnoresAsciiCaseOnly) {
    struct Row {
        const char* typed;
        const char* list;
    };
    const Row rows[] = {
        {"EXAMPLE.com", "Example.COM\r\nother\r\n"}, // same host, other case: stored as typed, no new item
        {" example.com", "Example.COM\r\nother\r\n example.com\r\n"}, // a leading blank is a new host
        {"exampl\xc3\xa9.com", "Example.COM\r\nother\r\nexampl\xc3\xa9.com\r\n"},
        {"", "Example.COM\r\nother\r\n"}, // an empty host is no entry, and an empty line in the file goes
    };
    for (const Row& row : rows) {
        settings.recentList = "Example.COM\r\n\r\nother\r\n";
        pressOk([&](Controls& ui) {
            ui.get<QComboBox>("addressEdit")->setEditText(QString::fromUtf8(row.typed));
            // Leaving the edit must not swap the typed text for a listed one.
            Q_EMIT ui.get<QComboBox>("addressEdit")->lineEdit()->editingFinished();
        });
        EXPECT_EQ(settings.host, row.typed);
        EXPECT_EQ(settings.recentList, row.list) << "typed \"" << row.typed << "\"";
    }
}

TEST_F(OptionsDialogTest, SameEntryFoldsOnlyAsciiLetters) {
    EXPECT_TRUE(RecentList::sameEntry("Host-1.Example", "hOST-1.eXAMPLE"));
    EXPECT_FALSE(RecentList::sameEntry("host", "host "));
    EXPECT_FALSE(RecentList::sameEntry("\xc3\xa9", "\xc3\x89")); // é and É are different bytes
    EXPECT_FALSE(RecentList::sameEntry("[", "{"));               // '[' + 32 is '{', not a letter
    EXPECT_EQ(RecentList::split("a\r\n\r\nb\nc\rd"), (std::vector<std::string>{"a", "", "b", "c", "d"}));
    EXPECT_EQ(RecentList::split("a\r\n"), std::vector<std::string>{"a"});
    EXPECT_TRUE(RecentList::split("").empty());
}

TEST_F(OptionsDialogTest, ClearingTheRecentListTakesEffectOnlyWithOk) {
    settings.host = "kept";
    settings.recentList = "one\r\ntwo\r\n";
    {
        ScriptedDlg dlg(nullptr, settings);
        dlg.answerYes = false;
        dlg.clearRecentList();
        EXPECT_EQ(Controls(dlg).get<QComboBox>("addressEdit")->count(), 2) << "No keeps the list";
        dlg.answerYes = true;
        dlg.clearRecentList();
        EXPECT_EQ(Controls(dlg).get<QComboBox>("addressEdit")->count(), 0);
        EXPECT_EQ(Controls(dlg).get<QComboBox>("addressEdit")->currentText(), QStringLiteral("kept"));
        EXPECT_EQ(dlg.confirmations, 2);
        // Cancel: the edited settings are not taken.
    }
    EXPECT_EQ(settings.recentList, "one\r\ntwo\r\n");

    ScriptedDlg dlg(nullptr, settings);
    dlg.clearRecentList();
    settings = dlg.edited();
    EXPECT_EQ(settings.recentList, "kept\r\n");
}

TEST_F(OptionsDialogTest, MissingFilesAreDropped) {
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
            ui.get<QLineEdit>("appEdit")->setText(QString::fromStdString(row.appFile));
            ui.get<QComboBox>("appModeCombo")->setCurrentIndex(1);
            ui.get<QLineEdit>("appParamsEdit")->setText(QStringLiteral("%status%"));
            ui.get<QLineEdit>("startSoundEdit")->setText(QString::fromStdString(row.sndStart));
            ui.get<QLineEdit>("stopSoundEdit")->setText(QString::fromStdString(row.sndStop));
        });
        EXPECT_EQ(settings.appFileName, row.wantApp);
        EXPECT_EQ(settings.appParams, row.wantParams);
        EXPECT_EQ(settings.appMode, row.wantMode);
        EXPECT_EQ(settings.startSound, row.wantStart);
        EXPECT_EQ(settings.stopSound, row.wantStop);
    }
    ScriptedDlg reopened(nullptr, settings);
    EXPECT_EQ(Controls(reopened).get<QComboBox>("appModeCombo")->currentText(),
              QStringLiteral("Activates and displays it as a normal"));
}

// The launcher finds a bare name on PATH, so OK must not throw such a program away as missing.
TEST_F(OptionsDialogTest, AlertProgramIsLookedForWhereTheLauncherLooks) {
    const std::string bin = dir.file("bin");
    std::filesystem::create_directories(bin);
    std::ofstream(bin + "/ostrevo-test-alert") << "#!/bin/sh\n";
    std::filesystem::permissions(bin + "/ostrevo-test-alert", std::filesystem::perms::owner_all);
    std::ofstream(bin + "/ostrevo-test-readme") << "not a program\n";
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", QByteArray::fromStdString(bin) + ":/usr/bin:/bin");
    struct Row {
        const char* typed;
        bool kept;
    };
    const Row rows[] = {
        {"ostrevo-test-alert", true},
        {"ostrevo-test-readme", false}, // on PATH, but the launcher looks only for programs there
        {"ostrevo-no-such-program", false},
    };
    for (const Row& row : rows) {
        pressOk([&](Controls& ui) {
            ui.get<QLineEdit>("appEdit")->setText(QString::fromUtf8(row.typed));
            ui.get<QComboBox>("appModeCombo")->setCurrentIndex(2);
            ui.get<QLineEdit>("appParamsEdit")->setText(QStringLiteral("%status%"));
        });
        EXPECT_EQ(settings.appFileName, row.kept ? row.typed : "") << row.typed;
        EXPECT_EQ(settings.appParams, row.kept ? "%status%" : "") << row.typed;
        EXPECT_EQ(settings.appMode, row.kept ? 7 : 1) << row.typed;
    }
    qputenv("PATH", oldPath);
}

TEST_F(OptionsDialogTest, NotificationBoxReachesTheSettingBothWays) {
    for (const bool before : {true, false}) {
        settings.notify = before;
        pressOk([&](Controls& ui) {
            QCheckBox* box = ui.get<QCheckBox>("notifyCheck");
            EXPECT_EQ(box->isChecked(), before);
            box->click();
        });
        EXPECT_EQ(settings.notify, !before) << "was " << before;
        pressOk([](Controls&) {}); // OK without touching it keeps it
        EXPECT_EQ(settings.notify, !before) << "was " << before;
    }
}

TEST_F(OptionsDialogTest, LoggingLevelAndHooks) {
    HookCalls off = pressOk([](Controls& ui) {
        ui.get<QSlider>("logLevelSlider")->setValue(0);
        ui.get<QLineEdit>("logFileEdit")->setText(QStringLiteral("/var/tmp/ping.log"));
        ui.get<QCheckBox>("logAppendCheck")->setChecked(true);
    });
    EXPECT_EQ(settings.logLevel, LogLevel::Off);
    EXPECT_EQ(settings.logFileName, "/var/tmp/ping.log");
    EXPECT_TRUE(settings.logAppend);
    EXPECT_EQ(off.openLog, 0);
    EXPECT_EQ(off.trayTip, 1);

    HookCalls on = pressOk([](Controls& ui) { ui.get<QSlider>("logLevelSlider")->setValue(2); });
    EXPECT_EQ(settings.logLevel, LogLevel::EveryRequest);
    EXPECT_EQ(on.openLog, 1);
    EXPECT_EQ(on.trayTip, 1);
}

TEST_F(OptionsDialogTest, ControlsFollowModeAndLevel) {
    ScriptedDlg dlg(nullptr, settings);
    Controls ui(dlg);
    const QWidget* tries[] = {ui.get<QLabel>("triesLabel"), ui.get<QLineEdit>("triesEdit")};
    const QWidget* percent[] = {ui.get<QLabel>("minPercentLabel"), ui.get<QLineEdit>("minPercentEdit"),
                                ui.get<QLabel>("maxPercentLabel"), ui.get<QLineEdit>("maxPercentEdit")};
    const QWidget* speed[] = {ui.get<QLabel>("maxTimeLabel"), ui.get<QLineEdit>("minTimeEdit"),
                              ui.get<QLabel>("minTimeLabel"), ui.get<QLineEdit>("maxTimeEdit")};
    for (QRadioButton* radio : {ui.get<QRadioButton>("percentRadio"), ui.get<QRadioButton>("timeRadio"),
                                ui.get<QRadioButton>("triesRadio")}) {
        radio->click();
        for (const QWidget* w : tries)
            EXPECT_EQ(w->isEnabled(), radio == ui.get<QRadioButton>("triesRadio")) << w->objectName().toStdString();
        for (const QWidget* w : percent)
            EXPECT_EQ(w->isEnabled(), radio == ui.get<QRadioButton>("percentRadio")) << w->objectName().toStdString();
        for (const QWidget* w : speed)
            EXPECT_EQ(w->isEnabled(), radio == ui.get<QRadioButton>("timeRadio")) << w->objectName().toStdString();
        EXPECT_TRUE(ui.get<QRadioButton>("triesRadio")->isEnabled() &&
                    ui.get<QRadioButton>("percentRadio")->isEnabled() &&
                    ui.get<QRadioButton>("timeRadio")->isEnabled());
    }

    const char* names[] = {"Off", "Change Status", "All requests"};
    for (int level : {2, 0, 1}) {
        ui.get<QSlider>("logLevelSlider")->setValue(level);
        EXPECT_EQ(ui.get<QLabel>("logLevelText")->text(), QString::fromUtf8(names[level]));
        for (const QWidget* w : {static_cast<QWidget*>(ui.get<QCheckBox>("logAppendCheck")),
                                 static_cast<QWidget*>(ui.get<QLineEdit>("logFileEdit")),
                                 static_cast<QWidget*>(ui.get<QPushButton>("logFileBrowseButton"))})
            EXPECT_EQ(w->isEnabled(), level > 0) << w->objectName().toStdString();
        EXPECT_TRUE(ui.get<QLabel>("logLevelLabel")->isEnabled() && ui.get<QLabel>("logFileLabel")->isEnabled());
    }
}

TEST_F(OptionsDialogTest, PlaceholderReplacesSelectionOrGoesToCaret) {
    ScriptedDlg dlg(nullptr, settings);
    Controls ui(dlg);
    ui.get<QLineEdit>("appParamsEdit")->setText(QStringLiteral("run X now"));
    ui.get<QLineEdit>("appParamsEdit")->setSelection(4, 1);
    doubleClick(ui.get<QLabel>("errcodePlaceholder"));
    EXPECT_EQ(ui.get<QLineEdit>("appParamsEdit")->text(), QStringLiteral("run %errcode% now"));

    ui.get<QLineEdit>("appParamsEdit")->setText(QStringLiteral("ab"));
    ui.get<QLineEdit>("appParamsEdit")->setCursorPosition(1);
    doubleClick(ui.get<QLabel>("addressPlaceholder"));
    EXPECT_EQ(ui.get<QLineEdit>("appParamsEdit")->text(), QStringLiteral("a%address%b"));
    doubleClick(ui.get<QLabel>("responsePlaceholder"));
    EXPECT_EQ(ui.get<QLineEdit>("appParamsEdit")->text(), QStringLiteral("a%address%%responce%b"));
    EXPECT_EQ(ui.get<QLabel>("responsePlaceholder")->toolTip(),
              QStringLiteral("Double click it for insert to Parameters"));
}

TEST_F(OptionsDialogTest, BrowseButtonsFillTheirEdits) {
    ScriptedDlg dlg(nullptr, settings);
    Controls ui(dlg);
    dlg.nextFile = QStringLiteral("/snd/up.wav");
    ui.get<QPushButton>("startSoundBrowseButton")->click();
    EXPECT_EQ(dlg.lastTitle, QStringLiteral("Select Sound file for Start responding"));
    EXPECT_EQ(ui.get<QLineEdit>("startSoundEdit")->text(), QStringLiteral("/snd/up.wav"));
    dlg.nextFile.clear(); // cancelled
    ui.get<QLineEdit>("stopSoundEdit")->setText(QStringLiteral("old.wav"));
    ui.get<QPushButton>("stopSoundBrowseButton")->click();
    EXPECT_EQ(dlg.lastTitle, QStringLiteral("Select Sound file for Stop responding"));
    EXPECT_EQ(ui.get<QLineEdit>("stopSoundEdit")->text(), QStringLiteral("old.wav"));
}

TEST_F(OptionsDialogTest, EnterInTheAddressBoxPressesOk) {
    ScriptedDlg dlg(nullptr, settings);
    Controls(dlg).get<QComboBox>("addressEdit")->addItem(QStringLiteral("listed"));
    Controls(dlg).get<QComboBox>("addressEdit")->setEditText(QStringLiteral("typed"));
    dlg.show();
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(Controls(dlg).get<QComboBox>("addressEdit")->lineEdit(), &enter);
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(Controls(dlg).get<QComboBox>("addressEdit")->count(), 1) << "Enter must not add the text to the list";
}

TEST(LogFileDialog, DefaultExtensionFollowsTheChosenType) {
    const struct {
        int index;
        const char* ext;
    } rows[] = {{1, "log"}, {2, "txt"}, {3, "csv"}, {4, ""}, {0, "log"}, {5, ""}};
    for (const auto& row : rows)
        EXPECT_EQ(FileDialogs::defaultExtensionForFilter(FileDialogs::kLogFileFilter, row.index),
                  QString::fromUtf8(row.ext))
            << "index " << row.index;
    EXPECT_EQ(FileDialogs::defaultExtensionForFilter(QStringLiteral("Any|*"), 1), QString());

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
        EXPECT_EQ(dialog.defaultSuffix(), FileDialogs::defaultExtensionForFilter(FileDialogs::kLogFileFilter, i + 1));
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
