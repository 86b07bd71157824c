#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <QObject>

#include "alerts/MessagePort.h"
#include "engine/HostResolver.h"
#include "monitor/HostLookup.h"
#include "types/IpAddress.h"
#include "engine/WorkerCommand.h"
#include "settings/Settings.h"
#include "text/ProbeText.h"
#include "types/ProbeEvent.h"

class QAction;
class QLabel;
class QPushButton;

// Starting, stopping and resetting a monitoring run from the window thread. The host is resolved on a
// helper thread so that the window keeps responding while the name service is slow; the steps and their
// outcomes keep their order, and a lookup still running when the window goes away is abandoned.
class RunControl : public QObject {
    Q_OBJECT
public:
    static constexpr std::uint32_t NoAddress = 0xFFFFFFFFu;

    struct Widgets {
        QAction* ping = nullptr;         // pingAction_: caption and enabled state
        QPushButton* reset = nullptr;    // resetButton
        std::array<QLabel*, 7> labels{}; // indexed by Label
    };
    struct Services {
        std::shared_ptr<HostResolver> resolver;
        MessagePort* messages = nullptr;
        std::function<void(HostStatus)> showStatus; // the run has ended: its status is no more
        std::function<void(WorkerCommand)> post;
        std::function<void()> openOptions; // as a click on the Options button
    };

    // `settings` are read, never written: what starting finds wrong with them it reports by a signal.
    RunControl(const Settings& settings, Widgets widgets, Services services, QObject* parent = nullptr);
    ~RunControl() override;

    void toggleRun();
    void stopRun();
    void resetStatistics();
    // The worker's answer: the run has ended, or it could not begin.
    void handleRunEnded(RunEnd end);

    // A run is under way: from the start handed to the worker until its answer to the stop.
    [[nodiscard]] bool isRunning() const { return running_; }
    // A start is waiting for the name service.
    [[nodiscard]] bool lookupPending() const { return lookup_.pending(); }
    // The address the run under way probes; nothing while no run is.
    [[nodiscard]] const std::optional<IpAddress>& target() const { return target_; }

Q_SIGNALS:
    // Running changed, or a lookup began or ended.
    void stateChanged();
    // A start has ended, as a run or as an error (tests and start-up wait on it).
    void startFinished(bool started);
    // The stored payload is more than an echo request can carry: the run sends `largest` bytes, and the
    // setting is to be lowered to it, so that it is also what later runs send and what is saved.
    void payloadTooLarge(std::int32_t largest);

private:
    void startRun();
    void finishStart(const LookupAnswer& answer);
    void startFailed();
    void setLabel(Label label, const std::string& text);
    void setPing(const char* caption, bool enabled);

    const Settings& settings_;
    bool running_ = false;
    Widgets widgets_;
    Services services_;
    HostLookup lookup_;
    bool starting_ = false; // within startRun(): an answer now needs no word that the lookup has ended
    std::optional<IpAddress> target_;
};
