#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include <memory>

#include <QObject>

#include "engine/WindowPort.h"

// Carries the worker's requests onto the window thread as queued calls, in the order they are made. Only
// runEnded() waits, until the window has handled it; shutdown() releases that wait for good, so the
// worker can always be joined while the window is going away.
class QtWindowPort : public WindowPort {
public:
    struct Handlers {
        std::function<void(const ProbeEvent&)> probed;
        std::function<void(const ProbeEvent&)> postLog;
        std::function<void(RunId, RunEnd)> runEnded;
    };

    // The handlers run on the thread that creates the port (the window thread), never after shutdown().
    explicit QtWindowPort(Handlers handlers);
    ~QtWindowPort() override;
    QtWindowPort(const QtWindowPort&) = delete;
    QtWindowPort& operator=(const QtWindowPort&) = delete;

    void probed(const ProbeEvent& event) override;
    void postLog(const ProbeEvent& event) override;
    void runEnded(RunId run, RunEnd end) override;

    // From here on nothing reaches the window and runEnded() returns at once.
    void shutdown();
    [[nodiscard]] bool isShutDown() const;

private:
    // Queues `call` onto the window thread unless the port is shut down; false when dropped.
    bool deliver(std::function<void()> call);
    [[nodiscard]] bool onWindowThread() const;

    std::unique_ptr<QObject> mailbox_; // queued calls die with it
    Handlers handlers_;
    mutable std::mutex mutex_;
    std::condition_variable handled_;
    bool shutDown_ = false;
    std::uint64_t stopsSent_ = 0;
    std::uint64_t stopsHandled_ = 0;
};
