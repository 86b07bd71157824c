#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <QWidget>

#include "settings/Settings.h"
#include "types/ProbeEvent.h"

class AppSettings;
class OptionsDialog;
class QAction;
class QLabel;
class QMenu;
class RunControl;
class TrayController;
namespace Ui {
class MainWindow;
}

// The view of the main host and its controls: the value fields, Start, Reset, Options, Tray, the actions the
// tray menu shares, and the close and minimise behaviour. What it shows and does is wired by AppRoot, which
// builds the program around it.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    // `runOptionsDialog` shows the options dialog and gives its result; empty, the dialog runs modally.
    MainWindow(AppSettings& settings, std::function<int(OptionsDialog&)> runOptionsDialog, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The main host's run control and the tray, which the buttons, the close and the captions act on; made by
    // the root from this window's widgets, so given after construction.
    void attach(RunControl& runControl, TrayController& tray);

    void restoreFromTray();
    void exitProgram();
    void openOptions();
    // Whether a typed host is already watched by another entry: the options refuse it.
    void setWatchedCheck(std::function<bool(const std::string&)> check) { watchedCheck_ = std::move(check); }
    void updateOptionsAction();
    // A probe's texts, only the fields it changed. Hidden in the tray the window keeps only the latest probe and
    // shows it when it comes back, or before run control writes the fields for a new run.
    void showProbe(const ProbeEvent& event);
    // The window's icon; the status the window shows.
    void showStatus(HostStatus status);
    // The options dialog, or any other modal box, is open: nothing may start, open or exit under it.
    [[nodiscard]] bool modalDialogOpen() const;
    // Marks a dialog of the options kind open or closed (the Hosts window's options use it too).
    void setOptionsOpen(bool open) { optionsOpen_ = open; }
    // The options dialog last accepted opened over an existing start-at-login entry.
    [[nodiscard]] bool autostartEntryShown() const { return autostartEntryShown_; }

    // The window has been closed for good (possibly already during the program's creation, by a signal).
    [[nodiscard]] bool isClosed() const { return closed_; }

    [[nodiscard]] Ui::MainWindow* ui() const { return ui_.get(); }
    [[nodiscard]] const std::array<QLabel*, 7>& valueFields() const { return valueFields_; }
    [[nodiscard]] QAction* pingAction() const { return pingAction_; }
    [[nodiscard]] QAction* optionsAction() const { return optionsAction_; }
    [[nodiscard]] QAction* exitAction() const { return exitAction_; }
    [[nodiscard]] QAction* popupAction() const { return popupAction_; }
    [[nodiscard]] QAction* historyAction() const { return historyAction_; }
    [[nodiscard]] QAction* routeAction() const { return routeAction_; }
    [[nodiscard]] QAction* hostsAction() const { return hostsAction_; }
    [[nodiscard]] QMenu* trayMenu() const { return trayMenu_; }
    [[nodiscard]] RunControl& runControl() const { return *runControl_; }
    [[nodiscard]] TrayController& tray() const { return *tray_; }
    // Writes through settings() announce nothing: tests set a scene with it. The program changes its
    // settings through the owner, which announces each change.
    [[nodiscard]] Settings& settings();
    [[nodiscard]] AppSettings& settingsOwner() const { return settings_; }
    // The main host's status as the window shows it.
    [[nodiscard]] HostStatus hostStatus() const { return hostStatus_; }

Q_SIGNALS:
    // The window has closed for good; the program's event loop ends on it.
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void createActions();
    void fitToFont();
    void setFields(const ProbeEvent& event);
    void showPendingProbe();

    AppSettings& settings_;
    std::function<int(OptionsDialog&)> runOptionsDialog_;
    std::function<bool(const std::string&)> watchedCheck_;
    std::unique_ptr<Ui::MainWindow> ui_;
    std::array<QLabel*, 7> valueFields_{};
    // The form's geometry as drawn (children of the window and of the group box), scaled for the font in use.
    std::vector<std::pair<QWidget*, QRect>> drawnGeometry_;
    QSize drawnSize_;
    HostStatus hostStatus_ = HostStatus::NA;
    // While the window is hidden in the tray: the latest probe, and the latest reply, whose figures (min, max,
    // average) a lost probe leaves as they were.
    std::optional<ProbeEvent> pendingProbe_;
    std::optional<ProbeEvent> pendingReply_;
    bool autostartEntryShown_ = false; // the options dialog opened showing an autostart entry

    QAction* pingAction_ = nullptr;
    QAction* optionsAction_ = nullptr;
    QAction* exitAction_ = nullptr;
    QAction* popupAction_ = nullptr;
    QAction* historyAction_ = nullptr;
    QAction* routeAction_ = nullptr;
    QAction* hostsAction_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    RunControl* runControl_ = nullptr;
    TrayController* tray_ = nullptr;
    bool optionsOpen_ = false;
    bool closed_ = false;
};
