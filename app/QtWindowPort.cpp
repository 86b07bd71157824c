#include "app/QtWindowPort.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>

QtWindowPort::QtWindowPort(Handlers handlers) : mailbox_(std::make_unique<QObject>()), handlers_(std::move(handlers)) {}

QtWindowPort::~QtWindowPort() {
    shutdown();
}

bool QtWindowPort::onWindowThread() const {
    return QThread::currentThread() == mailbox_->thread();
}

bool QtWindowPort::deliver(std::function<void()> call) {
    // Posting under the lock orders every call against shutdown(): once that returns, nothing new is queued,
    // and whatever was queued before is dropped by the check below or dies with the mailbox.
    std::lock_guard lock(mutex_);
    if (shutDown_)
        return false;
    QMetaObject::invokeMethod(
        mailbox_.get(),
        [this, call = std::move(call)] {
            {
                std::lock_guard inner(mutex_);
                if (shutDown_)
                    return;
            }
            call();
        },
        Qt::QueuedConnection);
    return true;
}

void QtWindowPort::setLabel(Label label, std::string text) {
    deliver([this, label, text = QString::fromUtf8(text)] {
        if (handlers_.setLabel)
            handlers_.setLabel(label, text);
    });
}

void QtWindowPort::showStatusIcon(HostStatus status) {
    deliver([this, status] {
        if (handlers_.showStatusIcon)
            handlers_.showStatusIcon(status);
    });
}

void QtWindowPort::postLog(HostStatus status, std::string text) {
    deliver([this, status, text = std::move(text)] {
        if (handlers_.postLog)
            handlers_.postLog(status, text);
    });
}

void QtWindowPort::runEnded(RunEnd end) {
    if (onWindowThread()) {
        // Nothing to wait for: the caller already is the window.
        if (handlers_.runEnded && !isShutDown())
            handlers_.runEnded(end);
        return;
    }
    std::uint64_t ticket = 0;
    {
        std::lock_guard lock(mutex_);
        ticket = ++stopsSent_;
    }
    const bool queued = deliver([this, end, ticket] {
        if (handlers_.runEnded)
            handlers_.runEnded(end);
        std::lock_guard lock(mutex_);
        if (stopsHandled_ < ticket)
            stopsHandled_ = ticket;
        handled_.notify_all();
    });
    if (!queued)
        return;
    std::unique_lock lock(mutex_);
    handled_.wait(lock, [&] { return shutDown_ || stopsHandled_ >= ticket; });
}

void QtWindowPort::shutdown() {
    std::lock_guard lock(mutex_);
    shutDown_ = true;
    handled_.notify_all();
}

bool QtWindowPort::isShutDown() const {
    std::lock_guard lock(mutex_);
    return shutDown_;
}
