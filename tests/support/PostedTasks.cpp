#include "support/PostedTasks.h"

std::function<void(std::function<void()>)> PostedTasks::poster() {
    return [this](std::function<void()> task) { post(std::move(task)); };
}

void PostedTasks::post(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    ++posted_;
    arrived_.notify_all();
}

std::size_t PostedTasks::runPending() {
    std::size_t ran = 0;
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard lock(mutex_);
            if (tasks_.empty())
                return ran;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
        ++ran;
    }
}

bool PostedTasks::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        runPending();
        if (done())
            return true;
        bool arrived = false;
        {
            std::unique_lock lock(mutex_);
            arrived = arrived_.wait_until(lock, deadline, [this] { return !tasks_.empty(); });
        }
        if (!arrived) {
            runPending();
            return done();
        }
    }
}

std::size_t PostedTasks::posted() const {
    std::lock_guard lock(mutex_);
    return posted_;
}
