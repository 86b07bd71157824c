#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QWidget>

#include "engine/AppState.h"
#include "engine/EchoChannel.h"
#include "engine/HostResolver.h"
#include "engine/MessagePort.h"
#include "settings/Settings.h"

class AlertActions;
class EventLog;
class ProbeWorker;
class ProcessLauncher;
class QAction;
class QMenu;
class QtSoundPlayer;
class QtWindowPort;
class RunControl;
class SignalWatcher;
class TConfig_Dlg;
class TrayController;
namespace Ui {
class TMain_Form;
}

// The program's one window. It wires the worker, run control, the tray, the log and the options dialog
// together; its creation loads the settings and starts the worker, its destruction ends the worker,
// removes the tray icon, releases the log and saves the settings.
class TMain_Form : public QWidget {
    Q_OBJECT
public:
    // What the window is built from; anything left empty gets the real implementation.
    struct Services {
        std::vector<std::string> arguments; // the command line, program path not included
        std::shared_ptr<HostResolver> resolver;
        std::unique_ptr<EchoChannel> channel;
        std::unique_ptr<MessagePort> messages;
        std::function<int(TConfig_Dlg&)> runOptionsDialog; // shows the dialog, gives its result
        bool watchSignals = true; // SIGINT and SIGTERM end the program like the tray menu's Exit
    };

    explicit TMain_Form(Services services, QWidget* parent = nullptr);
    ~TMain_Form() override;

    void Popup_ActionExecute();
    void Exit_ActionExecute();
    void Options_ActionExecute();
    void Options_ActionUpdate();

    // The window has been closed for good (possibly already during its creation, by a signal).
    [[nodiscard]] bool isClosed() const { return closed_; }

    [[nodiscard]] Ui::TMain_Form* ui() const { return ui_.get(); }
    [[nodiscard]] QAction* pingAction() const { return Ping_Action; }
    [[nodiscard]] QAction* optionsAction() const { return Options_Action; }
    [[nodiscard]] QAction* exitAction() const { return Exit_Action; }
    [[nodiscard]] QAction* popupAction() const { return Popup_Action; }
    [[nodiscard]] QMenu* trayMenu() const { return TrayMenu; }
    [[nodiscard]] RunControl& runControl() const { return *runControl_; }
    [[nodiscard]] TrayController& tray() const { return *tray_; }
    [[nodiscard]] Settings& settings() { return settings_; }
    [[nodiscard]] AppState& state() { return state_; }

Q_SIGNALS:
    // The window has closed for good; the program's event loop ends on it.
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void FormCreate();
    void FormDestroy();
    void createActions();
    void createServices();
    void showStatusIcon(HostStatus status);
    void exitOnSignal();
    [[nodiscard]] bool modalDialogOpen() const;

    Services services_;
    std::unique_ptr<Ui::TMain_Form> ui_;
    Settings settings_;
    AppState state_;
    bool hadArguments_ = false;

    QAction* Ping_Action = nullptr;
    QAction* Options_Action = nullptr;
    QAction* Exit_Action = nullptr;
    QAction* Popup_Action = nullptr;
    QMenu* TrayMenu = nullptr;

    std::unique_ptr<QtWindowPort> windowPort_;
    std::unique_ptr<EventLog> eventLog_;
    std::unique_ptr<QtSoundPlayer> sound_;
    std::unique_ptr<ProcessLauncher> launcher_;
    std::unique_ptr<AlertActions> alerts_;
    TrayController* tray_ = nullptr;
    RunControl* runControl_ = nullptr;
    SignalWatcher* signals_ = nullptr;
    std::unique_ptr<ProbeWorker> worker_;
    bool optionsOpen_ = false;
    bool closed_ = false;
};
