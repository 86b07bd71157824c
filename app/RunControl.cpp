#include "app/RunControl.h"

#include <algorithm>

#include <QAction>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>

#include "engine/EchoReply.h"

RunControl::RunControl(const Settings& settings, Widgets widgets, Services services, QObject* parent)
    : QObject(parent), settings_(settings), widgets_(widgets), services_(std::move(services)),
      lookup_(services_.resolver, [this](std::function<void()> task) {
          QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
      }) {}

// The lookup still out goes with lookup_: its answer is dropped.
RunControl::~RunControl() = default;

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

    starting_ = true;
    lookup_.find(settings_.host, settings_.resolveIp, [this](const LookupAnswer& answer) {
        if (!starting_)
            Q_EMIT stateChanged(); // the lookup has ended
        finishStart(answer);
    });
    starting_ = false;
    if (lookup_.pending())
        Q_EMIT stateChanged();
}

void RunControl::finishStart(const LookupAnswer& answer) {
    if (!answer.found()) {
        services_.messages->showError(
            "Host not found.\r\nWrong Host name,\r\nDNS failed to resolve Host name or DNS is down.", "Start - Error");
        setPing("Start", true);
        Q_EMIT startFinished(false);
        return;
    }

    setLabel(Label::Host, answer.shown());
    setPing("Stop", true);
    widgets_.reset->setEnabled(true);
    running_ = true;
    target_ = answer.address;
    // Whether or not the setting has been lowered meanwhile, no run sends more than a request can carry.
    Settings sent = settings_;
    sent.buffer = std::min(sent.buffer, kMaxEchoPayload);
    services_.post(StartCommand{RunSettings::from(sent, answer.address)});
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
