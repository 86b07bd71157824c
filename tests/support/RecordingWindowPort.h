#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "engine/WindowPort.h"
#include "text/ProbeText.h"
#include "types/HostStatus.h"

// One call the worker made on the window, in the order made.
struct WindowEvent {
    enum class Kind : std::uint8_t { Label, Icon, Log, RunEnded };
    Kind kind = Kind::Label;
    Label label = Label::Status;        // Label
    std::string text;                   // Label, Log
    HostStatus status = HostStatus::NA; // Icon, Log
    bool failed = false;                // RunEnded: the channel did not open

    static WindowEvent labelSet(Label label, std::string text);
    static WindowEvent icon(HostStatus status);
    static WindowEvent log(HostStatus status, std::string text);
    static WindowEvent stopped(bool failed);

    bool operator==(const WindowEvent&) const = default;
};

void PrintTo(const WindowEvent& e, std::ostream* os);

// A window port that records everything, as the window would show it: each probe as the fields it sets and, when
// the status changed, the icon; safe to read from the test thread while the worker writes.
class RecordingWindowPort : public WindowPort {
public:
    void probed(const ProbeEvent& event) override;
    void postLog(const ProbeEvent& event) override;
    void runEnded(RunId run, RunEnd end) override;
    // What the window does itself when a run has ended: the status goes back to N/A.
    void showStatusIcon(HostStatus status);

    // The probes as reported, typed.
    [[nodiscard]] std::vector<ProbeEvent> probes() const;
    [[nodiscard]] std::vector<RunId> endedRuns() const;

    [[nodiscard]] std::vector<WindowEvent> events() const;
    [[nodiscard]] std::vector<WindowEvent> eventsOf(WindowEvent::Kind kind) const;
    [[nodiscard]] std::optional<std::string> lastLabel(Label label) const;
    [[nodiscard]] std::vector<std::string> labels(Label label) const;
    [[nodiscard]] std::vector<HostStatus> icons() const;
    [[nodiscard]] std::vector<bool> stops() const;
    [[nodiscard]] std::size_t count(WindowEvent::Kind kind) const;
    // Kept apart from the events, which are what the window shows.
    [[nodiscard]] std::vector<WrongData> wrongData() const;
    void clear();

    // Waits until `done` holds for the recorded events.
    [[nodiscard]] bool waitUntil(const std::function<bool(const std::vector<WindowEvent>&)>& done,
                                 std::chrono::milliseconds timeout) const;
    [[nodiscard]] bool waitForStops(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    void record(WindowEvent event);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<WindowEvent> events_;
    std::vector<ProbeEvent> probes_;
    std::vector<RunId> endedRuns_;
};
