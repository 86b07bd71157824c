#include "app/RunControl.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>

#include "engine/EchoReply.h"
#include "monitor/HostFields.h"

RunControl::RunControl(const Settings& settings, HostSupervisor& supervisor, Widgets widgets, Services services,
                       QObject* parent)
    : QObject(parent), settings_(settings), supervisor_(supervisor), widgets_(widgets), services_(std::move(services)),
      shownId_(mainId()) {
    supervisor_.addListener(*this);
}

// The supervisor goes first at exit and takes its listeners with it.
RunControl::~RunControl() = default;

RunId RunControl::mainId() const {
    const auto& hosts = supervisor_.hosts();
    return hosts.empty() ? 0 : hosts.front().id;
}

bool RunControl::lookupPending() const {
    const WatchedHost* host = supervisor_.find(mainId());
    return host != nullptr && host->resolving;
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

    // The run takes the settings as they are now, written quietly or not.
    const RunId id = mainId();
    supervisor_.setProgramSettings(settings_);
    if (const WatchedHost* host = supervisor_.find(id); host != nullptr && !HostFields::same(host->settings, settings_))
        supervisor_.edit(id, settings_);
    supervisor_.start(id);
    if (lookupPending())
        Q_EMIT stateChanged();
}

void RunControl::started(const WatchedHost& host) {
    if (host.id != mainId())
        return;
    showRunning(host);
    Q_EMIT stateChanged();
    Q_EMIT startFinished(true);
}

void RunControl::showRunning(const WatchedHost& host) {
    LookupAnswer answer;
    answer.addressText = host.address;
    answer.officialName = host.officialName;
    setLabel(Label::Host, answer.shown());
    setPing("Stop", true);
    widgets_.reset->setEnabled(true);
    running_ = true;
    target_ = host.target;
}

void RunControl::startFailed(const WatchedHost& host, HostSupervisor::StartFailure why, bool /*asked*/) {
    if (host.id != mainId())
        return;
    if (why == HostSupervisor::StartFailure::ChannelFailed) {
        handleRunEnded(RunEnd::ChannelFailed);
        return;
    }
    Q_EMIT stateChanged(); // the lookup has ended
    services_.messages->showError(
        "Host not found.\r\nWrong Host name,\r\nDNS failed to resolve Host name or DNS is down.", "Start - Error");
    setPing("Start", true);
    Q_EMIT startFinished(false);
}

void RunControl::runEnded(const WatchedHost& host) {
    if (host.id == mainId())
        handleRunEnded(RunEnd::Stopped);
}

void RunControl::listChanged() {
    const RunId id = mainId();
    if (id == shownId_)
        return;
    // Another host took the main place with its run as it stands: the controls show that run now.
    shownId_ = id;
    const WatchedHost* host = supervisor_.find(id);
    if (host == nullptr)
        return;
    if (host->running) {
        showRunning(*host);
    } else {
        running_ = false;
        target_.reset();
        setLabel(Label::Host, "N/A");
        setPing("Start", true);
        widgets_.reset->setEnabled(false);
    }
    if (services_.showMain)
        services_.showMain(*host);
    Q_EMIT stateChanged();
}

void RunControl::stopRun() {
    widgets_.reset->setEnabled(false);
    supervisor_.stop(mainId());
}

void RunControl::resetStatistics() {
    supervisor_.reset(mainId());
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
