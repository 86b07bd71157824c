#include "app/MainWindow.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <system_error>
#include <variant>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDialog>
#include <QEvent>
#include <QEventLoop>
#include <QFontMetrics>
#include <QKeySequence>
#include <QMenu>
#include <QMetaObject>
#include <QStyle>
#include <QStyleFactory>
#include <QUrl>

#include "alerts/AlertActions.h"
#include "alerts/EventLog.h"
#include "alerts/ProcessLauncher.h"
#include "app/common/AppSettings.h"
#include "app/common/ApplicationFont.h"
#include "app/desktop/AutostartEntry.h"
#include "app/history/HistoryService.h"
#include "app/history/HistoryWindow.h"
#include "app/hosts/HostList.h"
#include "app/hosts/HostsWindow.h"
#include "app/options/OptionsDialog.h"
#include "app/route/OutageRoutes.h"
#include "app/common/QtMessagePort.h"
#include "app/desktop/QtNotifier.h"
#include "app/desktop/QtSoundPlayer.h"
#include "app/QtWindowPort.h"
#include "app/route/RouteWindow.h"
#include "app/RunControl.h"
#include "app/SignalWatcher.h"
#include "app/common/StatusIcons.h"
#include "app/desktop/TrayController.h"
#include "engine/IcmpEchoChannel.h"
#include "engine/PosixHostResolver.h"
#include "engine/ProbeWorker.h"
#include "history/HistoryLedger.h"
#include "settings/CommandLine.h"
#include "settings/HostListFile.h"
#include "settings/SettingsStore.h"
#include "settings/StoredValues.h"
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

MainWindow::MainWindow(Services services, QWidget* parent)
    : QWidget(parent), services_(std::move(services)), ui_(std::make_unique<Ui::MainWindow>()),
      settings_(new AppSettings(this)) {
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
    createServices();
    initialize();
}

MainWindow::~MainWindow() {
    shutdown();
}

Settings& MainWindow::settings() {
    return settings_->quietly();
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
    connect(historyAction_, &QAction::triggered, this, &MainWindow::showHistory);
    connect(routeAction_, &QAction::triggered, this, &MainWindow::showRoute);
    connect(hostsAction_, &QAction::triggered, this, &MainWindow::showHosts);
    connect(ui_->resetButton, &QPushButton::clicked, this, [this] { runControl_->resetStatistics(); });
}

void MainWindow::createServices() {
    hadArguments_ = services_.startedWithArguments || !services_.arguments.empty();
    if (!services_.resolver)
        services_.resolver = std::make_shared<PosixHostResolver>();
    if (!services_.channel)
        services_.channel = std::make_unique<IcmpEchoChannel>();
    if (!services_.messages)
        services_.messages = std::make_unique<QtMessagePort>(this);

    QtWindowPort::Handlers handlers;
    handlers.probed = [this](const ProbeEvent& event) { showProbe(event); };
    handlers.postLog = [this](const ProbeEvent& event) {
        eventLog_->writeRecord(event.hostStatus, ProbeText::replyLine(event));
    };
    handlers.runEnded = [this](RunId, RunEnd end) { runControl_->handleRunEnded(end); };
    windowPort_ = std::make_unique<QtWindowPort>(std::move(handlers));

    eventLog_ = std::make_unique<EventLog>(settings_->value(), *services_.messages);
    // Off in the settings, so that it stays off and is saved so; the run under way has its own copy to switch off.
    eventLog_->loggingStopped = [this] {
        settings_->turnLoggingOff();
        if (worker_)
            worker_->post(LoggingOffCommand{});
    };
    sound_ = std::make_unique<QtSoundPlayer>();
    launcher_ = std::make_unique<ProcessLauncher>();
    // The launcher runs on the worker thread; the desktop's document opener belongs to the window thread.
    launcher_->openDocument = [this](const std::string& path) {
        QMetaObject::invokeMethod(
            this, [path] { QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromUtf8(path))); },
            Qt::QueuedConnection);
        return true;
    };
    notifier_ = std::make_unique<QtNotifier>();
    alerts_ = std::make_unique<AlertActions>(*sound_, *launcher_, notifier_.get());
    tray_ = new TrayController(this, trayMenu_, settings_->value(), this);

    RunControl::Widgets widgets;
    widgets.ping = pingAction_;
    widgets.reset = ui_->resetButton;
    widgets.labels = valueFields_;
    RunControl::Services run;
    run.resolver = services_.resolver;
    run.messages = services_.messages.get();
    run.showStatus = [this](HostStatus status) { showStatus(status); };
    run.post = [this](WorkerCommand command) {
        // The history file opens with the first run, before that run's first probe can be recorded.
        if (history_ && std::holds_alternative<StartCommand>(command))
            history_->open();
        if (worker_)
            worker_->post(std::move(command));
        else if (std::holds_alternative<StartCommand>(command)) // no worker to probe: answer as a failed start
            QMetaObject::invokeMethod(
                runControl_, [this] { runControl_->handleRunEnded(RunEnd::ChannelFailed); }, Qt::QueuedConnection);
    };
    run.openOptions = [this] { ui_->optionsButton->click(); };
    runControl_ = new RunControl(settings_->value(), widgets, std::move(run), this);
    connect(runControl_, &RunControl::stateChanged, this, &MainWindow::updateOptionsAction);
    connect(runControl_, &RunControl::stateChanged, tray_, [this] { tray_->setMonitoring(runControl_->isRunning()); });
    connect(runControl_, &RunControl::payloadTooLarge, settings_, &AppSettings::lowerPayload);
    connect(settings_, &AppSettings::changed, this, &MainWindow::followSettings);

    connect(ui_->trayButton, &QPushButton::clicked, tray_, [this] { tray_->moveToTray(); });
    createHostList();

    if (services_.watchSignals) {
        signals_ = new SignalWatcher(this);
        connect(signals_, &SignalWatcher::terminationRequested, this, &MainWindow::exitOnSignal);
    }
}

