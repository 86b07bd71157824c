#pragma once

#include <mutex>
#include <ostream>
#include <vector>

#include "alerts/Launcher.h"

inline void PrintTo(const LaunchRequest& r, std::ostream* os) {
    *os << "{file=\"" << r.file << "\", params=\"" << r.params << "\", dir=\"" << r.workingDir
        << "\", show=" << r.showCommand << ", env=" << r.environment.size() << " entries}";
}

class RecordingLauncher : public Launcher {
public:
    void launch(const LaunchRequest& request) override {
        std::lock_guard lock(mutex_);
        launched_.push_back(request);
    }

    [[nodiscard]] std::vector<LaunchRequest> launched() const {
        std::lock_guard lock(mutex_);
        return launched_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<LaunchRequest> launched_;
};
