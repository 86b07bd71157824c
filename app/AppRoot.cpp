#include "app/AppRoot.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ostream>

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QMetaObject>
#include <QPushButton>
#include <QUrl>

#include "alerts/AlertActions.h"
#include "alerts/EventLog.h"
#include "alerts/ProcessLauncher.h"
#include "app/MainWindow.h"
#include "app/RunControl.h"
#include "app/SignalWatcher.h"
#include "app/common/AppSettings.h"
#include "app/common/QtMessagePort.h"
#include "app/common/ScreenFit.h"
#include "app/common/StatusIcons.h"
#include "app/desktop/AutostartEntry.h"
#include "app/desktop/QtNotifier.h"
#include "app/desktop/QtSoundPlayer.h"
#include "app/desktop/TrayController.h"
#include "app/history/HistoryService.h"
#include "app/history/HistoryWindow.h"
#include "app/hosts/HostList.h"
#include "app/hosts/HostsWindow.h"
#include "app/options/OptionsDialog.h"
#include "app/route/OutageRoutes.h"
#include "app/route/PathRoutes.h"
#include "app/route/PathSource.h"
#include "app/route/RouteWindow.h"
#include "engine/PosixHostResolver.h"
#include "history/HistoryLedger.h"
#include "settings/CommandLine.h"
#include "settings/HostIdentity.h"
#include "settings/HostListFile.h"
#include "settings/SettingsStore.h"
#include "settings/StoredValues.h"
#include "text/ProbeText.h"
#include "ui_MainWindow.h"

AppRoot::AppRoot(Services services, QObject* parent)
    : QObject(parent), services_(std::move(services)), settings_(new AppSettings(this)),
      mainWindow_(std::make_unique<MainWindow>(*settings_, services_.runOptionsDialog)) {
    MainWindow* window = mainWindow_.get();
    // Every window of the program, the main one included, opens fully on the screen of the main window.
    QCoreApplication::instance()->installEventFilter(new ScreenFit(window, this));
    connect(window->historyAction(), &QAction::triggered, this, &AppRoot::showHistory);
    connect(window->routeAction(), &QAction::triggered, this, &AppRoot::showRoute);
    connect(window->hostsAction(), &QAction::triggered, this, &AppRoot::showHosts);
    createServices();
    initialize();
}

AppRoot::~AppRoot() {
    shutdown();
}

Settings& AppRoot::settings() {
    return settings_->quietly();
}

void AppRoot::createServices() {
    hadArguments_ = services_.startedWithArguments || !services_.arguments.empty();
    if (!services_.resolver)
        services_.resolver = std::make_shared<PosixHostResolver>();
    if (!services_.messages)
        services_.messages = std::make_unique<QtMessagePort>(mainWindow_.get());

    eventLog_ = std::make_unique<EventLog>(settings_->value(), *services_.messages);
    // Off in the settings, so that it stays off and is saved so; the run under way has its own copy to switch off.
    eventLog_->loggingStopped = [this] {
        if (supervisor_ && hostList_)
            supervisor_->loggingOff(hostList_->mainId());
        settings_->turnLoggingOff();
    };
    sound_ = std::make_unique<QtSoundPlayer>();
    launcher_ = std::make_unique<ProcessLauncher>();
    // The launcher runs on the hub's thread; the desktop's document opener belongs to the window thread.
    launcher_->openDocument = [this](const std::string& path) {
        QMetaObject::invokeMethod(
            this, [path] { QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromUtf8(path))); },
            Qt::QueuedConnection);
        return true;
    };
    notifier_ = std::make_unique<QtNotifier>();
    alerts_ = std::make_unique<AlertActions>(*sound_, *launcher_, notifier_.get());
    MainWindow* window = mainWindow_.get();
    tray_ = new TrayController(window, window->trayMenu(), settings_->value(), window);
    connect(settings_, &AppSettings::changed, this, &AppRoot::followSettings);

    if (services_.watchSignals) {
        signals_ = new SignalWatcher(this);
        connect(signals_, &SignalWatcher::terminationRequested, this, &AppRoot::exitOnSignal);
    }
}

