#include "app/MainWindow.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QEvent>
#include <QEventLoop>
#include <QFontMetrics>
#include <QKeySequence>
#include <QMenu>
#include <QShowEvent>
#include <QStyle>
#include <QStyleFactory>

#include "app/RunControl.h"
#include "app/common/AppSettings.h"
#include "app/common/StatusIcons.h"
#include "app/desktop/AutostartEntry.h"
#include "app/desktop/TrayController.h"
#include "app/options/OptionsDialog.h"
#include "text/ProbeText.h"
#include "ui_MainWindow.h"

namespace {

// Links a push button to an action the way the toolkit links menu items: caption, enabled state, click.
void linkButton(QPushButton* button, QAction* action) {
    const auto sync = [button, action] {
        button->setText(action->text());
        button->setEnabled(action->isEnabled());
    };
    sync();
    QObject::connect(action, &QAction::changed, button, sync);
    QObject::connect(button, &QPushButton::clicked, action, &QAction::trigger);
}

// How much a drawn box must grow for `needed` to fit in it.
double growthFor(QSize needed, QSize drawn) {
    if (drawn.width() <= 0 || drawn.height() <= 0)
        return 1.0;
    return std::max(static_cast<double>(needed.width()) / drawn.width(),
                    static_cast<double>(needed.height()) / drawn.height());
}

// Edges are scaled rather than sizes, so that fields drawn side by side stay side by side.
QRect scaledRect(const QRect& drawn, double factor) {
    const auto edge = [factor](int v) { return static_cast<int>(std::lround(v * factor)); };
    return QRect(QPoint(edge(drawn.left()), edge(drawn.top())),
                 QPoint(edge(drawn.left() + drawn.width()) - 1, edge(drawn.top() + drawn.height()) - 1));
}

// Room a push button needs for a caption: the text plus the frame and margins the styles draw around it.
QSize buttonNeeds(const QPushButton* button, const QString& caption) {
    const QFontMetrics metrics(button->font());
    QString plain = caption;
    plain.remove(QLatin1Char('&'));
    return {metrics.horizontalAdvance(plain) + 2 * metrics.averageCharWidth(), metrics.height() + 6};
}
} // namespace

MainWindow::MainWindow(AppSettings& settings, std::function<int(OptionsDialog&)> runOptionsDialog, QWidget* parent)
    : QWidget(parent), settings_(settings), runOptionsDialog_(std::move(runOptionsDialog)),
      ui_(std::make_unique<Ui::MainWindow>()) {
    ui_->setupUi(this);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    valueFields_ = {ui_->hostValue, ui_->statusValue, ui_->totalValue, ui_->lostValue,
                    ui_->minValue,  ui_->maxValue,    ui_->avgValue};
    // A field paints its own background, so a new text repaints that field alone and not the group box
    // behind it, whose framed title costs more to draw than all the fields together.
    for (QLabel* field : valueFields_)
        field->setAutoFillBackground(true);
    // The Windows style's group frame runs through the middle of its title; the desktop styles put the title
    // above the frame, which would cut through the first row of fields laid out for the Windows one.
    if (QStyle* frameStyle = QStyleFactory::create(QStringLiteral("Windows"))) {
        frameStyle->setParent(ui_->statisticsGroup);
        ui_->statisticsGroup->setStyle(frameStyle);
    }
    fitToFont();
    createActions();
}

MainWindow::~MainWindow() = default;

void MainWindow::attach(RunControl& runControl, TrayController& tray) {
    runControl_ = &runControl;
    tray_ = &tray;
    connect(runControl_, &RunControl::stateChanged, this, &MainWindow::updateOptionsAction);
    connect(ui_->trayButton, &QPushButton::clicked, tray_, [this] { tray_->moveToTray(); });
    // Run control marks every start and stop on the Start action before it writes the fields of a new run:
    // what the last run's probes left goes into them first, so that nothing older overwrites them later.
    connect(pingAction_, &QAction::changed, this, &MainWindow::showPendingProbe);
}