void MainWindow::initialize() {
    QCoreApplication::setApplicationName(windowTitle());
    setWindowTitle(windowTitle() + QStringLiteral(" ver.") +
                   QString::fromStdString(fileVersionString(QCoreApplication::applicationFilePath().toStdString())));
    setWindowIcon(StatusIcons::large(HostStatus::NA));

    // Nobody listens yet: loading and the command line are no change to announce.
    Settings& initial = settings_->quietly();
    loadSettings(
        initial,
        [this, &initial] {
            if (initial.logLevel != LogLevel::Off)
                eventLog_->openLogFile();
        },
        &storedTexts_);
    StoredHostList storedHosts;
    loadHostList(storedHosts, &storedTexts_);
    HistoryWindow::keepSizeIn(&initial.historyWindowSize);
    HistoryWindow::keepSpanIn(&initial.historySpan);
    StartRequests requests;
    if (hadArguments_) {
        applyCommandLine(initial, services_.arguments, requests);
        if (initial.logLevel != LogLevel::Off)
            eventLog_->openLogFile();
    }
    requests.tray = requests.tray || services_.autostart;
    if (!initial.host.empty())
        ui_->hostValue->setText(QString::fromStdString(initial.host));

    history_ = std::make_unique<HistoryService>(initial.historyDays, services_.historyPath);
    history_->onRouteRequested = [this](std::int64_t id) { showStoredRoute(id); };
    OutageRoutes::Services routes;
    routes.keep = [this](RouteSnapshot snapshot) {
        if (history_)
            if (const std::shared_ptr<HistoryLedger> ledger = history_->ledger())
                ledger->recordRoute(std::move(snapshot));
    };
    routes.traced = services_.routeTraced;
    routes.notify = [this](const std::string& host, const std::string& line) {
        // The same notifier as the edge's, so the service replaces that notification with this one.
        if (settings_->value().notify)
            notifier_->notify(host, HostStatus::Bad, line);
    };
    outageRoutes_ = std::make_unique<OutageRoutes>(std::move(routes));
    outageRoutes_->setRounds(initial.routeRounds);
    worker_ = std::make_unique<ProbeWorker>(*services_.channel, *windowPort_, alerts_.get());
    worker_->addObserver(history_->observer());
    worker_->addObserver(outageRoutes_->watch());
    for (const std::shared_ptr<ProbeObserver>& observer : services_.probeObservers)
        worker_->addObserver(*observer);
    try {
        worker_->start();
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "ostrevo: cannot start the probe thread: %s\n", e.what());
        worker_.reset();
    }

    // The other hosts come back as they were; the main host starts only when the command line asks.
    hostList_->restore(storedHosts);
    bool start = requests.start;
    if (requests.tray) {
        // As the Tray button does, but without a notification area there is no one to answer a box yet: the
        // window simply stays and the run starts all the same.
        tray_->moveToTray(false);
        // Handled once the event loop has shown the window: the double-click hides it again.
        if (tray_->isInTray())
            QMetaObject::invokeMethod(
                this, [this] { tray_->handleTrayActivation(QSystemTrayIcon::DoubleClick); }, Qt::QueuedConnection);
        start = true;
    }
    // Pressed once the window is up, so that what starting reports has a window to belong to.
    if (start)
        QMetaObject::invokeMethod(ui_->startButton, &QPushButton::click, Qt::QueuedConnection);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (tray_->isInTray()) {
        hide();
        event->ignore();
        return;
    }
    if (runControl_->isRunning()) {
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

void MainWindow::shutdown() {
    if (outageRoutes_)
        outageRoutes_->stop(); // a trace under way ends now rather than after its rounds
    routeWindow_.reset();      // ends its trace, and puts its size into the settings before they are saved
    if (windowPort_)
        windowPort_->shutdown(); // a worker still in a run must not wait on a window that is going away
    if (worker_) {
        worker_->post(QuitCommand{});
        if (!worker_->joinFor(std::chrono::seconds(5)))
            std::fprintf(stderr, "ostrevo: waiting for the probe worker to end\n");
        worker_.reset();
    }
    // The hosts' runs end before the history they feed; their running state is what the next start restores.
    const StoredHostList hosts = hostList_->stored();
    delete hostsWindow_; // puts its size into the settings
    hostsWindow_ = nullptr;
    tray_->setHostsSource({});
    delete hostList_;
    hostList_ = nullptr;
    history_.reset(); // its window has put its size into the settings
    HistoryWindow::keepSizeIn(nullptr);
    HistoryWindow::keepSpanIn(nullptr);
    tray_->removeTrayIcon();
    eventLog_->release();
    if (!hadArguments_) {
        saveChangedSettings(settings_->value(), storedTexts_);
        saveChangedHostList(hosts, storedTexts_);
    }
}

void MainWindow::showProbe(const ProbeEvent& event) {
    // Most probes change one or two of the texts; only those fields are touched and repainted.
    for (const auto& [label, text] : ProbeText::labels(event)) {
        QLabel* field = valueFields_[static_cast<std::size_t>(label)];
        const QString shown = QString::fromStdString(text);
        if (field->text() != shown)
            field->setText(shown);
    }
    hostList_->showMainProbe(event); // its row, before the tray reads it
    if (event.statusChanged)
        showStatus(event.hostStatus);
    tray_->showProbe(event);
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
    tray_->showStatus(status);
}

bool MainWindow::modalDialogOpen() const {
    return optionsOpen_ || QApplication::activeModalWidget() != nullptr;
}

void MainWindow::updateOptionsAction() {
    // A start waiting for the name service counts as running: the dialog must not change what it will use.
    optionsAction_->setEnabled(!runControl_->isRunning() && !runControl_->lookupPending());
}

void MainWindow::openOptions() {
    updateOptionsAction();
    if (!optionsAction_->isEnabled() || modalDialogOpen())
        return;
    optionsOpen_ = true;
    OptionsDialog dialog(this, settings_->value());
    // Its layout is fixed in pixels for the font it was drawn with; the desktop's could cut its captions.
    dialog.setFont(ApplicationFont::designFont());
    const bool entryShown = AutostartEntry::exists();
    dialog.showAutostartEntry(entryShown);
    const int result = services_.runOptionsDialog ? services_.runOptionsDialog(dialog) : dialog.exec();
    if (result == QDialog::Accepted) {
        autostartEntryShown_ = entryShown;
        settings_->confirm(dialog.edited());
    }
    optionsOpen_ = false;
}

// Each concern in the order OK has always dealt with them, so that their boxes keep their order too.
void MainWindow::followSettings(const SettingsChange& change) {
    const Settings& s = settings_->value();
    if (change.fields.containsAny({SettingId::LogLevel, SettingId::LogAppend, SettingId::LogFileName}) &&
        s.logLevel != LogLevel::Off)
        eventLog_->openLogFile();
    if (change.fields.contains(SettingId::Host))
        tray_->updateTrayTip();
    if (outageRoutes_ && change.fields.contains(SettingId::RouteRounds))
        outageRoutes_->setRounds(s.routeRounds);
    if (change.confirmed)
        followAutostart(change);
    if (history_) {
        if (change.fields.contains(SettingId::HistoryDays))
            history_->setDays(s.historyDays);
        if (change.fields.contains(SettingId::Host))
            history_->setHost(QString::fromStdString(s.host));
    }
    // The user's choice is kept at once rather than at exit, which a crash or a kill never reaches; what the
    // program changed on its own (a lowered payload, logging turned off) waits for the exit as it always has.
    if (change.confirmed && !hadArguments_ && !saveChangedSettings(s, storedTexts_)) {
        const std::string file = storeFilePath(SettingsKey);
        services_.messages->showError(file.empty() ? "Can't save the settings: HOME is not set."
                                                   : "Can't save the settings to " + file +
                                                         ". The previous settings file is kept.",
                                      "Options - Error");
    }
}

void MainWindow::followAutostart(const SettingsChange& change) {
    const bool wanted = settings_->value().autostart;
    // The entry follows what is stored: with arguments nothing is, so the entry stays as it is too.
    if (hadArguments_)
        return;
    // The box opened showing whether an entry is there. Left ticked over an entry the setting did not know of
    // (made by hand, or ours from settings that were lost), that entry is kept as it is rather than replaced
    // by ours; otherwise a ticked box writes the entry again, so that it follows the program if it has moved.
    // Unticked, an entry the box showed is removed; with none there, there is nothing to do.
    const bool keepTheEntry = wanted && autostartEntryShown_ && !change.before.autostart;
    const bool nothingToRemove = !wanted && !autostartEntryShown_;
    if (keepTheEntry || nothingToRemove)
        return;
    const QString error =
        wanted ? AutostartEntry::install(QCoreApplication::applicationFilePath()) : AutostartEntry::remove();
    if (error.isEmpty())
        return;
    // The setting says whether an entry of ours is there: one that could not be written leaves it off, one
    // that could not be removed leaves it on.
    settings_->change([wanted](Settings& s) { s.autostart = !wanted; });
    services_.messages->showError(error.toStdString(), "Autostart - Error");
}

void MainWindow::restoreFromTray() {
    show();
    raise();
    activateWindow();
}

void MainWindow::showHistory() {
    if (history_)
        history_->showWindow(QString::fromStdString(settings_->value().host));
}

RouteWindow* MainWindow::routeWindow() {
    if (!routeWindow_) {
        routeWindow_ = std::make_unique<RouteWindow>(*settings_);
        RouteWindow::HostSource source;
        source.runningTarget = [this] { return runControl_->target(); };
        source.resolver = services_.resolver;
        routeWindow_->setHostSource(std::move(source));
    }
    return routeWindow_.get();
}

void MainWindow::showStoredRoute(std::int64_t snapshotId) {
    if (!history_)
        return;
    const std::shared_ptr<HistoryLedger> ledger = history_->ledger();
    const std::optional<RouteSnapshot> snapshot = ledger ? ledger->routeSnapshot(snapshotId) : std::nullopt;
    if (!snapshot)
        return; // pruned meanwhile
    RouteWindow* window = routeWindow();
    window->showStored(OutageRoutes::resultOf(*snapshot), snapshot->takenMs, QString::fromStdString(snapshot->host));
    window->present();
}

void MainWindow::showRoute() {
    RouteWindow* window = routeWindow();
    const bool wasShown = window->isVisible();
    window->present();
    // Opened, it traces at once; shown already, it keeps what it shows (a stored trace, a stopped one).
    if (!wasShown && !window->isTracing())
        window->startTracing();
}

void MainWindow::exitProgram() {
    tray_->moveToTray();
    close();
}

void MainWindow::exitOnSignal() {
    // Dialogs first, so that nothing is left waiting on a user who asked the program to end.
    for (int guard = 0; guard < 8; ++guard) {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr)
            break;
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
    }
    if (tray_->isInTray())
        tray_->moveToTray();
    close();
}

