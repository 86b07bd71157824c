#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "types/PathObserver.h"

// Keeps every trace and route change a path watch reports, for tests to wait on and read.
class RecordingPathObserver : public PathObserver {
public:
    void pathTraced(const PathTrace& trace) noexcept override {
        std::lock_guard lock(mutex_);
        traces_.push_back(trace);
        changed_.notify_all();
    }
    void routeChanged(const RouteChange& change) noexcept override {
        std::lock_guard lock(mutex_);
        changes_.push_back(change);
        changed_.notify_all();
    }
    bool waitTraces(std::size_t count, std::chrono::milliseconds patience = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, patience, [&] { return traces_.size() >= count; });
    }
    std::vector<PathTrace> traces() const {
        std::lock_guard lock(mutex_);
        return traces_;
    }
    std::vector<RouteChange> changes() const {
        std::lock_guard lock(mutex_);
        return changes_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<PathTrace> traces_;
    std::vector<RouteChange> changes_;
};