Settings& MainWindow::settings() {
    return settings_.quietly();
}

void MainWindow::createActions() {
    pingAction_ = new QAction(QStringLiteral("&Start"), this);
    optionsAction_ = new QAction(QStringLiteral("&Options"), this);
    exitAction_ = new QAction(QStringLiteral("E&xit"), this);
    popupAction_ = new QAction(QStringLiteral("Show &window"), this);
    historyAction_ = new QAction(QStringLiteral("&History"), this);
    historyAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    addAction(historyAction_); // the shortcut works in the main window
    routeAction_ = new QAction(QStringLiteral("&Route"), this);
    routeAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    addAction(routeAction_);
    hostsAction_ = new QAction(QStringLiteral("Ho&sts"), this);
    hostsAction_->setObjectName(QStringLiteral("hostsAction"));
    hostsAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    addAction(hostsAction_);

    trayMenu_ = new QMenu(this);
    trayMenu_->addAction(pingAction_); // Start1
    trayMenu_->setDefaultAction(pingAction_);
    trayMenu_->addAction(popupAction_); // Showwindow1
    trayMenu_->addAction(historyAction_);
    trayMenu_->addAction(hostsAction_);
    trayMenu_->addAction(routeAction_);
    trayMenu_->addSeparator();            // N1
    trayMenu_->addAction(optionsAction_); // Options1
    trayMenu_->addAction(exitAction_);    // Exit1
    connect(trayMenu_, &QMenu::aboutToShow, this, &MainWindow::updateOptionsAction);

    linkButton(ui_->startButton, pingAction_);
    linkButton(ui_->optionsButton, optionsAction_);

    // The tray menu stays reachable while a dialog or box is open; nothing may start, open or exit under it.
    connect(pingAction_, &QAction::triggered, this, [this] {
        if (!modalDialogOpen())
            runControl_->toggleRun();
    });
    connect(optionsAction_, &QAction::triggered, this, &MainWindow::openOptions);
    connect(exitAction_, &QAction::triggered, this, [this] {
        if (!modalDialogOpen())
            exitProgram();
    });
    connect(popupAction_, &QAction::triggered, this, &MainWindow::restoreFromTray);
    connect(ui_->resetButton, &QPushButton::clicked, this, [this] { runControl_->resetStatistics(); });
}

// A signal may close the window while start-up still shows a box, before the run control and the tray are attached.
void MainWindow::closeEvent(QCloseEvent* event) {
    if (tray_ != nullptr && tray_->isInTray()) {
        hide();
        event->ignore();
        return;
    }
    if (runControl_ != nullptr && runControl_->isRunning()) {
        ui_->startButton->click();
        QEventLoop waitForStop;
        const auto connection = connect(runControl_, &RunControl::stateChanged, &waitForStop, [&] {
            if (!runControl_->isRunning())
                waitForStop.quit();
        });
        if (runControl_->isRunning())
            waitForStop.exec();
        disconnect(connection);
    }
    event->accept();
    closed_ = true;
    Q_EMIT closed();
}

void MainWindow::showProbe(const ProbeEvent& event) {
    // Nobody sees the fields of a window in the tray, and setting a label's text costs more than the probe did.
    if (tray_ != nullptr && tray_->isInTray() && !isVisible()) {
        if (event.good())
            pendingReply_ = event;
        pendingProbe_ = event;
        return;
    }
    showPendingProbe();
    setFields(event);
}

void MainWindow::showPendingProbe() {
    // Each field ends with the text of the last probe that set it, as when every probe was shown.
    std::optional<ProbeEvent> reply = std::exchange(pendingReply_, std::nullopt);
    std::optional<ProbeEvent> probe = std::exchange(pendingProbe_, std::nullopt);
    if (reply && (!probe || !probe->good()))
        setFields(*reply);
    if (probe)
        setFields(*probe);
}

