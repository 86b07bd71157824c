#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "engine/WindowPort.h"
#include "types/ProbeEvent.h"

// The console probe's face: prints what the window would show, one reply line and one statistics line per
// probe (nothing with `quiet`), keeps the figures for the final statistics and says when the count is done.
// The worker thread calls the port; the main thread waits for the stop answer and then reads the summary.
class ProbeConsole final : public WindowPort {
public:
    struct Totals {
        RunStatistics figures; // of the last probe: the window's counters and times
        [[nodiscard]] std::uint64_t requests() const { return figures.requests; }
        [[nodiscard]] std::uint64_t replies() const { return figures.replies(); }
    };

    // `done` runs on the worker thread after the `count`th probe (count 0: never), when `out` is a pipe nobody
    // reads any more, and when no run could begin.
    ProbeConsole(std::FILE* out, bool quiet, std::uint64_t count, std::function<void()> done);

    void probed(const ProbeEvent& event) override;
    void postLog(const ProbeEvent&) override {}
    void runEnded(RunId run, RunEnd end) override;

    // Blocks until the worker has answered a stop (or a failed start).
    void waitForAnswer();
    [[nodiscard]] bool failed() const;
    [[nodiscard]] Totals totals() const;

    // The closing lines, in ping's manner:
    //   --- HOST statistics ---
    //   3 requests, 2 replies, 1 lost (33%)
    //   round-trip min/avg/max = 0/1/2 ms        (only when a reply came back)
    [[nodiscard]] static std::string summary(const std::string& host, const Totals& totals);

    // What follows a reply line whose data came back changed, in ping's words:
    //   " (wrong data byte #5 should be 0x20 but was 0x41)", " (wrong data: 22 bytes short)"
    [[nodiscard]] static std::string wrongDataNote(const WrongData& wrong);

private:
    std::FILE* const out_;
    const bool quiet_;
    const std::uint64_t count_;
    const std::function<void()> done_;
    std::string line_;      // worker thread only
    std::string timesLine_; // kept between cycles: a loss leaves the times as they were

    mutable std::mutex mutex_;
    std::condition_variable answer_;
    Totals totals_;
    std::uint64_t probes_ = 0; // the window's counters are 32 bits and wrap; the count must not
    bool answered_ = false;
    bool failed_ = false;
};
