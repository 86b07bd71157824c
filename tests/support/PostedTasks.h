#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

// An owner thread's task queue for code that posts to its owner (the supervisor, a host lookup): any thread
// posts, the test's thread runs the tasks when it pumps. Counts the posts, so a test can tell how many tasks a
// burst of reports made.
class PostedTasks {
public:
    // The function to hand over as the owner's post.
    [[nodiscard]] std::function<void(std::function<void()>)> poster();

    void post(std::function<void()> task);
    // Runs the tasks queued now (and those they post), returns how many ran.
    std::size_t runPending();
    // Runs tasks as they come until `done` holds; false when it did not within `timeout`.
    [[nodiscard]] bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    [[nodiscard]] std::size_t posted() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::function<void()>> tasks_;
    std::size_t posted_ = 0;
};
