#include "app/ConfigDlg.h"

#include <QCompleter>
#include <QEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>

#include <algorithm>
#include <array>

#include "app/FileDialogs.h"
#include "app/RecentList.h"
#include "settings/Settings.h"
#include "settings/SettingsRules.h"
#include "ui_ConfigDlg.h"

namespace {

// Show commands of the run-mode list, in the order of its items.
constexpr std::array<std::int32_t, 3> kRunModes = {1, 3, 7};

std::string text(const QLineEdit* edit) {
    return edit->text().toStdString();
}

QString number(std::uint32_t value) {
    return QString::number(value);
}

// A file that can be opened as one; a directory of that name does not count.
bool fileExists(const std::string& name) {
    return !name.empty() && QFileInfo(QString::fromStdString(name)).isFile();
}

} // namespace

TConfig_Dlg::TConfig_Dlg(QWidget* owner, Settings& settings)
    : QDialog(owner), ui_(std::make_unique<Ui::TConfig_Dlg>()), settings_(settings) {
    ui_->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(321, 415);

    // The host is stored as typed: a case-blind completer would swap a typed name for a listed one that
    // differs only in case when editing ends.
    if (QCompleter* completer = ui_->Addr_Edit->completer())
        completer->setCaseSensitivity(Qt::CaseSensitive);

    connect(ui_->OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui_->CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui_->Clear_But, &QPushButton::clicked, this, &TConfig_Dlg::Clear_ButClick);
    connect(ui_->SndStart_But, &QPushButton::clicked, this, [this] { SndBrowse_ButClick(true); });
    connect(ui_->SndStop_But, &QPushButton::clicked, this, [this] { SndBrowse_ButClick(false); });
    connect(ui_->App_But, &QPushButton::clicked, this, &TConfig_Dlg::App_ButClick);
    connect(ui_->LogFileName_But, &QPushButton::clicked, this, &TConfig_Dlg::LogFileName_ButClick);
    connect(ui_->LogLevel_TB, &QSlider::valueChanged, this, &TConfig_Dlg::LogLevel_TBChange);
    // Arrow keys move the check between the radio buttons without a click, so follow the checked state.
    for (QRadioButton* radio : {ui_->Tries_RB, ui_->Percent_RB, ui_->Speed_RB})
        connect(radio, &QRadioButton::toggled, this, &TConfig_Dlg::AnalizeModeClick);
    for (QLabel* placeholder : {ui_->StaticText16, ui_->StaticText17, ui_->StaticText18, ui_->StaticText19,
                                ui_->StaticText20, ui_->StaticText21})
        placeholder->installEventFilter(this);

    fill();
}

TConfig_Dlg::~TConfig_Dlg() = default;

void TConfig_Dlg::fill() {
    const Settings& s = settings_;
    for (const std::string& entry : RecentList::split(s.RecentList))
        ui_->Addr_Edit->addItem(QString::fromStdString(entry));
    ui_->Addr_Edit->setEditText(QString::fromStdString(s.Host));
    ui_->ResolveIP_CB->setChecked(s.ResolveIP);
    ui_->Buf_Edit->setText(QString::number(s.Buffer));
    ui_->Interval_Edit->setText(QString::number(s.Interval / 1000));

    if (s.AnalizeMode == 1)
        ui_->Percent_RB->setChecked(true);
    else if (s.AnalizeMode == 2)
        ui_->Speed_RB->setChecked(true);
    else
        ui_->Tries_RB->setChecked(true);
    AnalizeModeClick();

    ui_->Tries_Edit->setText(number(s.Tries));
    ui_->MinPercent_Edit->setText(number(s.MinPercent));
    ui_->MaxPercent_Edit->setText(number(s.MaxPercent));
    ui_->MinTime_Edit->setText(number(s.MinTime));
    ui_->MaxTime_Edit->setText(number(s.MaxTime));

    ui_->LogLevel_TB->setValue(s.LogLevel);
    ui_->LogAppend_CB->setChecked(s.LogAppend);
    ui_->LogFileName_Edit->setText(QString::fromStdString(s.LogFileName));
    LogLevel_TBChange();

    ui_->SndStart_Edit->setText(QString::fromStdString(s.SndStart));
    ui_->SndStop_Edit->setText(QString::fromStdString(s.SndStop));
    ui_->App_Edit->setText(QString::fromStdString(s.AppFileName));
    // A mode outside the list would leave nothing selected and no show command to store; take the first.
    int mode = 0;
    for (std::size_t i = 0; i < kRunModes.size(); ++i) {
        if (kRunModes[i] == s.AppMode) {
            mode = static_cast<int>(i);
            break;
        }
    }
    ui_->AppMode_CB->setCurrentIndex(mode);
    ui_->AppParam_Edit->setText(QString::fromStdString(s.AppParams));
}

