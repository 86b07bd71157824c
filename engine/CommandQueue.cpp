#include "engine/CommandQueue.h"

void CommandQueue::post(WorkerCommand command) {
    {
        std::lock_guard lock(mutex_);
        if (endsRun(command))
            ++pendingStops_;
        commands_.push_back(std::move(command));
    }
    changed_.notify_all();
}

WorkerCommand CommandQueue::popFront() {
    WorkerCommand command = std::move(commands_.front());
    commands_.pop_front();
    if (endsRun(command))
        --pendingStops_;
    return command;
}

WorkerCommand CommandQueue::wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !commands_.empty(); });
    return popFront();
}

std::optional<WorkerCommand> CommandQueue::take() {
    std::lock_guard lock(mutex_);
    if (commands_.empty())
        return std::nullopt;
    return popFront();
}

bool CommandQueue::pause(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (timeout <= std::chrono::milliseconds::zero())
        return pendingStops_ > 0;
    return changed_.wait_for(lock, timeout, [this] { return pendingStops_ > 0; });
}

std::size_t CommandQueue::size() const {
    std::lock_guard lock(mutex_);
    return commands_.size();
}
