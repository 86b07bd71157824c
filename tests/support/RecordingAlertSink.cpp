#include "support/RecordingAlertSink.h"

#include "text/ProbeText.h"

void PrintTo(const RaisedAlert& a, std::ostream* os) {
    *os << (a.edge == AlertEdge::StartResponding ? "start-responding" : "stop-responding") << " as " << a.current
        << " \"" << a.statusLine << "\" reply status " << a.replyStatus;
}

void RecordingAlertSink::raiseAlert(const AlertSettings& /*settings*/, AlertEdge edge, HostStatus current,
                                    const ProbeEvent& event) {
    std::lock_guard lock(mutex_);
    alerts_.push_back(RaisedAlert{edge, current, ProbeText::replyLine(event), event.status});
}

void RecordingAlertSink::reportDownAtStart(const AlertSettings& /*settings*/, HostStatus /*current*/,
                                           const ProbeEvent& event) {
    std::lock_guard lock(mutex_);
    downAtStart_.push_back(ProbeText::replyLine(event));
}

std::vector<std::string> RecordingAlertSink::downAtStart() const {
    std::lock_guard lock(mutex_);
    return downAtStart_;
}

std::vector<RaisedAlert> RecordingAlertSink::alerts() const {
    std::lock_guard lock(mutex_);
    return alerts_;
}

void RecordingAlertSink::clear() {
    std::lock_guard lock(mutex_);
    alerts_.clear();
    downAtStart_.clear();
}
