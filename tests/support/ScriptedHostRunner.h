#pragma once

#include <mutex>
#include <vector>

#include "monitor/HostRunner.h"

// A runner that records what it is asked and reports only what the test makes it report, through the face it
// was made for, as the hub's thread would.
class ScriptedHostRunner : public HostRunner {
public:
    struct Call {
        enum class Kind : std::uint8_t { Start, Stop, Reset, LoggingOff };
        Kind kind = Kind::Start;
        RunId run = 0;
        RunSettings settings; // Start
    };

    explicit ScriptedHostRunner(WindowPort& face) : face_(face) {}

    void startRun(RunId run, RunSettings settings) override { record({Call::Kind::Start, run, std::move(settings)}); }
    void stopRun(RunId run) override { record({Call::Kind::Stop, run, {}}); }
    void resetRun(RunId run) override { record({Call::Kind::Reset, run, {}}); }
    void loggingOff(RunId run) override { record({Call::Kind::LoggingOff, run, {}}); }

    [[nodiscard]] std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    [[nodiscard]] std::size_t count(Call::Kind kind, RunId run) const {
        std::lock_guard lock(mutex_);
        std::size_t n = 0;
        for (const Call& call : calls_)
            n += call.kind == kind && call.run == run ? 1 : 0;
        return n;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }

    // Reports as the run would.
    [[nodiscard]] WindowPort& face() { return face_; }

private:
    void record(Call call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }

    WindowPort& face_;
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
};
