#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "engine/HostStatus.h"
#include "engine/IpAddress.h"

// An address that one thread writes and others read; too wide for a lock-free atomic.
class SharedAddress {
public:
    SharedAddress& operator=(const IpAddress& address) {
        store(address);
        return *this;
    }
    void store(const IpAddress& address) {
        std::lock_guard lock(mutex_);
        address_ = address;
    }
    [[nodiscard]] IpAddress load() const {
        std::lock_guard lock(mutex_);
        return address_;
    }
    operator IpAddress() const { return load(); } // NOLINT(google-explicit-constructor): reads like the atomics

private:
    mutable std::mutex mutex_;
    IpAddress address_;
};

// Process-wide state read by both threads.
struct AppState {
    std::atomic<bool> running{false};
    std::atomic<bool> inTray{false};
    std::atomic<HostStatus> currentStatus{HostStatus::NA};
    SharedAddress targetAddress; // no address (family None) until a start has resolved the host
};
