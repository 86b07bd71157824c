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

void QtWindowPort::probed(const ProbeEvent& event) {
    deliver([this, event] {
        if (handlers_.probed)
            handlers_.probed(event);
    });
}

void QtWindowPort::postLog(const ProbeEvent& event) {
    deliver([this, event] {
        if (handlers_.postLog)
            handlers_.postLog(event);
    });
}

void QtWindowPort::runEnded(RunId run, RunEnd end) {
    if (onWindowThread()) {
        // Nothing to wait for: the caller already is the window.
        if (handlers_.runEnded && !isShutDown())
            handlers_.runEnded(run, end);
        return;
    }
    std::uint64_t ticket = 0;
    {
        std::lock_guard lock(mutex_);
        ticket = ++stopsSent_;
    }
    const bool queued = deliver([this, run, end, ticket] {
        if (handlers_.runEnded)
            handlers_.runEnded(run, end);
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
