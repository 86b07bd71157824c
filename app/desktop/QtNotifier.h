#pragma once

#include <map>

#include <QObject>
#include <QString>

#include "alerts/Notifier.h"
#include "types/ProbeObserver.h"

class DesktopNotifier;

// The alerts' notifications as desktop notifications, one per host. notify() may come from a probing
// thread; the DesktopNotifier behind it is made on the window thread at the first notification, so a program
// whose host never changes (and is not down at the start) never connects to the session bus. As an observer
// of the runs it hears when a run ends (stopped, removed, restarted with new settings) and withdraws what that
// run's host shows.
class QtNotifier : public QObject, public Notifier, public ProbeObserver {
    Q_OBJECT
public:
    // An empty address means the session bus.
    explicit QtNotifier(QString busAddress = {}, QObject* parent = nullptr);
    ~QtNotifier() override;

    void notify(RunId run, const std::string& host, HostStatus status, const std::string& text) override;
    // Later news of the edge the host's notification shows (where an outage's route loses the probes): it
    // replaces that notification's text and is dropped when the host has none of its own. Any thread.
    void amend(const std::string& host, HostStatus status, const std::string& text);

    void probed(const ProbeEvent&) noexcept override {}
    void runEnded(RunId run, std::int64_t atMs) noexcept override;

    // Null until the first notification has reached the window thread.
    [[nodiscard]] DesktopNotifier* desktopNotifier() const { return notifier_; }

Q_SIGNALS:
    // The DesktopNotifier has just been made; its signals can be connected now, before its first call.
    void notifierCreated(DesktopNotifier* notifier);

private:
    DesktopNotifier& desktop();

    QString busAddress_;
    DesktopNotifier* notifier_ = nullptr;
    std::map<RunId, QString> hostOfRun_; // the runs that notified, on the window thread
};
