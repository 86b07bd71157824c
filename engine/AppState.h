#pragma once

#include <atomic>
#include <cstdint>

#include "engine/HostStatus.h"

// Process-wide state read by both threads.
struct AppState {
    std::atomic<bool> Running{false};
    std::atomic<bool> InTray{false};
    std::atomic<HostStatus> CurrentStatus{HostStatus::NA};
    std::atomic<std::uint32_t> TargetAddress{0}; // network byte order; all ones = no address
};
