#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "alerts/MessagePort.h"

struct ShownError {
    std::string text;
    std::string caption;
    bool operator==(const ShownError&) const = default;
};

inline void PrintTo(const ShownError& e, std::ostream* os) {
    *os << "{\"" << e.text << "\", \"" << e.caption << "\"}";
}

// Records error boxes instead of showing them. `onShow` runs inside showError, while the "box" is open.
class RecordingMessagePort : public MessagePort {
public:
    void showError(const std::string& text, const std::string& caption) override {
        {
            std::lock_guard lock(mutex_);
            errors_.push_back({text, caption});
        }
        if (onShow)
            onShow();
    }

    [[nodiscard]] std::vector<ShownError> errors() const {
        std::lock_guard lock(mutex_);
        return errors_;
    }

    std::function<void()> onShow;

private:
    mutable std::mutex mutex_;
    std::vector<ShownError> errors_;
};
