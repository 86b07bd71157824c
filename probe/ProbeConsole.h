#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "engine/WindowPort.h"
#include "probe/ConsoleText.h"
#include "types/ProbeEvent.h"

// The console probe's face: prints one reply line and one statistics line per probe (nothing with `quiet`),
// keeps the figures for the final statistics and says when the count is done. The hub's thread calls the
// port; the main thread waits for the stop answer and then reads the summary.
class ProbeConsole final : public WindowPort {
public:
    // What the command line asked of the output.
    struct Output {
        bool quiet = false;         // no line per probe
        std::uint64_t count = 0;    // probes until `done`; 0: never
        bool timestamps = false;    // "[1765184256.123456] " before each probe's line, as ping -D
        bool reportMissing = false; // a line for a request that timed out, as ping -O; else only the totals say
    };

    struct Totals {
        RunStatistics figures; // of the last probe: the window's counters
        RoundTrips times;      // of every reply, to the microsecond
        [[nodiscard]] std::uint64_t requests() const { return figures.requests; }
        [[nodiscard]] std::uint64_t replies() const { return figures.replies(); }
    };

    // `done` runs on the hub's thread after the `count`th probe (count 0: never), when `out` is a pipe nobody
    // reads any more, and when no run could begin.
    ProbeConsole(std::FILE* out, Output output, std::function<void()> done);

    void probed(const ProbeEvent& event) override;
    void postLog(const ProbeEvent&) override {}
    void runEnded(RunId run, RunEnd end) override;

    // Blocks until the hub has answered a stop (or a failed start).
    void waitForAnswer();
    [[nodiscard]] bool failed() const;
    [[nodiscard]] Totals totals() const;
    // The totals as they are now, with nothing printed after: for a deadline that will not wait for the probe
    // under way.
    [[nodiscard]] Totals close();

    // The closing lines, in ping's manner:
    //   --- HOST statistics ---
    //   3 requests, 2 replies, 1 lost (33%)
    //   round-trip min/avg/max/mdev = 0.031/0.045/0.062/0.012 ms     (only when a reply came back)
    [[nodiscard]] static std::string summary(const std::string& host, const Totals& totals);

    // What follows a reply line whose data came back changed, in ping's words:
    //   " (wrong data byte #5 should be 0x20 but was 0x41)", " (wrong data: 22 bytes short)"
    [[nodiscard]] static std::string wrongDataNote(const WrongData& wrong);

private:
    void print(const ProbeEvent& event, std::uint64_t seq);

    std::FILE* const out_;
    const Output output_;
    const std::function<void()> done_;
    std::string line_;      // hub thread only
    std::string timesLine_; // kept between cycles: a loss leaves the times as they were

    mutable std::mutex mutex_; // also keeps a closing summary from mixing with a probe's lines
    std::condition_variable answer_;
    Totals totals_;
    std::uint64_t probes_ = 0; // the window's counters are 32 bits and wrap; the count and seq= must not
    bool answered_ = false;
    bool failed_ = false;
    bool closed_ = false;
};
