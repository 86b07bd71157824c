#include "app/TrayController.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QWidget>

#include "app/StatusIcons.h"
#include "settings/Settings.h"

namespace {

// The tip field of the tray record holds 63 characters; longer host names are cut rather than overflowing.
constexpr qsizetype kMaxTipLength = 63;

QString trayTip(const Settings& settings) {
    QString tip = QStringLiteral("Monitoring ") + QString::fromStdString(settings.host);
    if (tip.size() > kMaxTipLength) {
        tip.truncate(kMaxTipLength);
        if (tip.back().isHighSurrogate())
            tip.chop(1);
    }
    return tip;
}

// Where the cursor position cannot be had (no screen under it), the menu opens near the bottom right
// corner of the desktop, as the tray usually sits there.
QPoint menuPosition() {
    QPoint pos = QCursor::pos();
    if (QGuiApplication::screenAt(pos) != nullptr)
        return pos;
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return pos;
    QRect area = screen->availableGeometry();
    return {area.x() + area.width() - 49, area.y() + area.height()};
}

} // namespace

TrayController::TrayController(QWidget* window, QMenu* trayMenu, const Settings& settings, QObject* parent)
    : QObject(parent), window_(window), menu_(trayMenu), settings_(settings) {}

TrayController::~TrayController() = default;

QSystemTrayIcon* TrayController::icon() {
    if (icon_ == nullptr) {
        icon_ = new QSystemTrayIcon(this);
        // The menu is opened by hand on the context click only; a context menu set on the icon would also
        // open on other clicks and bypass handleTrayActivation.
        connect(icon_, &QSystemTrayIcon::activated, this, &TrayController::handleTrayActivation);
    }
    return icon_;
}

bool TrayController::available() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayController::moveToTray(bool explain) {
    if (inTray_) {
        icon()->hide();
        inTray_ = false;
        return;
    }
    // Without a notification area, hiding the window would leave no way back to it: the window stays,
    // InTray stays false, and closing the window really ends the program.
    if (!available()) {
        if (explain && !explained_) {
            explained_ = true;
            showNoTrayMessage();
        }
        return;
    }
    icon()->setIcon(StatusIcons::small(status_));
    icon_->setToolTip(trayTip(settings_));
    icon_->show();
    window_->hide();
    inTray_ = true;
}

void TrayController::updateTrayTip() {
    if (inTray_)
        icon()->setToolTip(trayTip(settings_));
}

void TrayController::handleTrayActivation(QSystemTrayIcon::ActivationReason reason) {
    // Without an icon no click can be real; the one that start-up posts for tray mode must not hide a
    // window that has no icon to bring it back.
    if (!inTray_)
        return;
    if (reason == QSystemTrayIcon::DoubleClick)
        toggleWindow();
    else if (reason == QSystemTrayIcon::Context && menu_ != nullptr)
        menu_->popup(menuPosition());
}

void TrayController::removeTrayIcon() {
    if (inTray_)
        icon()->hide();
}

void TrayController::showStatus(HostStatus status) {
    status_ = status;
    if (inTray_)
        icon()->setIcon(StatusIcons::small(status_));
}

void TrayController::showNoTrayMessage() {
    QMessageBox::critical(window_, QStringLiteral("Tray - Error"),
                          QStringLiteral("No notification area is available on this desktop."));
}

void TrayController::toggleWindow() {
    if (window_->isVisible()) {
        window_->hide();
        return;
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}
