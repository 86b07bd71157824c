#pragma once

#include <atomic>
#include <cstdint>

#include "engine/HostStatus.h"

// Process-wide state read by both threads.
struct AppState {
    std::atomic<bool> running{false};
    std::atomic<bool> inTray{false};
    std::atomic<HostStatus> currentStatus{HostStatus::NA};
    std::atomic<std::uint32_t> targetAddress{0}; // network byte order; all ones = no address
};
