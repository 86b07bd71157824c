#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

#include "engine/WorkerCommand.h"

// The worker's inbox. It exists before the worker thread does, so nothing posted early is lost. Posting
// never waits for the worker.
class CommandQueue {
public:
    void post(WorkerCommand command);

    // The oldest command, waiting as long as it takes for one.
    [[nodiscard]] WorkerCommand wait();

    // The oldest command, without waiting.
    [[nodiscard]] std::optional<WorkerCommand> take();

    // Waits up to `timeout`, or less when a stop or quit is queued (also one queued before the call). Any
    // other command waits for the pause to end. Returns true when it ended early.
    bool pause(std::chrono::milliseconds timeout);

    [[nodiscard]] std::size_t size() const;

private:
    [[nodiscard]] WorkerCommand popFront();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<WorkerCommand> commands_;
    std::size_t pendingStops_ = 0; // queued stop and quit commands
};
