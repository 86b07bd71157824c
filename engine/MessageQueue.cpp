#include "engine/MessageQueue.h"

#include "engine/WorkerMessage.h"

bool MessageQueue::endsRun(std::uint32_t message) {
    return message == static_cast<std::uint32_t>(WorkerMessage::PingStop) ||
           message == static_cast<std::uint32_t>(WorkerMessage::Quit);
}

void MessageQueue::post(std::uint32_t message) {
    {
        std::lock_guard lock(mutex_);
        messages_.push_back(message);
        if (endsRun(message))
            ++pendingStops_;
    }
    changed_.notify_all();
}

std::optional<std::uint32_t> MessageQueue::take() {
    std::lock_guard lock(mutex_);
    if (messages_.empty())
        return std::nullopt;
    const std::uint32_t message = messages_.front();
    messages_.pop_front();
    if (endsRun(message))
        --pendingStops_;
    return message;
}

bool MessageQueue::pause(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (timeout <= std::chrono::milliseconds::zero())
        return pendingStops_ > 0;
    return changed_.wait_for(lock, timeout, [this] { return pendingStops_ > 0; });
}

std::size_t MessageQueue::size() const {
    std::lock_guard lock(mutex_);
    return messages_.size();
}