void MainWindow::createHostList() {
    HostList::Services hosts;
    hosts.resolver = services_.resolver;
    hosts.messages = services_.messages.get();
    hosts.makeRunner = [this](WindowPort& face) {
        std::vector<ProbeObserver*> observers;
        if (history_)
            observers.push_back(&history_->observer());
        for (const std::shared_ptr<ProbeObserver>& observer : services_.probeObservers)
            observers.push_back(observer.get());
        return makeHubRunner(face, alerts_.get(), observers);
    };
    hosts.beforeStart = [this] {
        if (history_)
            history_->open();
    };
    hosts.startMain = [this] {
        if (!runControl_->isRunning() && !runControl_->lookupPending())
            runControl_->toggleRun();
    };
    hosts.stopMain = [this] {
        if (runControl_->isRunning())
            runControl_->toggleRun();
    };
    hosts.mainBusy = [this] { return runControl_->lookupPending(); };
    hostList_ = new HostList(*settings_, std::move(hosts), this);
    connect(runControl_, &RunControl::stateChanged, hostList_,
            [this] { hostList_->setMainRunning(runControl_->isRunning()); });
    connect(hostList_, &HostList::userChanged, this, &MainWindow::saveHostList);

    tray_->setHostsSource([this]() -> const std::vector<WatchedHost>& { return hostList_->hosts(); });
    connect(hostList_, &HostList::hostChanged, tray_, &TrayController::hostsChanged);
    connect(hostList_, &HostList::statusesChanged, tray_, &TrayController::hostStatusesChanged);
    connect(hostList_, &HostList::listChanged, tray_, [this] {
        tray_->updateTrayTip();
        tray_->hostStatusesChanged();
    });
}

