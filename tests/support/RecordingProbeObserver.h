#pragma once

#include <mutex>
#include <vector>

#include "types/ProbeObserver.h"

// Keeps every probe event it is told of, and how many had come when each run ended. Thread-safe.
class RecordingProbeObserver : public ProbeObserver {
public:
    void probed(const ProbeEvent& event) noexcept override {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
    }
    void runEnded(RunId, std::int64_t) noexcept override {
        std::lock_guard lock(mutex_);
        runEnds_.push_back(events_.size());
    }
    [[nodiscard]] std::vector<ProbeEvent> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    [[nodiscard]] std::vector<std::size_t> runEnds() const {
        std::lock_guard lock(mutex_);
        return runEnds_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<ProbeEvent> events_;
    std::vector<std::size_t> runEnds_;
};
