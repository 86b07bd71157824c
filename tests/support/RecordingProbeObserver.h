#pragma once

#include <mutex>
#include <vector>

#include "engine/ProbeObserver.h"

// Keeps every probe event it is told of. Thread-safe.
class RecordingProbeObserver : public ProbeObserver {
public:
    void probed(const ProbeEvent& event) noexcept override {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
    }
    [[nodiscard]] std::vector<ProbeEvent> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<ProbeEvent> events_;
};
