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
    enum class WakeOn : std::uint8_t {
        AnyMessage, // idle: any request may as well be taken now
        StopOrQuit, // after a probe: only a request to end the run or the thread cuts the pause short
    };

    void post(std::uint32_t message);

    // The oldest message, without waiting.
    [[nodiscard]] std::optional<std::uint32_t> take();

    // Waits up to `timeout`, or less when a message of the kind `wake` names is queued (also one queued
    // before the call). Returns true when it ended early.
    bool pause(std::chrono::milliseconds timeout, WakeOn wake);

    [[nodiscard]] std::size_t size() const;

private:
    [[nodiscard]] static bool endsRun(std::uint32_t message);
    [[nodiscard]] bool wakes(WakeOn wake) const;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::uint32_t> messages_;
    std::size_t pendingStops_ = 0; // queued stop and quit requests
};
