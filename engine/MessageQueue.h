#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

// The worker's inbox of message numbers. It exists before the worker thread does, so nothing posted early
// is lost. Posting never waits for the worker; the worker takes one message per turn and pauses on it.
class MessageQueue {
public:
    void post(std::uint32_t message);

    // The oldest message, without waiting.
    [[nodiscard]] std::optional<std::uint32_t> take();

    // Waits up to `timeout`, or less when a request to end the run or the thread is queued (also one queued
    // before the call). Any other request waits for the pause to end. Returns true when it ended early.
    bool pause(std::chrono::milliseconds timeout);

    [[nodiscard]] std::size_t size() const;

private:
    [[nodiscard]] static bool endsRun(std::uint32_t message);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::uint32_t> messages_;
    std::size_t pendingStops_ = 0; // queued stop and quit requests
};
