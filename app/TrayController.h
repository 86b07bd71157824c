#pragma once

#include <QObject>
#include <QPoint>

class QMenu;
class QSystemTrayIcon;
class QWidget;
struct AppState;
struct Settings;

// The notification-area side of the main window: tray mode on and off, the tooltip, the small status icon,
// double-click and right-click on the icon. Lives on the window thread.
class TrayController : public QObject {
    Q_OBJECT
public:
    TrayController(QWidget* window, QMenu* trayMenu, AppState& state, const Settings& settings,
                   QObject* parent = nullptr);
    ~TrayController() override;

    // Tray button: adds the icon and hides the window, or removes the icon; flips InTray. Where the desktop
    // has no notification area the window stays visible and InTray stays false (so closing the window ends
    // the program); with `explain` the first such click says why in a message box.
    void moveToTray(bool explain = true);
    // After the options dialog's OK: new tooltip when the icon is shown.
    void updateTrayTip();
    // Mouse message of the icon: 515 double-click toggles the window, 517 right-button-up opens the menu.
    // Ignored while no icon is shown.
    void handleTrayActivation(int mouseMessage);
    // At exit, after the worker has ended.
    void removeTrayIcon();
    // The small icon of `CurrentStatus`, when the icon is shown.
    void refreshIcon();

    [[nodiscard]] QSystemTrayIcon* icon() const { return icon_; }
    [[nodiscard]] static bool available();

protected:
    // The one-time explanation when there is no notification area; tests override it.
    virtual void showNoTrayMessage();

private:
    void toggleWindow();
    QWidget* window_;
    QMenu* menu_;
    AppState& state_;
    const Settings& settings_;
    QSystemTrayIcon* icon_ = nullptr;
    bool explained_ = false;
};