void TConfig_Dlg::apply(const Hooks& hooks) {
    using namespace SettingsRules;
    Settings& s = settings_;

    s.Host = ui_->Addr_Edit->currentText().toStdString();
    std::vector<std::string> recent;
    for (int i = 0; i < ui_->Addr_Edit->count(); ++i)
        recent.push_back(ui_->Addr_Edit->itemText(i).toStdString());
    RecentList::remember(recent, s.Host);
    s.RecentList = RecentList::join(recent);
    s.ResolveIP = ui_->ResolveIP_CB->isChecked();

    s.Buffer = BufferFromText(text(ui_->Buf_Edit));
    s.Interval = IntervalFromText(text(ui_->Interval_Edit));
    s.AnalizeMode = ui_->Tries_RB->isChecked() ? 0 : (ui_->Percent_RB->isChecked() ? 1 : 2);
    s.Tries = TriesFromText(text(ui_->Tries_Edit));
    s.MinPercent = PercentFromText(text(ui_->MinPercent_Edit), 5);
    s.MaxPercent = PercentFromText(text(ui_->MaxPercent_Edit), 45);
    OrderPercents(s);
    s.MinTime = TimeFromText(text(ui_->MinTime_Edit), 100);
    s.MaxTime = TimeFromText(text(ui_->MaxTime_Edit), 500);
    OrderTimes(s);

    s.LogLevel = static_cast<std::uint8_t>(ui_->LogLevel_TB->value());
    s.LogAppend = ui_->LogAppend_CB->isChecked();
    s.LogFileName = text(ui_->LogFileName_Edit);
    if (s.LogLevel != 0 && hooks.openLogFile)
        hooks.openLogFile();

    s.SndStart = text(ui_->SndStart_Edit);
    if (!fileExists(s.SndStart))
        s.SndStart.clear();
    s.SndStop = text(ui_->SndStop_Edit);
    if (!fileExists(s.SndStop))
        s.SndStop.clear();

    s.AppFileName = text(ui_->App_Edit);
    int mode = ui_->AppMode_CB->currentIndex();
    s.AppMode = (mode >= 0 && mode < static_cast<int>(kRunModes.size())) ? kRunModes[static_cast<std::size_t>(mode)]
                                                                         : kRunModes[0];
    s.AppParams = text(ui_->AppParam_Edit);
    if (!fileExists(s.AppFileName)) {
        s.AppFileName.clear();
        s.AppParams.clear();
        s.AppMode = kRunModes[0];
    }

    if (hooks.updateTrayTip)
        hooks.updateTrayTip();
}

QString TConfig_Dlg::defaultExtensionForFilter(const QString& filter, int index) {
    QString rest = filter;
    int n = 2 * index - 1;
    do {
        rest.remove(0, rest.indexOf(QLatin1Char('|')) + 1);
    } while (--n > 0);
    qsizetype bar = rest.indexOf(QLatin1Char('|'));
    if (bar <= 2)
        return {};
    return rest.mid(2, bar - 2);
}

void TConfig_Dlg::Clear_ButClick() {
    if (!confirmClearRecent())
        return;
    // clear() would also empty the edit part, which keeps the host being typed.
    QString typed = ui_->Addr_Edit->currentText();
    ui_->Addr_Edit->clear();
    ui_->Addr_Edit->setEditText(typed);
}