// One supervisor over one hub for every host, the main one first, with every observer registered once.
void AppRoot::createRuns() {
    HostSupervisor::Services hosts;
    hosts.resolver = services_.resolver;
    hosts.post = [this](std::function<void()> task) {
        QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
    };
    hosts.makeRunner = [this](WindowPort& face) {
        std::vector<ProbeObserver*> observers;
        observers.push_back(&history_->observer());
        observers.push_back(&outageRoutes_->watch()); // every host is traced at its outages
        observers.push_back(&pathRoutes_->watch());
        for (const std::shared_ptr<ProbeObserver>& observer : services_.probeObservers)
            observers.push_back(observer.get());
        observers.push_back(notifier_.get()); // a run's end withdraws its host's notification
        return makeHubRunner(face, alerts_.get(), observers, services_.sockets);
    };
    // The history file opens with the first run, before that run's first probe can be recorded.
    hosts.beforeRun = [this] {
        if (history_)
            history_->open();
    };
    supervisor_ = std::make_unique<HostSupervisor>(std::move(hosts));
    supervisor_->setProgramSettings(settings_->value());
    supervisor_->addMain(settings_->value());
    supervisor_->addListener(*this);

    MainWindow* window = mainWindow_.get();
    RunControl::Widgets widgets;
    widgets.ping = window->pingAction();
    widgets.reset = window->ui()->resetButton;
    widgets.labels = window->valueFields();
    RunControl::Services run;
    run.messages = services_.messages.get();
    run.showStatus = [this](HostStatus status) { showStatus(status); };
    run.showMain = [this](const WatchedHost& host) { showMain(host); };
    run.openOptions = [window] { window->ui()->optionsButton->click(); };
    runControl_ = new RunControl(settings_->value(), *supervisor_, widgets, std::move(run), window);
    window->attach(*runControl_, *tray_);
    connect(runControl_, &RunControl::stateChanged, tray_, [this] { tray_->setMonitoring(runControl_->isRunning()); });
    connect(runControl_, &RunControl::payloadTooLarge, settings_, &AppSettings::lowerPayload);

    createHostList();
}

void AppRoot::initialize() {
    MainWindow* window = mainWindow_.get();
    QCoreApplication::setApplicationName(window->windowTitle());
    window->setWindowTitle(
        window->windowTitle() + QStringLiteral(" ver.") +
        QString::fromStdString(fileVersionString(QCoreApplication::applicationFilePath().toStdString())));
    window->setWindowIcon(StatusIcons::large(HostStatus::NA));

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
    HistoryWindow::keepOverlayIn(&initial.historyOverlay);
    StartRequests requests;
    if (hadArguments_) {
        applyCommandLine(initial, services_.arguments, requests);
        if (initial.logLevel != LogLevel::Off)
            eventLog_->openLogFile();
    }
    requests.tray = requests.tray || services_.autostart;
    if (!initial.host.empty())
        window->ui()->hostValue->setText(QString::fromStdString(initial.host));

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
        // The same notifier as the edge's, so the service replaces the host's notification with this one.
        if (settings_->value().notify)
            notifier_->amend(host, HostStatus::Bad, line);
    };
    outageRoutes_ = std::make_unique<OutageRoutes>(std::move(routes));
    outageRoutes_->setRounds(initial.routeRounds);
    createPathRoutes();
    createRuns();
    followPaths();

    // The other hosts come back as they were; the main host starts only when the command line asks.
    hostList_->restore(storedHosts);
    pathRoutes_->follow(hostList_->hosts());
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
        QMetaObject::invokeMethod(window->ui()->startButton, &QPushButton::click, Qt::QueuedConnection);
}

