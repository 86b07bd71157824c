#pragma once

#include <optional>

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include "types/HostStatus.h"

class QDBusPendingCallWatcher;

// The host's Good/Bad edges as desktop notifications, through the session's org.freedesktop.Notifications
// service. Calls are asynchronous, so a slow or missing service never holds anyone up; each notification
// replaces the previous one of this object instead of stacking. Without a bus or a service nothing is shown
// and one line goes to stderr, once for the life of the object (the program keeps one).
class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    // The session bus, connected on the first notification rather than here, so a program that never
    // notifies never touches the bus.
    explicit DesktopNotifier(QObject* parent = nullptr);
    // A bus at another address (a private bus, or one that is not there).
    explicit DesktopNotifier(const QString& busAddress, QObject* parent = nullptr);
    ~DesktopNotifier() override;

    // "127.0.0.1 is Bad" with `body` (the reply or error text) below it. May be called from any thread; the
    // call leaves from the thread this object lives on. While the previous call is still unanswered only the
    // newest request waits, so that it can replace what the service shows by then.
    void notify(const QString& host, HostStatus status, const QString& body);

    // The id the service gave the notification on show, 0 before the first answer.
    [[nodiscard]] uint shownId() const { return shownId_; }

    [[nodiscard]] static QString summary(const QString& host, HostStatus status);

Q_SIGNALS:
    // The service answered with the notification's id.
    void shown(uint id);
    // No bus, no service, or the service refused the call.
    void failed(const QString& reason);

private:
    struct Request {
        QString host;
        HostStatus status;
        QString body;
    };

    void send(const Request& request);
    void answered(QDBusPendingCallWatcher* call);
    void fail(const QString& reason);
    QDBusConnection& connection();

    QString busAddress_;
    QString connectionName_;
    std::optional<QDBusConnection> connection_;
    bool waiting_ = false;
    std::optional<Request> queued_;
    uint shownId_ = 0;
    bool complained_ = false;
};
