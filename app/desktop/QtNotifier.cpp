#include "app/desktop/QtNotifier.h"

#include <QMetaObject>

#include "app/desktop/DesktopNotifier.h"

QtNotifier::QtNotifier(QString busAddress, QObject* parent) : QObject(parent), busAddress_(std::move(busAddress)) {}

QtNotifier::~QtNotifier() = default;

void QtNotifier::notify(const std::string& host, HostStatus status, const std::string& text) {
    QMetaObject::invokeMethod(
        this,
        [this, host = QString::fromUtf8(host), status, text = QString::fromUtf8(text)] {
            if (notifier_ == nullptr) {
                notifier_ = new DesktopNotifier(busAddress_, this);
                Q_EMIT notifierCreated(notifier_);
            }
            notifier_->notify(host, status, text);
        },
        Qt::QueuedConnection);
}
