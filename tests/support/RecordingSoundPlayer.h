#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "alerts/SoundPlayer.h"

class RecordingSoundPlayer : public SoundPlayer {
public:
    void play(const std::string& file) override {
        std::lock_guard lock(mutex_);
        played_.push_back(file);
    }

    [[nodiscard]] std::vector<std::string> played() const {
        std::lock_guard lock(mutex_);
        return played_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> played_;
};
