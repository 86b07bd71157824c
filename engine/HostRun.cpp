#include "engine/HostRun.h"

#include <algorithm>
#include <chrono>

HostRun::HostRun(RunId id, WindowPort& face, AlertSink* alerts, const std::vector<ProbeObserver*>& observers)
    : id_(id), face_(face), alerts_(alerts), observers_(observers) {}

std::int64_t HostRun::unixMillisNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void HostRun::prepare(RunSettings run) {
    run_ = std::move(run);
    stats_.reset();
    analysis_.beginRun(run_);
    ring_.clear();
}

void HostRun::started() {
    targetText_ = run_.targetAddress.text();
    event_.run = id_;
    event_.host = run_.alerts.host;
    event_.address = targetText_;
    probing_ = true;
}

void HostRun::failedToStart() {
    analysis_.endRun();
    face_.runEnded(id_, RunEnd::ChannelFailed);
}

void HostRun::finish(bool stopped) {
    if (probing_ && !observers_.empty()) {
        const std::int64_t atMs = unixMillisNow();
        for (ProbeObserver* observer : observers_)
            observer->runEnded(id_, atMs);
    }
    probing_ = false;
    if (stopped) {
        analysis_.endRun();
        face_.runEnded(id_, RunEnd::Stopped);
    }
}

void HostRun::record(std::int64_t sentAtUnixMs, const EchoResult& result, std::uint64_t request) {
    event_.unixMs = sentAtUnixMs;
    event_.request = request;
    fillOutcome(result);
    std::int32_t outcome = kSlotFailure;
    if (event_.good()) {
        stats_.addReply(event_.rttMs, event_.rttUs.value_or(0));
        outcome = static_cast<std::int32_t>(std::min<std::uint32_t>(event_.rttMs, 0x7FFFFFFF));
    } else {
        stats_.addLoss();
    }
    ring_.record(outcome);
    const StatusAnalysis::Decision decision = analysis_.analyse(ring_);
    event_.stats = stats_.figures();
    event_.hostStatus = decision.status;
    event_.statusChanged = decision.changed;

    face_.probed(event_);
    const bool logIt =
        run_.logLevel == LogLevel::EveryRequest || (decision.changed && run_.logLevel == LogLevel::StatusChanges);
    if (logIt)
        face_.postLog(event_);
    if (alerts_ != nullptr) {
        if (decision.edge)
            alerts_->raiseAlert(run_.alerts, *decision.edge, decision.status, event_);
        else if (decision.downAtStart)
            alerts_->reportDownAtStart(run_.alerts, decision.status, event_);
    }
    // After the analysis, so the history can tell when the host went Bad and why.
    for (ProbeObserver* observer : observers_)
        observer->probed(event_);
}

void HostRun::fillOutcome(const EchoResult& result) {
    ProbeEvent& event = event_;
    event.replier.clear();
    event.bytes = 0;
    event.rttMs = 0;
    event.rttUs.reset();
    event.ttl.reset();
    event.wrongData.reset();
    event.status = static_cast<std::uint32_t>(result.status);
    if (!result.answered)
        return;
    // Good replies come from the target, whose text is made once per run.
    event.replier = result.source == run_.targetAddress ? targetText_ : result.source.text();
    if (result.status != IpStatus::Success)
        return;
    event.bytes = result.dataSize;
    event.rttMs = result.rttMs;
    event.rttUs = result.rttUs.value_or(result.rttMs > 0xFFFFFFFFu / 1000 ? 0xFFFFFFFFu : result.rttMs * 1000);
    event.ttl = result.ttl;
    event.wrongData = result.wrongData;
}