void TConfig_Dlg::SndBrowse_ButClick(bool startSound) {
    QLineEdit* edit = startSound ? ui_->SndStart_Edit : ui_->SndStop_Edit;
    QString title = QStringLiteral("Select Sound file for ") +
                    (startSound ? QStringLiteral("Start") : QStringLiteral("Stop")) + QStringLiteral(" responding");
    QString chosen = pickSoundFile(title, edit->text());
    if (!chosen.isEmpty())
        edit->setText(chosen);
}

void TConfig_Dlg::App_ButClick() {
    QString chosen = pickApplication(ui_->App_Edit->text());
    if (!chosen.isEmpty())
        ui_->App_Edit->setText(chosen);
}

void TConfig_Dlg::LogFileName_ButClick() {
    QString chosen = pickLogFile(ui_->LogFileName_Edit->text());
    if (!chosen.isEmpty())
        ui_->LogFileName_Edit->setText(chosen);
}

void TConfig_Dlg::LogLevel_TBChange() {
    static const std::array<QString, 3> kNames = {QStringLiteral("Off"), QStringLiteral("Change Status"),
                                                  QStringLiteral("All requests")};
    int level = ui_->LogLevel_TB->value();
    ui_->LogLevel_ST->setText(kNames[static_cast<std::size_t>(std::clamp(level, 0, 2))]);
    bool on = level > 0;
    ui_->LogAppend_CB->setEnabled(on);
    ui_->LogFileName_Edit->setEnabled(on);
    ui_->LogFileName_But->setEnabled(on);
}

void TConfig_Dlg::AnalizeModeClick() {
    bool tries = ui_->Tries_RB->isChecked();
    bool percent = ui_->Percent_RB->isChecked();
    bool speed = ui_->Speed_RB->isChecked();
    for (QWidget* w : {static_cast<QWidget*>(ui_->StaticText3), static_cast<QWidget*>(ui_->Tries_Edit)})
        w->setEnabled(tries);
    for (QWidget* w : {static_cast<QWidget*>(ui_->StaticText4), static_cast<QWidget*>(ui_->MinPercent_Edit),
                       static_cast<QWidget*>(ui_->StaticText5), static_cast<QWidget*>(ui_->MaxPercent_Edit)})
        w->setEnabled(percent);
    for (QWidget* w : {static_cast<QWidget*>(ui_->StaticText6), static_cast<QWidget*>(ui_->MinTime_Edit),
                       static_cast<QWidget*>(ui_->StaticText7), static_cast<QWidget*>(ui_->MaxTime_Edit)})
        w->setEnabled(speed);
}

void TConfig_Dlg::InsertInParams(const QLabel* placeholder) {
    // The caption reads "%name% - description": the placeholder ends two characters before the dash.
    QString caption = placeholder->text();
    qsizetype dash = caption.indexOf(QLatin1Char('-'));
    if (dash < 2)
        return;
    ui_->AppParam_Edit->insert(caption.left(dash - 1));
}

bool TConfig_Dlg::confirmClearRecent() {
    return QMessageBox::question(this, QStringLiteral("Confirm"), QStringLiteral("Clear ALL items from recent list?"),
                                 QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

QString TConfig_Dlg::pickSoundFile(const QString& title, const QString& current) {
    return FileDialogs::openSound(this, title, current);
}

QString TConfig_Dlg::pickApplication(const QString& current) {
    return FileDialogs::openApplication(this, current);
}

QString TConfig_Dlg::pickLogFile(const QString& current) {
    return FileDialogs::saveLog(this, current);
}

bool TConfig_Dlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonDblClick) {
        if (auto* label = qobject_cast<QLabel*>(watched)) {
            InsertInParams(label);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TConfig_Dlg::showEvent(QShowEvent* event) {
    // Centred on the screen rather than over the owner.
    if (!centred_) {
        centred_ = true;
        QScreen* screen = parentWidget() != nullptr ? parentWidget()->screen() : QGuiApplication::primaryScreen();
        if (screen != nullptr) {
            QRect frame = frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            move(frame.topLeft());
        }
    }
    QDialog::showEvent(event);
}