void MainWindow::showEvent(QShowEvent* event) {
    showPendingProbe();
    QWidget::showEvent(event);
}

void MainWindow::setFields(const ProbeEvent& event) {
    // Most probes change one or two of the texts; only those fields are touched and repainted.
    for (const auto& [label, text] : ProbeText::labels(event)) {
        QLabel* field = valueFields_[static_cast<std::size_t>(label)];
        const QString shown = QString::fromStdString(text);
        if (field->text() != shown)
            field->setText(shown);
    }
}

void MainWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        fitToFont();
}

// The form is drawn in pixels for an 11-pixel sans-serif face. With whatever font the desktop gives, it is
// scaled as a whole by the least factor that lets every caption and button text fit, so the fields keep their
// arrangement and grow instead of clipping. The value fields get a fixed size: a new text in one of them
// then never lays out the form again.
void MainWindow::fitToFont() {
    if (!ui_ || valueFields_[0] == nullptr)
        return; // changeEvent during setupUi
    if (drawnGeometry_.empty()) {
        drawnSize_ = size();
        for (QWidget* parent : {static_cast<QWidget*>(this), static_cast<QWidget*>(ui_->statisticsGroup)})
            for (QWidget* child : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                if (!child->isWindow())
                    drawnGeometry_.emplace_back(child, child->geometry());
    }
    double factor = 1.0;
    for (const auto& [widget, drawn] : drawnGeometry_) {
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            const bool valueField = std::find(valueFields_.begin(), valueFields_.end(), label) != valueFields_.end();
            const QSize needed =
                valueField ? QSize(0, label->fontMetrics().height() + 2 * label->frameWidth()) : label->sizeHint();
            factor = std::max(factor, growthFor(needed, drawn.size()));
        } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
            QStringList captions{button->text()};
            if (button == ui_->startButton) // the captions run control gives it
                captions << QStringLiteral("Wait...") << QStringLiteral("Start") << QStringLiteral("Stop");
            for (const QString& caption : captions)
                factor = std::max(factor, growthFor(buttonNeeds(button, caption), drawn.size()));
        }
    }
    for (const auto& [widget, drawn] : drawnGeometry_) {
        const QRect rect = scaledRect(drawn, factor);
        if (auto* label = qobject_cast<QLabel*>(widget);
            label != nullptr && std::find(valueFields_.begin(), valueFields_.end(), label) != valueFields_.end())
            label->setFixedSize(rect.size());
        widget->setGeometry(rect);
    }
    setFixedSize(scaledRect(QRect(QPoint(0, 0), drawnSize_), factor).size());
}

void MainWindow::showStatus(HostStatus status) {
    hostStatus_ = status;
    setWindowIcon(StatusIcons::large(status));
}

bool MainWindow::modalDialogOpen() const {
    return optionsOpen_ || QApplication::activeModalWidget() != nullptr;
}

void MainWindow::updateOptionsAction() {
    // A start waiting for the name service counts as running: the dialog must not change what it will use.
    optionsAction_->setEnabled(runControl_ == nullptr || (!runControl_->isRunning() && !runControl_->lookupPending()));
}

void MainWindow::openOptions() {
    updateOptionsAction();
    if (!optionsAction_->isEnabled() || modalDialogOpen())
        return;
    optionsOpen_ = true;
    OptionsDialog dialog(this, settings_.value());
    if (watchedCheck_)
        dialog.setWatchedCheck(watchedCheck_);
    const bool entryShown = AutostartEntry::exists();
    dialog.showAutostartEntry(entryShown);
    const int result = runOptionsDialog_ ? runOptionsDialog_(dialog) : dialog.exec();
    if (result == QDialog::Accepted) {
        autostartEntryShown_ = entryShown;
        settings_.confirm(dialog.edited());
    }
    optionsOpen_ = false;
}

void MainWindow::restoreFromTray() {
    show();
    raise();
    activateWindow();
}

void MainWindow::exitProgram() {
    tray_->moveToTray();
    close();
}
