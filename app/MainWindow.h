#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QWidget>

#include "alerts/MessagePort.h"
#include "engine/EchoChannel.h"
#include "engine/HostResolver.h"
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
class ProbeWorker;
class ProcessLauncher;
class QAction;
class QLabel;
class QMenu;
class QtNotifier;
class QtSoundPlayer;
class QtWindowPort;
class OutageRoutes;
class RouteWindow;
class RunControl;
class SignalWatcher;
class OptionsDialog;
class TrayController;
namespace Ui {
class MainWindow;
}

// The program's one window. It wires the worker, run control, the tray, the log and the options dialog
// together; its creation loads the settings and starts the worker, its destruction ends the worker,
// removes the tray icon, releases the log and saves the settings. Started without arguments, OK in the
// options dialog saves them too, so that a crash does not lose them; each save writes only what this
// instance changed, so that another instance's values stay.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    // What the window is built from; anything left empty gets the real implementation.
    struct Services {
        std::vector<std::string> arguments; // the command line, program path not included
        // The process had arguments, Qt's own (-style, -platform ...) included: the settings are then not saved.
        bool startedWithArguments = false;
        std::shared_ptr<HostResolver> resolver;
        std::unique_ptr<EchoChannel> channel;
        std::unique_ptr<MessagePort> messages;
        std::function<int(OptionsDialog&)> runOptionsDialog; // shows the dialog, gives its result
        bool watchSignals = true; // SIGINT, SIGTERM and SIGHUP end the program like the tray menu's Exit
        // Started by the desktop session (--autostart): to the tray and a run, as /tray asks, and unlike
        // any argument this one still lets the settings be saved at exit.
        bool autostart = false;
        // Told of every probe on the worker thread (history, metrics); kept alive until the worker has ended.
        std::vector<std::shared_ptr<ProbeObserver>> probeObservers;
        std::string historyPath; // the history file; empty for the user's data folder
        // Told of each route trace taken at an outage (the metrics): host, address, hop where loss begins.
        std::function<void(const std::string&, const std::string&, std::optional<std::uint32_t>)> routeTraced;
    };

    explicit MainWindow(Services services, QWidget* parent = nullptr);
    ~MainWindow() override;

    void restoreFromTray();
    void exitProgram();
    void openOptions();
    void updateOptionsAction();

    // The window has been closed for good (possibly already during its creation, by a signal).
    [[nodiscard]] bool isClosed() const { return closed_; }

    [[nodiscard]] Ui::MainWindow* ui() const { return ui_.get(); }
    [[nodiscard]] QAction* pingAction() const { return pingAction_; }
    [[nodiscard]] QAction* optionsAction() const { return optionsAction_; }
    [[nodiscard]] QAction* exitAction() const { return exitAction_; }
    [[nodiscard]] QAction* popupAction() const { return popupAction_; }
    [[nodiscard]] QAction* historyAction() const { return historyAction_; }
    [[nodiscard]] QAction* routeAction() const { return routeAction_; }
    // The Route window, made on first use.
    [[nodiscard]] RouteWindow* routeWindow();
    [[nodiscard]] QAction* hostsAction() const { return hostsAction_; }
    [[nodiscard]] HostList& hostList() const { return *hostList_; }
    // Null until the Hosts window has been opened.
    [[nodiscard]] HostsWindow* hostsWindow() const { return hostsWindow_; }
    [[nodiscard]] HistoryService* history() const { return history_.get(); }
    [[nodiscard]] QMenu* trayMenu() const { return trayMenu_; }
    [[nodiscard]] RunControl& runControl() const { return *runControl_; }
    [[nodiscard]] TrayController& tray() const { return *tray_; }
    [[nodiscard]] QtNotifier& notifier() const { return *notifier_; }
    // Writes through settings() announce nothing: tests set a scene with it. The program changes its
    // settings through the owner, which announces each change.
    [[nodiscard]] Settings& settings();
    [[nodiscard]] AppSettings& settingsOwner() const { return *settings_; }
    // The main host's status as the window shows it.
    [[nodiscard]] HostStatus hostStatus() const { return hostStatus_; }

Q_SIGNALS:
    // The window has closed for good; the program's event loop ends on it.
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void initialize();
    void shutdown();
    void createActions();
    void createServices();
    void showStatus(HostStatus status);
    void showProbe(const ProbeEvent& event);
    void fitToFont();
    void exitOnSignal();
    void showHistory();
    void showRoute();
    // Opens a trace kept in the ledger in the Route window.
    void showStoredRoute(std::int64_t snapshotId);
    void showHosts();
    void createHostList();
    // The host-mode options for a host: an existing one (`id`), or a new one (none).
    void openHostOptions(std::optional<RunId> id);
    void saveHostList();
    void followSettings(const SettingsChange& change);
    void followAutostart(const SettingsChange& change);
    [[nodiscard]] bool modalDialogOpen() const;

    Services services_;
    std::unique_ptr<Ui::MainWindow> ui_;
    std::array<QLabel*, 7> valueFields_{};
    // The form's geometry as drawn (children of the window and of the group box), scaled for the font in use.
    std::vector<std::pair<QWidget*, QRect>> drawnGeometry_;
    QSize drawnSize_;
    AppSettings* settings_ = nullptr;
    HostStatus hostStatus_ = HostStatus::NA;
    StoredTexts storedTexts_;          // what the settings file held as this instance last read or wrote it
    bool hadArguments_ = false;        // the settings, the autostart entry included, are then never written
    bool autostartEntryShown_ = false; // the options dialog opened showing an autostart entry

    QAction* pingAction_ = nullptr;
    QAction* optionsAction_ = nullptr;
    QAction* exitAction_ = nullptr;
    QAction* popupAction_ = nullptr;
    QAction* historyAction_ = nullptr;
    QAction* routeAction_ = nullptr;
    QAction* hostsAction_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    HostList* hostList_ = nullptr;
    HostsWindow* hostsWindow_ = nullptr;

    std::unique_ptr<QtWindowPort> windowPort_;
    std::unique_ptr<EventLog> eventLog_;
    std::unique_ptr<QtSoundPlayer> sound_;
    std::unique_ptr<ProcessLauncher> launcher_;
    std::unique_ptr<QtNotifier> notifier_;
    std::unique_ptr<AlertActions> alerts_;
    TrayController* tray_ = nullptr;
    RunControl* runControl_ = nullptr;
    SignalWatcher* signals_ = nullptr;
    std::unique_ptr<HistoryService> history_;    // outlives the worker, which feeds it
    std::unique_ptr<OutageRoutes> outageRoutes_; // outlives the worker, which tells its watch of the probes
    std::unique_ptr<ProbeWorker> worker_;
    std::unique_ptr<RouteWindow> routeWindow_;
    bool optionsOpen_ = false;
    bool closed_ = false;
};
