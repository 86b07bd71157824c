#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QObject>

#include "alerts/MessagePort.h"
#include "engine/HostResolver.h"
#include "engine/HubSocket.h"
#include "monitor/HostSupervisor.h"
#include "settings/Settings.h"
#include "settings/SettingsStore.h"
#include "types/ProbeEvent.h"
#include "types/ProbeObserver.h"

struct SettingsChange;

class AlertActions;
class AppSettings;
class EventLog;
class HistoryService;
class HostList;
class HostsWindow;
class MainWindow;
class OptionsDialog;
class OutageRoutes;
class PathObserver;
class PathRoutes;
class ProcessLauncher;
class QtNotifier;
class QtSoundPlayer;
class RouteWindow;
class RunControl;
class SignalWatcher;
class TrayController;

// The desktop program, assembled: the settings and their owner, the log, the alert actions, the host supervisor
// over one hub for every host (the main one first), the main host's run control, the history, the route traces
// at outages, the tray, the signals and the windows (the main one at once, the Hosts and Route windows on first
// use). Its creation loads the settings and starts the hub; its destruction ends the hosts' runs, removes the
// tray icon, releases the log and saves the settings. Started without arguments, OK in the options dialog saves them
// too, so that a crash does not lose them; each save writes only what this instance changed, so that another instance's
// values stay.
class AppRoot : public QObject, private HostSupervisor::Listener {
    Q_OBJECT
public:
    // What the program is built from; anything left empty gets the real implementation.
    struct Services {
        std::vector<std::string> arguments; // the command line, program path not included
        // The process had arguments, Qt's own (-style, -platform ...) included: the settings are then not saved.
        bool startedWithArguments = false;
        std::shared_ptr<HostResolver> resolver;
        HubSocket::Opener sockets; // the hub's sockets; empty: the kernel's
        std::unique_ptr<MessagePort> messages;
        std::function<int(OptionsDialog&)> runOptionsDialog; // shows the dialog, gives its result
        bool watchSignals = true; // SIGINT, SIGTERM and SIGHUP end the program like the tray menu's Exit
        // Started by the desktop session (--autostart): to the tray and a run, as /tray asks, and unlike
        // any argument this one still lets the settings be saved at exit.
        bool autostart = false;
        // Told of every probe on the hub's thread (history, metrics); kept alive until the hub has ended.
        std::vector<std::shared_ptr<ProbeObserver>> probeObservers;
        std::string historyPath; // the history file; empty for the user's data folder
        // Told of each route trace taken at an outage (the metrics): host, address, hop where loss begins.
        std::function<void(const std::string&, const std::string&, std::optional<std::uint32_t>)> routeTraced;
        // Told of every path watching trace and route change on the trace's thread (the metrics); they queue.
        std::vector<PathObserver*> pathObservers;
    };

    explicit AppRoot(Services services, QObject* parent = nullptr);
    ~AppRoot() override;

    [[nodiscard]] MainWindow& mainWindow() const { return *mainWindow_; }
    // The Route window, made on first use.
    [[nodiscard]] RouteWindow* routeWindow();
    // The windows opened beside it for stored traces while it traced, oldest first.
    [[nodiscard]] std::vector<RouteWindow*> storedRouteWindows() const;
    [[nodiscard]] HostList& hostList() const { return *hostList_; }
    [[nodiscard]] HostSupervisor& supervisor() const { return *supervisor_; }
    // Null until the Hosts window has been opened.
    [[nodiscard]] HostsWindow* hostsWindow() const { return hostsWindow_; }
    [[nodiscard]] HistoryService* history() const { return history_.get(); }
    [[nodiscard]] RunControl& runControl() const { return *runControl_; }
    [[nodiscard]] TrayController& tray() const { return *tray_; }
    [[nodiscard]] QtNotifier& notifier() const { return *notifier_; }
    // Writes through settings() announce nothing: tests set a scene with it. The program changes its
    // settings through the owner, which announces each change.
    [[nodiscard]] Settings& settings();
    [[nodiscard]] AppSettings& settingsOwner() const { return *settings_; }

private:
    void createServices();
    void initialize();
    void createRuns();
    void shutdown();
    // The main host's reports, for its window, tray and log.
    void probed(const WatchedHost& host, const ProbeEvent& event) override;
    void logDue(const WatchedHost& host, const ProbeEvent& event) override;
    void showMain(const WatchedHost& host);
    void showStatus(HostStatus status);
    void exitOnSignal();
    void showHistory();
    void showRoute();
    // Opens a trace kept in the ledger in the Route window, or beside it while it traces.
    void showStoredRoute(std::int64_t snapshotId);
    [[nodiscard]] std::unique_ptr<RouteWindow> makeRouteWindow();
    void showHosts();
    void createHostList();
    // The host-mode options for a host: an existing one (`id`), or a new one (none).
    void openHostOptions(std::optional<RunId> id);
    // Whether a typed host is already watched by an entry other than `except`, for the options dialogs.
    [[nodiscard]] std::function<bool(const std::string&)> watchedBesides(std::optional<RunId> except,
                                                                         bool mainHost = false) const;
    void saveHostList();
    void followSettings(const SettingsChange& change);
    void followAutostart(const SettingsChange& change);
    // Path watching: the hosts whose path is kept follow their settings; a route change is logged and notified.
    void createPathRoutes();
    void followPaths();
    void tellRouteChange(const std::string& host, const std::string& sentence);

    Services services_;
    AppSettings* settings_ = nullptr;
    StoredTexts storedTexts_;   // what the settings file held as this instance last read or wrote it
    bool hadArguments_ = false; // the settings, the autostart entry included, are then never written

    // Declared in the order that makes them go in the reverse of it: the window last, with its run control and
    // tray, after everything that may still call them.
    std::unique_ptr<MainWindow> mainWindow_;
    std::unique_ptr<EventLog> eventLog_;
    std::unique_ptr<QtSoundPlayer> sound_;
    std::unique_ptr<ProcessLauncher> launcher_;
    std::unique_ptr<QtNotifier> notifier_;
    std::unique_ptr<AlertActions> alerts_;
    TrayController* tray_ = nullptr;
    RunControl* runControl_ = nullptr;
    SignalWatcher* signals_ = nullptr;
    HostList* hostList_ = nullptr;
    HostsWindow* hostsWindow_ = nullptr;
    std::unique_ptr<HistoryService> history_;    // outlives the hub, which feeds it
    std::unique_ptr<OutageRoutes> outageRoutes_; // outlives the hub, which tells its watch of the probes
    std::unique_ptr<HostSupervisor> supervisor_; // its hub ends first
    std::unique_ptr<PathRoutes> pathRoutes_;     // outlives the hub, which tells it of the probes
    std::unique_ptr<RouteWindow> routeWindow_;
    std::vector<std::unique_ptr<RouteWindow>> storedRouteWindows_;
};
