#include "app/options/OptionsDialog.h"

#include <QCompleter>
#include <QEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>

#include <algorithm>
#include <array>

#include "alerts/ProcessLauncher.h"
#include "app/options/DrawnForm.h"
#include "app/options/FileDialogs.h"
#include "app/options/RecentList.h"
#include "monitor/HostLookup.h"
#include "settings/Settings.h"
#include "settings/SettingsRules.h"
#include "ui_OptionsDialog.h"

namespace {

// The form's drawn size, and where its pages' content and its buttons lie in it.
constexpr QSize kDesignSize(321, 415);
constexpr int kDesignPagesHeight = 377;
constexpr int kDesignContentBottom = 346; // the Logging group's lower edge, the lowest of either page
constexpr int kDesignButtonsTop = 384;

const std::array<QString, 3> kLogLevelNames = {QStringLiteral("Off"), QStringLiteral("Change Status"),
                                               QStringLiteral("All requests")};

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

// The alert program is found where the launcher will look for it: a bare name such as notify-send on PATH.
bool launcherFinds(const std::string& name) {
    const std::string found = ProcessLauncher::resolve(name);
    return !found.empty() && QFileInfo(QString::fromLocal8Bit(found)).isFile();
}

} // namespace

OptionsDialog::OptionsDialog(QWidget* owner, const Settings& settings)
    : QDialog(owner), ui_(std::make_unique<Ui::OptionsDialog>()), settings_(settings) {
    ui_->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    form_ = std::make_unique<DrawnForm>(this, ui_->pages);
    form_->setDrawnSize(kDesignSize);

    // The host is stored as typed: a case-blind completer would swap a typed name for a listed one that
    // differs only in case when editing ends.
    if (QCompleter* completer = ui_->addressEdit->completer())
        completer->setCaseSensitivity(Qt::CaseSensitive);

    connect(ui_->okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui_->cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui_->clearRecentButton, &QPushButton::clicked, this, &OptionsDialog::clearRecentList);
    connect(ui_->startSoundBrowseButton, &QPushButton::clicked, this, [this] { browseSound(true); });
    connect(ui_->stopSoundBrowseButton, &QPushButton::clicked, this, [this] { browseSound(false); });
    connect(ui_->appBrowseButton, &QPushButton::clicked, this, &OptionsDialog::browseApplication);
    connect(ui_->logFileBrowseButton, &QPushButton::clicked, this, &OptionsDialog::browseLogFile);
    connect(ui_->logLevelSlider, &QSlider::valueChanged, this, &OptionsDialog::showLogLevel);
    // Arrow keys move the check between the radio buttons without a click, so follow the checked state.
    for (QRadioButton* radio : {ui_->triesRadio, ui_->percentRadio, ui_->timeRadio})
        connect(radio, &QRadioButton::toggled, this, &OptionsDialog::updateAnalysisControls);
    for (QLabel* placeholder : {ui_->statusPlaceholder, ui_->addressPlaceholder, ui_->codePlaceholder,
                                ui_->responsePlaceholder, ui_->errorPlaceholder, ui_->errcodePlaceholder})
        placeholder->installEventFilter(this);
    ui_->addressEdit->installEventFilter(this);
    ui_->addressEdit->lineEdit()->installEventFilter(this);
    ui_->pathIntervalSpin->setRange(static_cast<int>(SettingsLimits::minPathIntervalSeconds),
                                    static_cast<int>(SettingsLimits::maxPathIntervalSeconds));
    ui_->pathRoundsSpin->setRange(1, static_cast<int>(SettingsLimits::maxPathRounds));
    connect(ui_->pathWatchCheck, &QCheckBox::toggled, this, &OptionsDialog::updatePathControls);

    fill();
    fitToFont();
}

OptionsDialog::~OptionsDialog() = default;

