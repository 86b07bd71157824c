#include "app/desktop/TrayController.h"

#include <algorithm>

#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include "app/common/StatusIcons.h"
#include "settings/Settings.h"
#include "types/Rounding.h"

namespace {

// A tooltip is read at a glance: a host name of up to 253 characters is shortened so that the tip stays one
// short line and its figures always show.
constexpr qsizetype kMaxTipLength = 63;

QString roundTrip(const ProbeEvent& probe) {
    if (!probe.good() || !probe.rttUs)
        return QStringLiteral("no reply");
    const double ms = *probe.rttUs / 1000.0;
    if (ms >= 100.0)
        return QStringLiteral("%1 ms").arg(Rounding::halfEven(ms));
    if (ms < 0.05)
        return QStringLiteral("<0.1 ms");
    return QStringLiteral("%1 ms").arg(ms, 0, 'f', ms >= 10.0 ? 0 : 1);
}

QString lossShare(const RunStatistics& stats) {
    const std::uint32_t percent =
        stats.requests == 0 ? 0 : Rounding::halfEven(100.0 * stats.lost / static_cast<double>(stats.requests));
    return QStringLiteral("%1 % lost").arg(percent);
}

// Notification areas show a tooltip that looks like markup as markup (Qt's own tooltip, and hosts that read
// the text as Qt does), so a host named "<b>x</b>" or "a&amp;b" would show bold or "a&b". An invisible word
// joiner after each '<' and '&' of a name keeps any tag or entity from forming, and the name shows as typed.
// The limit on the tip's length counts the name without them.
QString plainTip(QString name) {
    for (qsizetype i = name.size() - 1; i >= 0; --i)
        if (name[i] == QLatin1Char('<') || name[i] == QLatin1Char('&'))
            name.insert(i + 1, QChar(0x2060));
    return name;
}

// The host, cut at a character boundary with an ellipsis, so that host and figures fit in the limit.
QString tipWithHost(const QString& host, const QString& figures) {
    const QString separator = QStringLiteral(" - ");
    if (host.isEmpty())
        return figures;
    const qsizetype room = kMaxTipLength - separator.size() - figures.size();
    if (host.size() <= room)
        return plainTip(host) + separator + figures;
    QString cut = host.left(std::max<qsizetype>(room - 1, 0));
    if (!cut.isEmpty() && cut.back().isHighSurrogate())
        cut.chop(1);
    return plainTip(cut) + QChar(0x2026) + separator + figures;
}

QString hostRoundTrip(const WatchedHost& host) {
    if (!host.lastRttUs)
        return QStringLiteral("no reply");
    ProbeEvent probe;
    probe.replier = host.address;
    probe.rttUs = host.lastRttUs;
    return roundTrip(probe);
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
    iconShown_ = iconStatus();
    icon()->setIcon(StatusIcons::small(iconShown_));
    icon_->setToolTip(toolTip());
    icon_->show();
    window_->hide();
    inTray_ = true;
}

void TrayController::updateTrayTip() {
    if (!inTray_)
        return;
    if (severalHosts()) {
        // Built at most once a second, however many hosts report meanwhile.
        if (tipTimer_ == nullptr) {
            tipTimer_ = new QTimer(this);
            tipTimer_->setSingleShot(true);
            tipTimer_->setInterval(1000);
            connect(tipTimer_, &QTimer::timeout, this, [this] {
                const QString tip = toolTip();
                if (inTray_ && icon()->toolTip() != tip)
                    icon_->setToolTip(tip);
            });
        }
        if (!tipTimer_->isActive())
            tipTimer_->start();
        return;
    }
    // Unchanged texts are not sent again: a notification-area host is told of every new tooltip.
    const QString tip = toolTip();
    if (icon()->toolTip() != tip)
        icon_->setToolTip(tip);
}

void TrayController::setMonitoring(bool monitoring) {
    if (monitoring == monitoring_)
        return;
    monitoring_ = monitoring;
    lastProbe_.reset();
    updateTrayTip();
}

void TrayController::showProbe(const ProbeEvent& event) {
    if (!monitoring_)
        return; // the last probe of a run that has just been stopped
    lastProbe_ = event;
    updateTrayTip();
}

QString TrayController::toolTip() const {
    if (severalHosts())
        return hostsToolTip();
    const QString host = QString::fromStdString(lastProbe_ ? lastProbe_->host : settings_.host);
    if (!monitoring_)
        return tipWithHost(host, QStringLiteral("not monitoring"));
    if (!lastProbe_)
        return tipWithHost(host, QStringLiteral("starting"));
    const QString figures = QStringLiteral("%1 - %2 - %3")
                                .arg(QString::fromUtf8(statusWord(lastProbe_->hostStatus)), roundTrip(*lastProbe_),
                                     lossShare(lastProbe_->stats));
    return tipWithHost(host, figures);
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
    if (inTray_) {
        iconShown_ = iconStatus();
        icon()->setIcon(StatusIcons::small(iconShown_));
    }
}

void TrayController::setHostsSource(HostsSource hosts) {
    hosts_ = std::move(hosts);
}

bool TrayController::severalHosts() const {
    return hosts_ && hosts_().size() > 1;
}

void TrayController::hostsChanged() {
    // The main host alone: its probes reach the tooltip through showProbe(), as they always did.
    if (severalHosts())
        updateTrayTip();
}

void TrayController::hostStatusesChanged() {
    if (!inTray_)
        return;
    const HostStatus shown = iconStatus();
    if (shown != iconShown_) {
        iconShown_ = shown;
        icon()->setIcon(StatusIcons::small(shown));
    }
}

HostStatus TrayController::iconStatus() const {
    if (!severalHosts())
        return status_;
    // The main host's status is the window's (its run's end makes it N/A); the others count while they run.
    HostStatus worst = status_;
    for (const WatchedHost& host : hosts_())
        if (!host.main && host.running && severity(host.status) > severity(worst))
            worst = host.status;
    return worst;
}

QString TrayController::hostsToolTip() const {
    const std::vector<WatchedHost>& hosts = hosts_();
    std::vector<const WatchedHost*> order;
    order.reserve(hosts.size());
    for (const WatchedHost& host : hosts)
        order.push_back(&host);
    // Running before stopped, then the worst first; the list's own order among equals.
    const auto rank = [this](const WatchedHost* host) {
        const bool running = host->main ? monitoring_ : host->running;
        const HostStatus status = host->main ? status_ : host->status;
        return running ? 1 + severity(status) : 0;
    };
    std::stable_sort(order.begin(), order.end(),
                     [&rank](const WatchedHost* a, const WatchedHost* b) { return rank(a) > rank(b); });
    QStringList lines;
    for (const WatchedHost* host : order) {
        if (lines.size() == kMaxTipHosts)
            break;
        // The main host as the window knows it: its row may lag a change of the settings.
        const QString name = QString::fromStdString(host->main ? settings_.host : host->settings.host);
        const bool running = host->main ? monitoring_ : host->running;
        if (!running)
            lines << tipWithHost(name, QStringLiteral("not monitoring"));
        else
            lines << tipWithHost(
                name, QStringLiteral("%1 - %2").arg(QString::fromUtf8(statusWord(host->main ? status_ : host->status)),
                                                    hostRoundTrip(*host)));
    }
    // The hosts left out come after the worst, yet more than eight may be Bad: their count still shows.
    const auto named = static_cast<std::size_t>(lines.size());
    if (order.size() > named) {
        const auto bad =
            std::count_if(order.begin() + static_cast<std::ptrdiff_t>(named), order.end(),
                          [&rank](const WatchedHost* host) { return rank(host) == 1 + severity(HostStatus::Bad); });
        QString more = QStringLiteral("and %1 more").arg(order.size() - named);
        if (bad > 0)
            more += QStringLiteral(" (%1 Bad)").arg(bad);
        lines << more;
    }
    return lines.join(QLatin1Char('\n'));
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
