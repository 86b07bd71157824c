#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <QObject>

#include "alerts/MessagePort.h"
#include "monitor/HostSupervisor.h"
#include "settings/Settings.h"
#include "text/ProbeText.h"
#include "types/IpAddress.h"
#include "types/ProbeEvent.h"

class QAction;
class QLabel;
class QPushButton;

// Starting, stopping and resetting the main host's run (the supervisor's first host) from the window thread,
// and what the window's controls say about it. The supervisor finds the host off the window thread, so the
// window keeps responding while the name service is slow. "Make main host" hands it another host's run, which
// it then shows as it stands.
class RunControl : public QObject, private HostSupervisor::Listener {
    Q_OBJECT
public:
    static constexpr std::uint32_t NoAddress = 0xFFFFFFFFu;

    struct Widgets {
        QAction* ping = nullptr;         // pingAction_: caption and enabled state
        QPushButton* reset = nullptr;    // resetButton
        std::array<QLabel*, 7> labels{}; // indexed by Label
    };
    struct Services {
        MessagePort* messages = nullptr;
        std::function<void(HostStatus)> showStatus; // the run has ended: its status is no more
        // Another host has become the main one: the window shows its latest probe and status.
        std::function<void(const WatchedHost&)> showMain;
        std::function<void()> openOptions; // as a click on the Options button
    };

    // `settings` are read, never written: what starting finds wrong with them it reports by a signal. The
    // supervisor tells the run control of the main host until the supervisor ends, which at exit is first.
    RunControl(const Settings& settings, HostSupervisor& supervisor, Widgets widgets, Services services,
               QObject* parent = nullptr);
    ~RunControl() override;

    void toggleRun();
    void stopRun();
    void resetStatistics();

    // A run is under way: from its start until the supervisor's answer to the stop.
    [[nodiscard]] bool isRunning() const { return running_; }
    // A start is waiting for the name service.
    [[nodiscard]] bool lookupPending() const;
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
    void started(const WatchedHost& host) override;
    void startFailed(const WatchedHost& host, HostSupervisor::StartFailure why, bool asked) override;
    void runEnded(const WatchedHost& host) override;
    void listChanged() override;

    [[nodiscard]] RunId mainId() const;
    void startRun();
    void handleRunEnded(RunEnd end);
    void showRunning(const WatchedHost& host);
    void setLabel(Label label, const std::string& text);
    void setPing(const char* caption, bool enabled);

    const Settings& settings_;
    HostSupervisor& supervisor_;
    Widgets widgets_;
    Services services_;
    RunId shownId_ = 0; // the main host whose run the controls show
    bool running_ = false;
    std::optional<IpAddress> target_;
};