void OptionsDialog::fitToFont() {
    if (!form_)
        return; // a font change during setupUi
    // The level's name changes with the slider: the form is fitted for the longest.
    const QString shown = ui_->logLevelText->text();
    ui_->logLevelText->setText(
        *std::max_element(kLogLevelNames.begin(), kLogLevelNames.end(), [this](const QString& a, const QString& b) {
            return ui_->logLevelText->fontMetrics().horizontalAdvance(a) <
                   ui_->logLevelText->fontMetrics().horizontalAdvance(b);
        }));
    form_->apply();
    ui_->logLevelText->setText(shown);
}

void OptionsDialog::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() != QEvent::FontChange && event->type() != QEvent::StyleChange)
        return;
    fitToFont();
    // A change of the desktop's font reaches each widget on its own, the controls of the styled groups maybe
    // after this one: fitted again once every widget has heard of it.
    if (!fitQueued_) {
        fitQueued_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                fitQueued_ = false;
                fitToFont();
            },
            Qt::QueuedConnection);
    }
}

void OptionsDialog::fill() {
    const Settings& s = settings_;
    for (const std::string& entry : RecentList::split(s.recentList))
        ui_->addressEdit->addItem(QString::fromStdString(entry));
    ui_->addressEdit->setEditText(QString::fromStdString(s.host));
    ui_->resolveIpCheck->setChecked(s.resolveIp);
    ui_->bufferEdit->setText(QString::number(s.buffer));
    ui_->intervalEdit->setText(QString::number(s.interval / 1000));
    ui_->historyDaysEdit->setText(QString::number(s.historyDays));

    if (s.analysisMode == AnalysisMode::Percent)
        ui_->percentRadio->setChecked(true);
    else if (s.analysisMode == AnalysisMode::Time)
        ui_->timeRadio->setChecked(true);
    else
        ui_->triesRadio->setChecked(true);
    updateAnalysisControls();

    ui_->triesEdit->setText(number(s.tries));
    ui_->minPercentEdit->setText(number(s.minPercent));
    ui_->maxPercentEdit->setText(number(s.maxPercent));
    ui_->minTimeEdit->setText(number(s.minTime));
    ui_->maxTimeEdit->setText(number(s.maxTime));

    ui_->logLevelSlider->setValue(static_cast<int>(s.logLevel));
    ui_->logAppendCheck->setChecked(s.logAppend);
    ui_->logFileEdit->setText(QString::fromStdString(s.logFileName));
    showLogLevel();

    ui_->startSoundEdit->setText(QString::fromStdString(s.startSound));
    ui_->stopSoundEdit->setText(QString::fromStdString(s.stopSound));
    ui_->appEdit->setText(QString::fromStdString(s.appFileName));
    // A mode outside the list would leave nothing selected and no show command to store; take the first.
    int mode = 0;
    for (std::size_t i = 0; i < kRunModes.size(); ++i) {
        if (kRunModes[i] == s.appMode) {
            mode = static_cast<int>(i);
            break;
        }
    }
    ui_->appModeCombo->setCurrentIndex(mode);
    ui_->appParamsEdit->setText(QString::fromStdString(s.appParams));
    ui_->pathWatchCheck->setChecked(s.pathWatch);
    ui_->pathIntervalSpin->setValue(s.pathInterval);
    ui_->pathRoundsSpin->setValue(s.pathRounds);
    updatePathControls();
    ui_->notifyCheck->setChecked(s.notify);
    ui_->autostartCheck->setChecked(s.autostart);
}

void OptionsDialog::showAutostartEntry(bool exists) {
    ui_->autostartCheck->setChecked(exists);
}