void MainWindow::showHosts() {
    if (hostsWindow_ == nullptr) {
        // A window of its own that the main window owns, so that it goes with it.
        hostsWindow_ = new HostsWindow(*settings_, this);
        hostsWindow_->setHosts(hostList_->hosts());
        connect(hostList_, &HostList::listChanged, hostsWindow_,
                [this] { hostsWindow_->setHosts(hostList_->hosts()); });
        connect(hostList_, &HostList::hostChanged, hostsWindow_, [this](RunId id) {
            if (const WatchedHost* host = hostList_->find(id))
                hostsWindow_->updateHost(*host);
        });
        connect(hostsWindow_, &HostsWindow::addRequested, this, [this] { openHostOptions(std::nullopt); });
        connect(hostsWindow_, &HostsWindow::editRequested, this, [this](RunId id) { openHostOptions(id); });
        connect(hostsWindow_, &HostsWindow::removeRequested, hostList_, &HostList::remove);
        connect(hostsWindow_, &HostsWindow::startRequested, hostList_, &HostList::start);
        connect(hostsWindow_, &HostsWindow::stopRequested, hostList_, &HostList::stop);
        connect(hostsWindow_, &HostsWindow::startAllRequested, hostList_, &HostList::startAll);
        connect(hostsWindow_, &HostsWindow::stopAllRequested, hostList_, &HostList::stopAll);
        connect(hostsWindow_, &HostsWindow::makeMainRequested, hostList_, &HostList::makeMain);
        connect(hostsWindow_, &HostsWindow::historyRequested, this, [this](RunId id) {
            const WatchedHost* host = hostList_->find(id);
            if (host == nullptr || !history_)
                return;
            // The window keeps the main host as its first; the chooser shows the one asked for.
            history_->showWindow(QString::fromStdString(settings_->value().host));
            if (HistoryWindow* window = history_->window())
                window->showHost(QString::fromStdString(host->settings.host));
        });
    }
    if (hostsWindow_->isMinimized())
        hostsWindow_->showNormal();
    else
        hostsWindow_->show();
    hostsWindow_->raise();
    hostsWindow_->activateWindow();
}

