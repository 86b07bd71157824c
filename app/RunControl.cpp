#include "app/RunControl.h"

#include <mutex>
#include <thread>

#include <QAction>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>

#include "engine/SetHostStatus.h"

// Shared between the window and one lookup thread. The thread answers only while `receiver` is set; the
// window clears it when it stops caring, and Qt drops answers already queued for a receiver that dies.
struct RunControl::Ticket {
    std::mutex mutex;
    RunControl* receiver = nullptr;
};

namespace {
constexpr std::uint16_t RequestedVersion = 257; // 1.1
constexpr std::uint16_t VersionWithoutDatagramLimit = 512;
} // namespace

RunControl::RunControl(Settings& settings, AppState& state, Widgets widgets, Services services, QObject* parent)
    : QObject(parent), settings_(settings), state_(state), widgets_(widgets), services_(std::move(services)) {}

RunControl::~RunControl() {
    if (ticket_) {
        std::lock_guard lock(ticket_->mutex);
        ticket_->receiver = nullptr;
    }
}

void RunControl::setLabel(Label label, const std::string& text) {
    if (auto* l = widgets_.labels[static_cast<std::size_t>(label)])
        l->setText(QString::fromUtf8(text));
}

void RunControl::setPing(const char* caption, bool enabled) {
    widgets_.ping->setText(QString::fromLatin1(caption));
    widgets_.ping->setEnabled(enabled);
}

void RunControl::toggleRun() {
    setPing("Wait...", false);
    if (state_.running)
        stopRun();
    else
        startRun();
}

void RunControl::startRun() {
    setLabel(Label::Host, "N/A");
    setLabel(Label::Status, "N/A");
    setLabel(Label::Total, "0");
    setLabel(Label::Lost, "N/A");
    setLabel(Label::Min, "N/A");
    setLabel(Label::Max, "N/A");
    setLabel(Label::Avg, "N/A");

    if (settings_.host.empty()) {
        services_.messages->showError("Enter a HostName or an IP Adress.", "Options - Error");
        setPing("Start", true);
        Q_EMIT startFinished(false);
        if (services_.openOptions)
            services_.openOptions();
        return;
    }

    HostResolver& resolver = *services_.resolver;
    std::uint16_t granted = 0;
    std::uint16_t maxDatagram = 0;
    if (!resolver.resolverStartup(RequestedVersion, granted, maxDatagram)) {
        services_.messages->showError("Can't Load WinSockets.", "WSAStartup - Error");
        resolver.resolverCleanup();
        setPing("Start", true);
        Q_EMIT startFinished(false);
        return;
    }
    // The lowered size is the setting itself: it is what the worker sends and what is saved at exit.
    if (granted < VersionWithoutDatagramLimit && static_cast<std::int64_t>(maxDatagram) < settings_.buffer)
        settings_.buffer = maxDatagram;

    const std::uint32_t parsed = resolver.parseDottedAddress(settings_.host);
    state_.targetAddress = parsed;
    const bool byName = parsed == NoAddress;
    if (!byName && !settings_.resolveIp) {
        finishStart(parsed, std::nullopt);
        return;
    }

    auto ticket = std::make_shared<Ticket>();
    ticket->receiver = this;
    ticket_ = ticket;
    Q_EMIT stateChanged();
    // Detached on purpose: a lookup hanging on a dead DNS server must not hold up the window or the exit.
    std::thread([ticket, resolver = services_.resolver, host = settings_.host, parsed, byName] {
        std::optional<HostEntry> entry =
            byName ? resolver->lookupHostByName(host) : resolver->lookupHostByAddress(parsed);
        std::lock_guard lock(ticket->mutex);
        if (RunControl* receiver = ticket->receiver) {
            QMetaObject::invokeMethod(
                receiver,
                [receiver, ticket, parsed, entry = std::move(entry)]() mutable {
                    if (receiver->ticket_ != ticket)
                        return;
                    receiver->ticket_.reset();
                    Q_EMIT receiver->stateChanged();
                    receiver->finishStart(parsed, std::move(entry));
                },
                Qt::QueuedConnection);
        }
    }).detach();
}

void RunControl::finishStart(std::uint32_t parsed, std::optional<HostEntry> entry) {
    HostResolver& resolver = *services_.resolver;
    if (entry && entry->addresses.empty())
        entry.reset(); // an entry without an address is no answer
    std::uint32_t target = entry ? entry->addresses.front() : parsed;
    state_.targetAddress = target;

    if (target == NoAddress) {
        services_.messages->showError(
            "Host not found.\r\nWrong Host name,\r\nDNS failed to resolve Host name or DNS is down.", "Start - Error");
        resolver.resolverCleanup();
        setPing("Start", true);
        Q_EMIT startFinished(false);
        return;
    }

    if (entry)
        setLabel(Label::Host, entry->officialName + " [" + resolver.formatDottedAddress(target) + "]");
    else
        setLabel(Label::Host, resolver.formatDottedAddress(target));
    resolver.resolverCleanup();
    setPing("Stop", true);
    services_.post(WorkerMessage::PingStart);
    widgets_.reset->setEnabled(true);
    state_.running = true;
    Q_EMIT stateChanged();
    Q_EMIT startFinished(true);
}

void RunControl::stopRun() {
    widgets_.reset->setEnabled(false);
    services_.post(WorkerMessage::PingStop);
}

void RunControl::resetStatistics() {
    services_.post(WorkerMessage::PingReset);
}

void RunControl::handleRunStopped(bool failed) {
    state_.running = false;
    const QLabel* status = widgets_.labels[static_cast<std::size_t>(Label::Status)];
    setHostStatus(state_, settings_, *services_.window, HostStatus::NA,
                  status ? status->text().toStdString() : std::string());
    setPing("Start", true);
    widgets_.reset->setEnabled(false);
    Q_EMIT stateChanged();
    if (failed)
        services_.messages->showError("Can't open Ping Chanel.", "Start - Error");
}