std::vector<QWidget*> OptionsDialog::controlsOf(SettingId id) const {
    Ui::OptionsDialog& u = *ui_;
    switch (id) {
    case SettingId::Host:
        return {u.addressLabel, u.addressEdit};
    // The list itself lies in the host's box, where it also serves a watched host; the program keeps it.
    case SettingId::RecentList:
        return {u.clearRecentButton};
    case SettingId::ResolveIp:
        return {u.resolveIpCheck};
    case SettingId::HistoryDays:
        return {u.historyDaysLabel, u.historyDaysEdit};
    case SettingId::Buffer:
        return {u.bufferLabel, u.bufferEdit};
    case SettingId::Interval:
        return {u.intervalLabel, u.intervalEdit};
    case SettingId::AnalysisMode:
        return {u.triesRadio, u.percentRadio, u.timeRadio};
    case SettingId::Tries:
        return {u.triesLabel, u.triesEdit};
    case SettingId::MinPercent:
        return {u.minPercentLabel, u.minPercentEdit};
    case SettingId::MaxPercent:
        return {u.maxPercentLabel, u.maxPercentEdit};
    case SettingId::MinTime:
        return {u.minTimeLabel, u.minTimeEdit};
    case SettingId::MaxTime:
        return {u.maxTimeLabel, u.maxTimeEdit};
    case SettingId::LogLevel:
        return {u.logLevelLabel, u.logLevelSlider, u.logLevelText};
    case SettingId::LogAppend:
        return {u.logAppendCheck};
    case SettingId::LogFileName:
        return {u.logFileLabel, u.logFileEdit, u.logFileBrowseButton};
    case SettingId::StartSound:
        return {u.startSoundLabel, u.startSoundEdit, u.startSoundBrowseButton};
    case SettingId::StopSound:
        return {u.stopSoundLabel, u.stopSoundEdit, u.stopSoundBrowseButton};
    case SettingId::AppFileName:
        return {u.appLabel, u.appEdit, u.appBrowseButton};
    case SettingId::AppMode:
        return {u.appModeLabel, u.appModeCombo};
    case SettingId::AppParams:
        return {u.appParamsLabel,    u.appParamsEdit,   u.addressPlaceholder, u.responsePlaceholder,
                u.statusPlaceholder, u.codePlaceholder, u.errorPlaceholder,   u.errcodePlaceholder};
    case SettingId::PathWatch:
        return {u.pathWatchCheck};
    case SettingId::PathInterval:
        return {u.pathIntervalLabel, u.pathIntervalSpin, u.pathIntervalUnit};
    case SettingId::PathRounds:
        return {u.pathRoundsSpin, u.pathRoundsLabel};
    case SettingId::Notify:
        return {u.notifyCheck};
    case SettingId::Autostart:
        return {u.autostartCheck};
    case SettingId::MetricsListen:
    case SettingId::HistoryWindowSize:
    case SettingId::HistorySpan:
    case SettingId::HistoryOverlay:
    case SettingId::HostsWindowSize:
    case SettingId::HostsWindowColumns:
    case SettingId::HostsWindowSort:
    case SettingId::RouteWindowSize:
    case SettingId::RouteRounds: // stored only: the dialog's pages have no room left for it
        break;
    }
    return {};
}

void OptionsDialog::setHostMode(bool hostOnly) {
    hostMode_ = hostOnly;
    for (const SettingsField& field : settingsFields())
        if (field.scope == SettingsScope::Program)
            for (QWidget* control : controlsOf(field.id))
                control->setVisible(!hostOnly);
    // A group whose every control went goes with them, frame and title.
    for (QGroupBox* group : {ui_->parametersGroup, ui_->analysisGroup, ui_->loggingGroup, ui_->soundsGroup,
                             ui_->runGroup, ui_->pathGroup, ui_->desktopGroup}) {
        const QList<QWidget*> children = group->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        const bool anyShown =
            std::any_of(children.begin(), children.end(), [](const QWidget* w) { return !w->isHidden(); });
        group->setVisible(anyShown);
    }
    // Without the clear button the host's box reaches the right edge, as the edits below it do.
    QRect& address = *form_->drawn(ui_->addressEdit);
    const QRect clear = *form_->drawn(ui_->clearRecentButton);
    address.setRight(hostOnly ? clear.right() : clear.left() - 1);
    setWindowTitle(hostOnly ? QStringLiteral("Host Options") : QStringLiteral("Options"));
    fitToPages();
}

