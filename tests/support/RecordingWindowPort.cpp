#include "support/RecordingWindowPort.h"

#include <algorithm>

namespace {
const char* const kLabelNames[] = {"Host", "Status", "Total", "Lost", "Min", "Max", "Avg"};
}

WindowEvent WindowEvent::labelSet(Label label, std::string text) {
    WindowEvent e;
    e.kind = Kind::Label;
    e.label = label;
    e.text = std::move(text);
    return e;
}

WindowEvent WindowEvent::icon(HostStatus status) {
    WindowEvent e;
    e.kind = Kind::Icon;
    e.status = status;
    return e;
}

WindowEvent WindowEvent::log(HostStatus status, std::string text) {
    WindowEvent e;
    e.kind = Kind::Log;
    e.status = status;
    e.text = std::move(text);
    return e;
}

WindowEvent WindowEvent::stopped(bool failed) {
    WindowEvent e;
    e.kind = Kind::RunEnded;
    e.failed = failed;
    return e;
}

void PrintTo(const WindowEvent& e, std::ostream* os) {
    switch (e.kind) {
    case WindowEvent::Kind::Label:
        *os << "label " << kLabelNames[static_cast<unsigned>(e.label) % 7] << " = \"" << e.text << '"';
        break;
    case WindowEvent::Kind::Icon:
        *os << "icon " << e.status;
        break;
    case WindowEvent::Kind::Log:
        *os << "log " << e.status << " \"" << e.text << '"';
        break;
    case WindowEvent::Kind::RunEnded:
        *os << "runEnded(" << (e.failed ? "channel failed" : "stopped") << ')';
        break;
    }
}

void RecordingWindowPort::record(WindowEvent event) {
    {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    changed_.notify_all();
}

void RecordingWindowPort::probed(const ProbeEvent& event) {
    {
        std::lock_guard lock(mutex_);
        probes_.push_back(event);
        for (auto& [label, text] : ProbeText::labels(event))
            events_.push_back(WindowEvent::labelSet(label, std::move(text)));
        if (event.statusChanged)
            events_.push_back(WindowEvent::icon(event.hostStatus));
    }
    changed_.notify_all();
}

std::vector<WrongData> RecordingWindowPort::wrongData() const {
    std::vector<WrongData> found;
    for (const ProbeEvent& e : probes())
        if (e.wrongData)
            found.push_back(*e.wrongData);
    return found;
}

void RecordingWindowPort::showStatusIcon(HostStatus status) {
    record(WindowEvent::icon(status));
}

void RecordingWindowPort::postLog(const ProbeEvent& event) {
    record(WindowEvent::log(event.hostStatus, ProbeText::replyLine(event)));
}

void RecordingWindowPort::runEnded(RunId run, RunEnd end) {
    {
        std::lock_guard lock(mutex_);
        endedRuns_.push_back(run);
    }
    record(WindowEvent::stopped(end == RunEnd::ChannelFailed));
}

std::vector<ProbeEvent> RecordingWindowPort::probes() const {
    std::lock_guard lock(mutex_);
    return probes_;
}

std::vector<RunId> RecordingWindowPort::endedRuns() const {
    std::lock_guard lock(mutex_);
    return endedRuns_;
}

std::vector<WindowEvent> RecordingWindowPort::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<WindowEvent> RecordingWindowPort::eventsOf(WindowEvent::Kind kind) const {
    std::vector<WindowEvent> result;
    for (const WindowEvent& e : events())
        if (e.kind == kind)
            result.push_back(e);
    return result;
}

std::optional<std::string> RecordingWindowPort::lastLabel(Label label) const {
    const std::vector<std::string> texts = labels(label);
    if (texts.empty())
        return std::nullopt;
    return texts.back();
}

std::vector<std::string> RecordingWindowPort::labels(Label label) const {
    std::vector<std::string> result;
    for (const WindowEvent& e : eventsOf(WindowEvent::Kind::Label))
        if (e.label == label)
            result.push_back(e.text);
    return result;
}

std::vector<HostStatus> RecordingWindowPort::icons() const {
    std::vector<HostStatus> result;
    for (const WindowEvent& e : eventsOf(WindowEvent::Kind::Icon))
        result.push_back(e.status);
    return result;
}

std::vector<bool> RecordingWindowPort::stops() const {
    std::vector<bool> result;
    for (const WindowEvent& e : eventsOf(WindowEvent::Kind::RunEnded))
        result.push_back(e.failed);
    return result;
}

std::size_t RecordingWindowPort::count(WindowEvent::Kind kind) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(events_.begin(), events_.end(), [kind](const WindowEvent& e) { return e.kind == kind; }));
}

void RecordingWindowPort::clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
    probes_.clear();
    endedRuns_.clear();
}

bool RecordingWindowPort::waitUntil(const std::function<bool(const std::vector<WindowEvent>&)>& done,
                                    std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(events_); });
}

bool RecordingWindowPort::waitForStops(std::size_t count, std::chrono::milliseconds timeout) const {
    return waitUntil(
        [count](const std::vector<WindowEvent>& events) {
            return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), [](const WindowEvent& e) {
                       return e.kind == WindowEvent::Kind::RunEnded;
                   })) >= count;
        },
        timeout);
}