void AppRoot::shutdown() {
    if (outageRoutes_)
        outageRoutes_->stop(); // a trace under way ends now rather than after its rounds
    if (pathRoutes_)
        pathRoutes_->stop();
    routeWindow_.reset(); // ends its trace, and puts its size into the settings before they are saved
    storedRouteWindows_.clear();
    // The hosts' runs end before the history they feed; their running state is what the next start restores.
    const StoredHostList hosts = hostList_->stored();
    delete hostsWindow_; // puts its size into the settings
    hostsWindow_ = nullptr;
    tray_->setHostsSource({});
    delete hostList_;
    hostList_ = nullptr;
    supervisor_.reset(); // ends the hub and every run; its listeners go with it
    history_.reset();    // its window has put its size into the settings
    HistoryWindow::keepSizeIn(nullptr);
    HistoryWindow::keepSpanIn(nullptr);
    tray_->removeTrayIcon();
    eventLog_->release();
    if (!hadArguments_) {
        saveChangedSettings(settings_->value(), storedTexts_);
        saveChangedHostList(hosts, storedTexts_);
    }
}

void AppRoot::probed(const WatchedHost& host, const ProbeEvent& event) {
    if (!host.main)
        return;
    mainWindow_->showProbe(event);
    if (event.statusChanged)
        showStatus(event.hostStatus);
    tray_->showProbe(event);
}

void AppRoot::logDue(const WatchedHost& host, const ProbeEvent& event) {
    if (host.main)
        eventLog_->writeRecord(event.hostStatus, ProbeText::replyLine(event));
}

// Another host became the main one with its run as it stands: the window and the tray show where it is.
void AppRoot::showMain(const WatchedHost& host) {
    if (host.last)
        mainWindow_->showProbe(*host.last);
    showStatus(host.running ? host.status : HostStatus::NA);
    if (host.last)
        tray_->showProbe(*host.last);
}

void AppRoot::showStatus(HostStatus status) {
    mainWindow_->showStatus(status);
    tray_->showStatus(status);
}