void OptionsDialog::setWatchedCheck(std::function<bool(const std::string&)> alreadyWatched) {
    alreadyWatched_ = std::move(alreadyWatched);
}

void OptionsDialog::accept() {
    const QString host = ui_->addressEdit->currentText();
    if (alreadyWatched_ && alreadyWatched_(host.toStdString())) {
        // Two entries for one host would share its history and metrics series and count its probes twice.
        showRefusal(QStringLiteral("%1 is already watched.\nEdit that host in the Hosts window, or choose another "
                                   "address.")
                        .arg(host.trimmed()));
        ui_->pages->setCurrentWidget(ui_->generalPage);
        ui_->addressEdit->setFocus(Qt::OtherFocusReason);
        ui_->addressEdit->lineEdit()->selectAll();
        return;
    }
    if (hostLookup_ && host.trimmed().toStdString() != settings_.host && !host.trimmed().isEmpty()) {
        if (hostLookup_->pending())
            return;
        // Sure to be found (an address) it is taken at once; a name waits for the name service with OK off.
        ui_->okButton->setEnabled(false);
        hostLookup_->find(host.trimmed().toStdString(), false, [this, host](const LookupAnswer& answer) {
            ui_->okButton->setEnabled(true);
            if (answer.found()) {
                QDialog::accept();
                return;
            }
            showRefusal(QStringLiteral("%1 was not found.\nCheck the name, or type an address.").arg(host.trimmed()));
            ui_->pages->setCurrentWidget(ui_->generalPage);
            ui_->addressEdit->setFocus(Qt::OtherFocusReason);
            ui_->addressEdit->lineEdit()->selectAll();
        });
        return;
    }
    QDialog::accept();
}

void OptionsDialog::setHostCheck(std::shared_ptr<HostResolver> resolver) {
    hostLookup_ = std::make_unique<HostLookup>(std::move(resolver), [this](std::function<void()> task) {
        QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
    });
}

bool OptionsDialog::checkingHost() const {
    return hostLookup_ && hostLookup_->pending();
}

