#include "app/desktop/QtNotifier.h"

#include <QMetaObject>

#include "app/desktop/DesktopNotifier.h"

QtNotifier::QtNotifier(QString busAddress, QObject* parent) : QObject(parent), busAddress_(std::move(busAddress)) {}

QtNotifier::~QtNotifier() = default;

DesktopNotifier& QtNotifier::desktop() {
    if (notifier_ == nullptr) {
        notifier_ = new DesktopNotifier(busAddress_, this);
        Q_EMIT notifierCreated(notifier_);
    }
    return *notifier_;
}

void QtNotifier::notify(RunId run, const std::string& host, HostStatus status, const std::string& text) {
    QMetaObject::invokeMethod(
        this,
        [this, run, host = QString::fromUtf8(host), status, text = QString::fromUtf8(text)] {
            hostOfRun_[run] = host;
            desktop().notify(host, status, text);
        },
        Qt::QueuedConnection);
}

void QtNotifier::amend(const std::string& host, HostStatus status, const std::string& text) {
    QMetaObject::invokeMethod(
        this,
        [this, host = QString::fromUtf8(host), status, text = QString::fromUtf8(text)] {
            if (notifier_ != nullptr)
                notifier_->amend(host, status, text);
        },
        Qt::QueuedConnection);
}

void QtNotifier::runEnded(RunId run, std::int64_t) noexcept {
    // Queued behind the run's own notifications, which came from the same thread.
    QMetaObject::invokeMethod(
        this,
        [this, run] {
            const auto it = hostOfRun_.find(run);
            if (it == hostOfRun_.end())
                return; // it never notified: the bus stays untouched
            const QString host = it->second;
            hostOfRun_.erase(it);
            if (notifier_ != nullptr)
                notifier_->withdraw(host);
        },
        Qt::QueuedConnection);
}
