#pragma once

#include <deque>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include <QDBusConnection>
#include <QDBusPendingCall>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include "types/HostStatus.h"

class QDBusPendingCallWatcher;

// The hosts' Good/Bad edges as desktop notifications, through the session's org.freedesktop.Notifications
// service. Each host has a notification of its own, which its next edge replaces; when more than
// kBurstHosts hosts change within kBurstMs (a switch or the uplink went down), one summary takes their place
// rather than a flood. Calls are asynchronous, so a slow or missing service never holds anyone up. Without
// a bus or a service nothing is shown and one line goes to stderr, once for the life of the object (the
// program keeps one). What is still shown when it goes (the program exits) is withdrawn.
class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    static constexpr int kBurstHosts = 3;
    static constexpr qint64 kBurstMs = 2000;

    // The session bus, connected on the first notification rather than here, so a program that never
    // notifies never touches the bus.
    explicit DesktopNotifier(QObject* parent = nullptr);
    // A bus at another address (a private bus, or one that is not there).
    explicit DesktopNotifier(const QString& busAddress, QObject* parent = nullptr);
    ~DesktopNotifier() override;

    // "127.0.0.1 is Bad" with `body` (the reply or error text) below it, in place of that host's earlier
    // one. May be called from any thread; the call leaves from the thread this object lives on. While the
    // previous call for the host is still unanswered only the newest request waits, so that it can replace
    // what the service shows by then.
    void notify(const QString& host, HostStatus status, const QString& body);
    // More news of the edge already shown (where the route loses an outage's probes): replaces the text of
    // the host's own notification. Nothing when the host has none, because a summary told of it or it was
    // withdrawn. Does not count as a change.
    void amend(const QString& host, HostStatus status, const QString& body);
    // The host was stopped or removed: its notification goes, and it leaves the summary.
    void withdraw(const QString& host);

    // The id the service gave the newest notification on show, 0 before the first answer.
    [[nodiscard]] uint shownId() const { return shownId_; }
    // The id of the host's own notification while it is shown, else 0.
    [[nodiscard]] uint shownId(const QString& host) const;

    [[nodiscard]] static QString summary(const QString& host, HostStatus status);

Q_SIGNALS:
    // The service answered with the notification's id.
    void shown(uint id);
    // No bus, no service, or the service refused the call.
    void failed(const QString& reason);

private:
    struct Message {
        QString title;
        QString body;
        HostStatus status;
    };
    // One notification on the service: a host's own, or the summary (the null key).
    struct Slot {
        uint id = 0;
        bool waiting = false;
        bool closeWhenAnswered = false;
        std::optional<Message> queued;
        std::optional<QDBusPendingCall> pending; // the Notify call on its way
    };
    struct Change {
        qint64 atMs;
        QString host;
        HostStatus status;
    };

    void send(const QString& key, const Message& message);
    void answered(const QString& key, QDBusPendingCallWatcher* call);
    void close(Slot& slot);
    void leaveSummary(const QString& host);
    void showSummary();
    void fail(const QString& reason);
    QDBusConnection& connection();

    QString busAddress_;
    QString connectionName_;
    std::optional<QDBusConnection> connection_;
    std::map<QString, Slot> slots_;
    std::deque<Change> recent_;                              // the changes of the last kBurstMs
    std::vector<std::pair<QString, HostStatus>> summarized_; // the hosts the summary tells of, in order
    qint64 burstUntilMs_ = -1;                               // a change before then joins the summary
    QElapsedTimer clock_;
    uint shownId_ = 0;
    bool complained_ = false;
};