void OptionsDialog::fitToPages() {
    // The pages keep their drawn width; the dialog loses the rows that no page fills any more.
    int lowest = 0;
    for (int page = 0; page < ui_->pages->count(); ++page)
        for (const QWidget* group : ui_->pages->widget(page)->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (!group->isHidden())
                lowest = std::max(lowest, form_->drawn(group)->bottom() + 1);
    const int spare = std::max(0, kDesignContentBottom - lowest);
    form_->drawn(ui_->pages)->setHeight(kDesignPagesHeight - spare);
    for (QPushButton* b : {ui_->okButton, ui_->cancelButton})
        form_->drawn(b)->moveTop(kDesignButtonsTop - spare);
    form_->setDrawnSize({kDesignSize.width(), kDesignSize.height() - spare});
    fitToFont();
}

Settings OptionsDialog::edited() const {
    Settings s = editedControls();
    // Hidden controls still hold the program's values, but a host's dialog is no place to change them.
    if (hostMode_)
        for (const SettingsField& field : settingsFields())
            if (field.scope == SettingsScope::Program)
                field.read(s, field.write(settings_));
    return s;
}

Settings OptionsDialog::editedControls() const {
    using namespace SettingsRules;
    Settings s = settings_;

    s.host = ui_->addressEdit->currentText().toStdString();
    std::vector<std::string> recent;
    for (int i = 0; i < ui_->addressEdit->count(); ++i)
        recent.push_back(ui_->addressEdit->itemText(i).toStdString());
    RecentList::remember(recent, s.host);
    s.recentList = RecentList::join(recent);
    s.resolveIp = ui_->resolveIpCheck->isChecked();

    s.buffer = bufferFromText(text(ui_->bufferEdit));
    s.interval = intervalFromText(text(ui_->intervalEdit));
    s.historyDays = historyDaysFromText(text(ui_->historyDaysEdit));
    s.analysisMode = ui_->triesRadio->isChecked()     ? AnalysisMode::Tries
                     : ui_->percentRadio->isChecked() ? AnalysisMode::Percent
                                                      : AnalysisMode::Time;
    s.tries = triesFromText(text(ui_->triesEdit));
    s.minPercent = percentFromText(text(ui_->minPercentEdit), SettingsDefaults::minPercent);
    s.maxPercent = percentFromText(text(ui_->maxPercentEdit), SettingsDefaults::maxPercent);
    orderPercents(s);
    s.minTime = timeFromText(text(ui_->minTimeEdit), SettingsDefaults::minTime);
    s.maxTime = timeFromText(text(ui_->maxTimeEdit), SettingsDefaults::maxTime);
    orderTimes(s);

    s.logLevel = clampLogLevel(static_cast<std::uint8_t>(ui_->logLevelSlider->value()));
    s.logAppend = ui_->logAppendCheck->isChecked();
    s.logFileName = text(ui_->logFileEdit);

    s.startSound = text(ui_->startSoundEdit);
    if (!fileExists(s.startSound))
        s.startSound.clear();
    s.stopSound = text(ui_->stopSoundEdit);
    if (!fileExists(s.stopSound))
        s.stopSound.clear();

    s.appFileName = text(ui_->appEdit);
    int mode = ui_->appModeCombo->currentIndex();
    s.appMode = (mode >= 0 && mode < static_cast<int>(kRunModes.size())) ? kRunModes[static_cast<std::size_t>(mode)]
                                                                         : kRunModes[0];
    s.appParams = text(ui_->appParamsEdit);
    if (!launcherFinds(s.appFileName)) {
        s.appFileName.clear();
        s.appParams.clear();
        s.appMode = kRunModes[0];
    }

    // The boxes hold their values within the setting's bounds, so they are taken as they stand.
    s.pathWatch = ui_->pathWatchCheck->isChecked();
    s.pathInterval = ui_->pathIntervalSpin->value();
    s.pathRounds = ui_->pathRoundsSpin->value();

    s.notify = ui_->notifyCheck->isChecked();
    // Whether the entry is written or removed to match is up to whoever keeps the entry.
    s.autostart = ui_->autostartCheck->isChecked();
    return s;
}

void OptionsDialog::clearRecentList() {
    if (!confirmClearRecent())
        return;
    // clear() would also empty the edit part, which keeps the host being typed.
    QString typed = ui_->addressEdit->currentText();
    ui_->addressEdit->clear();
    ui_->addressEdit->setEditText(typed);
}

void OptionsDialog::browseSound(bool startSound) {
    QLineEdit* edit = startSound ? ui_->startSoundEdit : ui_->stopSoundEdit;
    QString title = QStringLiteral("Select Sound file for ") +
                    (startSound ? QStringLiteral("Start") : QStringLiteral("Stop")) + QStringLiteral(" responding");
    QString chosen = pickSoundFile(title, edit->text());
    if (!chosen.isEmpty())
        edit->setText(chosen);
}

void OptionsDialog::browseApplication() {
    QString chosen = pickApplication(ui_->appEdit->text());
    if (!chosen.isEmpty())
        ui_->appEdit->setText(chosen);
}

void OptionsDialog::browseLogFile() {
    QString chosen = pickLogFile(ui_->logFileEdit->text());
    if (!chosen.isEmpty())
        ui_->logFileEdit->setText(chosen);
}

void OptionsDialog::showLogLevel() {
    int level = ui_->logLevelSlider->value();
    ui_->logLevelText->setText(kLogLevelNames[static_cast<std::size_t>(std::clamp(level, 0, 2))]);
    bool on = level > 0;
    ui_->logAppendCheck->setEnabled(on);
    ui_->logFileEdit->setEnabled(on);
    ui_->logFileBrowseButton->setEnabled(on);
}

void OptionsDialog::updateAnalysisControls() {
    bool tries = ui_->triesRadio->isChecked();
    bool percent = ui_->percentRadio->isChecked();
    bool speed = ui_->timeRadio->isChecked();
    for (QWidget* w : {static_cast<QWidget*>(ui_->triesLabel), static_cast<QWidget*>(ui_->triesEdit)})
        w->setEnabled(tries);
    for (QWidget* w : {static_cast<QWidget*>(ui_->minPercentLabel), static_cast<QWidget*>(ui_->minPercentEdit),
                       static_cast<QWidget*>(ui_->maxPercentLabel), static_cast<QWidget*>(ui_->maxPercentEdit)})
        w->setEnabled(percent);
    for (QWidget* w : {static_cast<QWidget*>(ui_->maxTimeLabel), static_cast<QWidget*>(ui_->minTimeEdit),
                       static_cast<QWidget*>(ui_->minTimeLabel), static_cast<QWidget*>(ui_->maxTimeEdit)})
        w->setEnabled(speed);
}

void OptionsDialog::updatePathControls() {
    const bool on = ui_->pathWatchCheck->isChecked();
    for (QWidget* w : controlsOf(SettingId::PathInterval))
        w->setEnabled(on);
    for (QWidget* w : controlsOf(SettingId::PathRounds))
        w->setEnabled(on);
}

void OptionsDialog::insertPlaceholder(const QLabel* placeholder) {
    // The caption reads "%name% - description": the placeholder ends two characters before the dash.
    QString caption = placeholder->text();
    qsizetype dash = caption.indexOf(QLatin1Char('-'));
    if (dash < 2)
        return;
    ui_->appParamsEdit->insert(caption.left(dash - 1));
}

bool OptionsDialog::confirmClearRecent() {
    return QMessageBox::question(this, QStringLiteral("Confirm"), QStringLiteral("Clear ALL items from recent list?"),
                                 QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void OptionsDialog::showRefusal(const QString& text) {
    QMessageBox::warning(this, windowTitle(), text);
}

QString OptionsDialog::pickSoundFile(const QString& title, const QString& current) {
    return FileDialogs::openSound(this, title, current);
}

QString OptionsDialog::pickApplication(const QString& current) {
    return FileDialogs::openApplication(this, current);
}

QString OptionsDialog::pickLogFile(const QString& current) {
    return FileDialogs::saveLog(this, current);
}

bool OptionsDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && (watched == ui_->addressEdit || watched == ui_->addressEdit->lineEdit())) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        QLineEdit* edit = ui_->addressEdit->lineEdit();
        const QCompleter* completer = ui_->addressEdit->completer();
        // Qt takes Enter on a selection that reaches the end as accepting an inline completion and puts the
        // completer's current entry in the box, even when the selection is the whole host (selected when the
        // dialog opens or the box is tabbed into) and that entry is another host of the list. Only a
        // selection after typed text that completes to the shown text is a completion; otherwise Enter is OK.
        const bool completing =
            edit->selectionStart() > 0 && completer != nullptr && completer->currentCompletion() == edit->text();
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && edit->hasSelectedText() && !completing)
            edit->deselect();
    }
    if (event->type() == QEvent::MouseButtonDblClick) {
        if (auto* label = qobject_cast<QLabel*>(watched)) {
            insertPlaceholder(label);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void OptionsDialog::showEvent(QShowEvent* event) {
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
    // The host is what the dialog is opened for most often (and the only thing a start without one needs),
    // so typing goes there at once, replacing the host shown.
    ui_->addressEdit->setFocus(Qt::OtherFocusReason);
    ui_->addressEdit->lineEdit()->selectAll();
    QDialog::showEvent(event);
}