void MainWindow::openHostOptions(std::optional<RunId> id) {
    const bool mainHost = id == HostList::kMainId;
    const WatchedHost* host = id ? hostList_->find(*id) : nullptr;
    if ((id && host == nullptr) || modalDialogOpen())
        return;
    // The main host's fields change only between its runs, as in the main options.
    if (mainHost) {
        updateOptionsAction();
        if (!optionsAction_->isEnabled())
            return;
    }
    Settings shown = settings_->value(); // the program-wide fields (the recent list) are the program's
    copyHostFields(host ? host->settings : Settings{}, shown);
    optionsOpen_ = true;
    OptionsDialog dialog(hostsWindow_ != nullptr ? static_cast<QWidget*>(hostsWindow_) : this, shown);
    dialog.setFont(ApplicationFont::designFont());
    dialog.setHostMode(true);
    const int result = services_.runOptionsDialog ? services_.runOptionsDialog(dialog) : dialog.exec();
    optionsOpen_ = false;
    if (result != QDialog::Accepted)
        return;
    const Settings edited = dialog.edited();
    // The host typed joins the program's recent list, as in the main options.
    settings_->change([&edited, mainHost](Settings& s) {
        s.recentList = edited.recentList;
        if (mainHost)
            copyHostFields(edited, s);
    });
    if (mainHost) {
        if (!hadArguments_)
            saveChangedSettings(settings_->value(), storedTexts_);
    } else if (id) {
        hostList_->edit(*id, edited);
    } else {
        hostList_->add(edited);
    }
}

void MainWindow::saveHostList() {
    // The user's choice is kept at once, as OK in the options keeps it; with arguments nothing is written.
    if (hadArguments_)
        return;
    saveChangedSettings(settings_->value(), storedTexts_);
    saveChangedHostList(hostList_->stored(), storedTexts_);
}
