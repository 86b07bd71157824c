#pragma once

#include <QObject>
#include <QString>

#include "alerts/Notifier.h"

class DesktopNotifier;

// The alerts' notifications as desktop notifications. notify() may come from the worker thread; the
// DesktopNotifier behind it is made on the window thread at the first notification, so a program whose host
// never changes (and is not down at the start) never connects to the session bus.
class QtNotifier : public QObject, public Notifier {
    Q_OBJECT
public:
    // An empty address means the session bus.
    explicit QtNotifier(QString busAddress = {}, QObject* parent = nullptr);
    ~QtNotifier() override;

    void notify(const std::string& host, HostStatus status, const std::string& text) override;

    // Null until the first notification has reached the window thread.
    [[nodiscard]] DesktopNotifier* desktopNotifier() const { return notifier_; }

Q_SIGNALS:
    // The DesktopNotifier has just been made; its signals can be connected now, before its first call.
    void notifierCreated(DesktopNotifier* notifier);

private:
    QString busAddress_;
    DesktopNotifier* notifier_ = nullptr;
};
