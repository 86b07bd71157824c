#pragma once

#include <functional>
#include <optional>
#include <vector>

#include <QObject>
#include <QPoint>
#include <QSystemTrayIcon>

#include "monitor/WatchedHost.h"
#include "types/HostStatus.h"
#include "types/ProbeEvent.h"

class QMenu;
class QTimer;
class QWidget;
struct Settings;

// The notification-area side of the main window: tray mode on and off, the tooltip, the small status icon,
// double-click and context click on the icon. Lives on the window thread.
class TrayController : public QObject {
    Q_OBJECT
public:
    TrayController(QWidget* window, QMenu* trayMenu, const Settings& settings, QObject* parent = nullptr);
    ~TrayController() override;

    // Tray button: adds the icon and hides the window, or removes the icon; flips InTray. Where the desktop
    // has no notification area the window stays visible and InTray stays false (so closing the window ends
    // the program); with `explain` the first such click says why in a message box.
    void moveToTray(bool explain = true);
    // After the options dialog's OK, or a change of the host list: new tooltip when the icon is shown (with
    // several hosts within a second).
    void updateTrayTip();
    // What a run is doing, for the tooltip: a run began or ended (a new run shows no figures until its first
    // probe), and each probe's outcome.
    void setMonitoring(bool monitoring);
    void showProbe(const ProbeEvent& event);
    // "gateway.lan - Good - 0.8 ms - 0 % lost", "gateway.lan - not monitoring"; at most 63 characters, the
    // host shortened first so that the figures stay.
    [[nodiscard]] QString toolTip() const;
    // A click on the icon: a double-click toggles the window, the context click opens the menu. Ignored
    // while no icon is shown.
    void handleTrayActivation(QSystemTrayIcon::ActivationReason reason);
    // At exit, after the worker has ended.
    void removeTrayIcon();
    // The host status to show; the small icon changes with it while the icon is shown.
    void showStatus(HostStatus status);
    [[nodiscard]] HostStatus status() const { return status_; }

    // Every watched host, the main one first. With more than the main host the icon shows the worst status
    // of the running hosts and the tooltip lists the hosts; with the main host alone both are as they were.
    using HostsSource = std::function<const std::vector<WatchedHost>&()>;
    void setHostsSource(HostsSource hosts);
    // A host's values changed: the tooltip follows within a second, however many probes come meanwhile.
    void hostsChanged();
    // A host's status may have changed: the icon follows at once.
    void hostStatusesChanged();
    // The status the icon shows.
    [[nodiscard]] HostStatus iconStatus() const;
    // Hosts listed in the tooltip before "and N more".
    static constexpr int kMaxTipHosts = 8;
    // The program lives in the notification area: the icon is shown and closing the window only hides it.
    [[nodiscard]] bool isInTray() const { return inTray_; }

    // Made on first use: the icon talks to the desktop over D-Bus, which a program that never goes to the
    // tray need not start.
    [[nodiscard]] QSystemTrayIcon* icon();
    [[nodiscard]] static bool available();

protected:
    // The one-time explanation when there is no notification area; tests override it.
    virtual void showNoTrayMessage();

private:
    void toggleWindow();
    [[nodiscard]] bool severalHosts() const;
    [[nodiscard]] QString hostsToolTip() const;
    void showIcon();
    QWidget* window_;
    QMenu* menu_;
    const Settings& settings_;
    HostStatus status_ = HostStatus::NA;
    bool monitoring_ = false;
    std::optional<ProbeEvent> lastProbe_; // of the run under way
    bool inTray_ = false;
    QSystemTrayIcon* icon_ = nullptr;
    bool explained_ = false;
    HostsSource hosts_;
    QTimer* tipTimer_ = nullptr; // made with the first host beside the main one
    HostStatus iconShown_ = HostStatus::NA;
};
