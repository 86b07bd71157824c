#include "app/RunControl.h"

#include <algorithm>
#include <mutex>
#include <thread>

#include <QAction>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>

#include "engine/EchoReply.h"

// Shared between the window and one lookup thread. The thread answers only while `receiver` is set; the
// window clears it when it stops caring, and Qt drops answers already queued for a receiver that dies.
struct RunControl::Ticket {
    std::mutex mutex;
    RunControl* receiver = nullptr;
};

RunControl::RunControl(const Settings& settings, Widgets widgets, Services services, QObject* parent)
    : QObject(parent), settings_(settings), widgets_(widgets), services_(std::move(services)) {}

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
    if (running_)
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

    if (settings_.buffer > kMaxEchoPayload)
        Q_EMIT payloadTooLarge(kMaxEchoPayload);

    // The IPv4 forms inet_addr takes first, so that what always was an IPv4 address stays one; then an IPv6 literal.
    HostResolver& resolver = *services_.resolver;
    IpAddress parsed;
    if (const std::uint32_t dotted = resolver.parseDottedAddress(settings_.host); dotted != NoAddress)
        parsed = IpAddress::v4(dotted);
    else if (const std::optional<IpAddress> literal = resolver.parseIpv6Address(settings_.host))
        parsed = *literal;
    const bool byName = parsed.family == IpAddress::Family::None;
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

void RunControl::finishStart(const IpAddress& parsed, std::optional<HostEntry> entry) {
    HostResolver& resolver = *services_.resolver;
    if (entry && entry->addresses.empty())
        entry.reset(); // an entry without an address is no answer
    const IpAddress target = entry ? entry->addresses.front() : parsed;

    // 255.255.255.255 is no host to watch, even when a name service gives it.
    if (target.family == IpAddress::Family::None || (target.isV4() && target.v4Value() == NoAddress)) {
        services_.messages->showError(
            "Host not found.\r\nWrong Host name,\r\nDNS failed to resolve Host name or DNS is down.", "Start - Error");
        setPing("Start", true);
        Q_EMIT startFinished(false);
        return;
    }

    if (entry)
        setLabel(Label::Host, entry->officialName + " [" + resolver.formatAddress(target) + "]");
    else
        setLabel(Label::Host, resolver.formatAddress(target));
    setPing("Stop", true);
    widgets_.reset->setEnabled(true);
    running_ = true;
    target_ = target;
    // Whether or not the setting has been lowered meanwhile, no run sends more than a request can carry.
    Settings sent = settings_;
    sent.buffer = std::min(sent.buffer, kMaxEchoPayload);
    services_.post(StartCommand{RunSettings::from(sent, target)});
    Q_EMIT stateChanged();
    Q_EMIT startFinished(true);
}

void RunControl::stopRun() {
    widgets_.reset->setEnabled(false);
    services_.post(StopCommand{});
}

void RunControl::resetStatistics() {
    services_.post(ResetCommand{});
}

void RunControl::handleRunEnded(RunEnd end) {
    running_ = false;
    target_.reset();
    if (services_.showStatus)
        services_.showStatus(HostStatus::NA);
    setPing("Start", true);
    widgets_.reset->setEnabled(false);
    Q_EMIT stateChanged();
    if (end == RunEnd::ChannelFailed)
        services_.messages->showError("Can't open Ping Chanel.", "Start - Error");
}