// Each concern in the order OK has always dealt with them, so that their boxes keep their order too.
void AppRoot::followSettings(const SettingsChange& change) {
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

void AppRoot::followAutostart(const SettingsChange& change) {
    const bool wanted = settings_->value().autostart;
    // The entry follows what is stored: with arguments nothing is, so the entry stays as it is too.
    if (hadArguments_)
        return;
    // The box opened showing whether an entry is there. Left ticked over an entry the setting did not know of
    // (made by hand, or ours from settings that were lost), that entry is kept as it is rather than replaced
    // by ours; otherwise a ticked box writes the entry again, so that it follows the program if it has moved.
    // Unticked, an entry the box showed is removed; with none there, there is nothing to do.
    const bool keepTheEntry = wanted && mainWindow_->autostartEntryShown() && !change.before.autostart;
    const bool nothingToRemove = !wanted && !mainWindow_->autostartEntryShown();
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

void AppRoot::showHistory() {
    if (history_)
        history_->showWindow(QString::fromStdString(settings_->value().host));
}

std::unique_ptr<RouteWindow> AppRoot::makeRouteWindow() {
    auto window = std::make_unique<RouteWindow>(*settings_);
    RouteWindow::HostSource source;
    source.runningTarget = [this] { return runControl_->target(); };
    source.resolver = services_.resolver;
    window->setHostSource(std::move(source));
    // The path is read from a history kept already; a look at the window makes no file.
    const auto kept = [this] { return history_ ? history_->keptLedger() : nullptr; };
    PathSource path;
    path.minutes = [kept](const std::string& host, std::int64_t from, std::int64_t to) {
        const std::shared_ptr<HistoryLedger> ledger = kept();
        return ledger ? ledger->pathMinutes(host, from, to) : std::vector<PathMinute>{};
    };
    path.changes = [kept](const std::string& host, std::int64_t from, std::int64_t to) {
        const std::shared_ptr<HistoryLedger> ledger = kept();
        return ledger ? ledger->routeChanges(host, from, to) : std::vector<RouteChange>{};
    };
    path.write = [kept](PathSource::Format format, const std::string& host, std::int64_t from, std::int64_t to,
                        std::ostream& out) {
        const std::shared_ptr<HistoryLedger> ledger = kept();
        if (!ledger)
            return false;
        return format == PathSource::Format::Csv ? ledger->exportPathCsv(host, from, to, out)
                                                 : ledger->exportPathJson(host, from, to, out);
    };
    path.problem = [kept] {
        const std::shared_ptr<HistoryLedger> ledger = kept();
        return ledger ? ledger->problem() : std::string();
    };
    window->setPathSource(std::move(path));
    return window;
}

RouteWindow* AppRoot::routeWindow() {
    if (!routeWindow_)
        routeWindow_ = makeRouteWindow();
    return routeWindow_.get();
}

std::vector<RouteWindow*> AppRoot::storedRouteWindows() const {
    std::vector<RouteWindow*> windows;
    for (const auto& window : storedRouteWindows_)
        windows.push_back(window.get());
    return windows;
}

void AppRoot::showStoredRoute(std::int64_t snapshotId) {
    if (!history_)
        return;
    const std::shared_ptr<HistoryLedger> ledger = history_->ledger();
    const std::optional<RouteSnapshot> snapshot = ledger ? ledger->routeSnapshot(snapshotId) : std::nullopt;
    if (!snapshot)
        return; // pruned meanwhile
    // A live trace is never given up for a stored one: that opens in a window beside it (one that traces
    // nothing now, else a new one).
    RouteWindow* window = routeWindow();
    if (window->isTracing()) {
        const auto idle = std::find_if(storedRouteWindows_.begin(), storedRouteWindows_.end(),
                                       [](const auto& other) { return !other->isTracing(); });
        if (idle != storedRouteWindows_.end()) {
            window = idle->get();
        } else {
            storedRouteWindows_.push_back(makeRouteWindow());
            ScreenFit::placeBeside(*storedRouteWindows_.back(), *window);
            window = storedRouteWindows_.back().get();
        }
    }
    window->showStored(OutageRoutes::resultOf(*snapshot), snapshot->takenMs, QString::fromStdString(snapshot->host));
    window->present();
}

void AppRoot::showRoute() {
    RouteWindow* window = routeWindow();
    const bool wasShown = window->isVisible();
    window->present();
    // Opened, it shows the path kept for the host, else traces at once; shown already, it keeps what it shows.
    if (!wasShown && !window->isTracing() && !window->showKeptPath())
        window->startTracing();
}

void AppRoot::exitOnSignal() {
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
    mainWindow_->close();
}

void AppRoot::createHostList() {
    HostList::Services hosts;
    hosts.messages = services_.messages.get();
    hosts.startMain = [this] {
        if (!runControl_->isRunning() && !runControl_->lookupPending())
            runControl_->toggleRun();
    };
    hosts.stopMain = [this] {
        if (runControl_->isRunning())
            runControl_->toggleRun();
    };
    hostList_ = new HostList(*settings_, *supervisor_, std::move(hosts), mainWindow_.get());
    mainWindow_->setWatchedCheck(watchedBesides(std::nullopt, true));
    connect(hostList_, &HostList::userChanged, this, &AppRoot::saveHostList);

    tray_->setHostsSource([this]() -> const std::vector<WatchedHost>& { return hostList_->hosts(); });
    connect(hostList_, &HostList::hostChanged, tray_, &TrayController::hostsChanged);
    connect(hostList_, &HostList::statusesChanged, tray_, &TrayController::hostStatusesChanged);
    connect(hostList_, &HostList::listChanged, tray_, [this] {
        tray_->updateTrayTip();
        tray_->hostStatusesChanged();
    });
}

void AppRoot::showHosts() {
    if (hostsWindow_ == nullptr) {
        // A window of its own that the main window owns, so that it goes with it.
        hostsWindow_ = new HostsWindow(*settings_, mainWindow_.get());
        hostsWindow_->setHosts(hostList_->hosts());
        connect(hostList_, &HostList::listChanged, hostsWindow_,
                [this] { hostsWindow_->setHosts(hostList_->hosts()); });
        connect(hostList_, &HostList::hostChanged, hostsWindow_, &HostsWindow::updateHost);
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

// Whether a typed host is one of the watched hosts other than `except` (the one being edited), or than the main
// host, whichever that is when the check is made.
std::function<bool(const std::string&)> AppRoot::watchedBesides(std::optional<RunId> except, bool mainHost) const {
    return [this, except, mainHost](const std::string& typed) {
        const std::optional<RunId> besides = mainHost ? std::optional<RunId>(hostList_->mainId()) : except;
        const auto& hosts = hostList_->hosts();
        return std::any_of(hosts.begin(), hosts.end(), [&](const WatchedHost& host) {
            return host.id != besides && HostIdentity::same(host.settings.host, typed);
        });
    };
}

void AppRoot::openHostOptions(std::optional<RunId> id) {
    const bool mainHost = id == hostList_->mainId();
    const WatchedHost* host = id ? hostList_->find(*id) : nullptr;
    if ((id && host == nullptr) || mainWindow_->modalDialogOpen())
        return;
    // The main host's fields change only between its runs, as in the main options.
    if (mainHost) {
        mainWindow_->updateOptionsAction();
        if (!mainWindow_->optionsAction()->isEnabled())
            return;
    }
    Settings shown = settings_->value(); // the program-wide fields (the recent list) are the program's
    copyHostFields(host ? host->settings : Settings{}, shown);
    mainWindow_->setOptionsOpen(true);
    OptionsDialog dialog(hostsWindow_ != nullptr ? static_cast<QWidget*>(hostsWindow_) : mainWindow_.get(), shown);
    dialog.setHostMode(true);
    dialog.setWatchedCheck(watchedBesides(id));
    // A host added or renamed is found first, so that a mistyped name never joins the list.
    if (!mainHost)
        dialog.setHostCheck(services_.resolver);
    const int result = services_.runOptionsDialog ? services_.runOptionsDialog(dialog) : dialog.exec();
    mainWindow_->setOptionsOpen(false);
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

void AppRoot::saveHostList() {
    // The user's choice is kept at once, as OK in the options keeps it; with arguments nothing is written.
    if (hadArguments_)
        return;
    saveChangedSettings(settings_->value(), storedTexts_);
    saveChangedHostList(hostList_->stored(), storedTexts_);
}

void AppRoot::createPathRoutes() {
    PathRoutes::Services paths;
    paths.observers = services_.pathObservers;
    paths.observers.push_back(&history_->pathObserver());
    paths.changed = [this](const std::string& host, const std::string& sentence) { tellRouteChange(host, sentence); };
    pathRoutes_ = std::make_unique<PathRoutes>(std::move(paths));
}

void AppRoot::followPaths() {
    // A host's PathWatch, PathInterval and PathRounds reach its row (the main host's through its settings).
    auto follow = [this] {
        if (pathRoutes_ && hostList_)
            pathRoutes_->follow(hostList_->hosts());
    };
    connect(hostList_, &HostList::listChanged, this, follow);
    connect(settings_, &AppSettings::changed, this, follow, Qt::QueuedConnection);
}

void AppRoot::tellRouteChange(const std::string& host, const std::string& sentence) {
    const WatchedHost* watched = nullptr;
    for (const WatchedHost& row : hostList_->hosts())
        if (row.settings.host == host)
            watched = &row;
    if (watched == nullptr)
        return;
    if (watched->main) {
        if (eventLog_->isOpen())
            eventLog_->writeRecord(watched->status, sentence);
    } else {
        hostList_->writeLog(host, sentence);
    }
    if (settings_->value().notify)
        notifier_->notify(watched->id, host, watched->status, sentence);
}
