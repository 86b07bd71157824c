#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "support/NetNamespace.h"
#include "support/RouterChain.h"

// Two veth ends in a namespace of their own between a chain's client and its first router, every frame from
// one passed to the other after a delay: a wire with latency, where the machine has no netem. The link's
// addresses stay as they were. Runs on its own thread until the object dies (the chain must outlive it).
class DelayWire {
public:
    DelayWire(const RouterChain& chain, std::chrono::milliseconds delay, const std::string& tag = "wire");
    ~DelayWire();
    DelayWire(const DelayWire&) = delete;
    DelayWire& operator=(const DelayWire&) = delete;

    [[nodiscard]] bool ok() const { return ok_; }

private:
    void run();

    NetNamespace ns_;
    std::chrono::milliseconds delay_;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
