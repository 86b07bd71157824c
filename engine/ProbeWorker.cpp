#include "engine/ProbeWorker.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <span>

namespace {

constexpr std::uint8_t kPayloadByte = 0x20;

std::int64_t unixMillisNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

ProbeWorker::ProbeWorker(EchoChannel& channel, WindowPort& window, AlertSink* alerts, RunId id)
    : id_(id), channel_(channel), window_(window), alerts_(alerts) {}

ProbeWorker::~ProbeWorker() {
    bool running = false;
    {
        std::lock_guard lock(lifeMutex_);
        running = started_ && !finished_;
    }
    if (running)
        post(QuitCommand{});
    join();
}

void ProbeWorker::addObserver(ProbeObserver& observer) {
    std::lock_guard lock(lifeMutex_);
    assert(!started_);
    observers_.push_back(&observer);
}

void ProbeWorker::start() {
    std::lock_guard lock(lifeMutex_);
    if (started_)
        return;
    started_ = true;
    thread_ = std::thread([this] { run(); });
}

void ProbeWorker::post(WorkerCommand command) {
    queue_.post(std::move(command));
}

void ProbeWorker::join() {
    std::lock_guard lock(joinMutex_);
    if (thread_.joinable())
        thread_.join();
}

bool ProbeWorker::joinFor(std::chrono::milliseconds timeout) {
    {
        std::unique_lock lock(lifeMutex_);
        if (!ended_.wait_for(lock, timeout, [this] { return !started_ || finished_; }))
            return false;
    }
    join();
    return true;
}

void ProbeWorker::markEnded() {
    {
        std::lock_guard lock(lifeMutex_);
        finished_ = true;
    }
    ended_.notify_all();
}

void ProbeWorker::run() {
    for (;;) {
        // Idle, the thread sleeps until a command comes; during a run it looks once per turn.
        std::optional<WorkerCommand> command = probing_ ? queue_.take() : std::optional(queue_.wait());
        if (command) {
            const Turn turn = handle(*command);
            if (turn == Turn::Quit)
                return;
            if (turn == Turn::Notice)
                continue;
        }
        if (probing_) {
            probeCycle();
            pauseAfterCycle();
        }
    }
}

ProbeWorker::Turn ProbeWorker::handle(WorkerCommand& command) {
    if (auto* start = std::get_if<StartCommand>(&command)) {
        (void)beginRun(std::move(start->run)); // a failed start leaves the worker idle
    } else if (std::holds_alternative<StopCommand>(command)) {
        endRun();
    } else if (std::holds_alternative<ResetCommand>(command)) {
        stats_.reset();
    } else if (std::holds_alternative<QuitCommand>(command)) {
        // No answer at exit; the handle is still given back.
        releaseRun();
        markEnded();
        return Turn::Quit;
    } else if (std::holds_alternative<LoggingOffCommand>(command)) {
        run_.logLevel = LogLevel::Off;
        return Turn::Notice;
    }
    return Turn::Probe;
}

bool ProbeWorker::beginRun(RunSettings run) {
    // A start during a run begins a fresh one; the old handle must not leak.
    releaseRun();
    run_ = std::move(run);
    stats_.reset();
    analysis_.beginRun(run_);
    ring_.clear();
    if (!channel_.open(run_.targetAddress.family, run_.source)) {
        analysis_.endRun();
        window_.runEnded(id_, RunEnd::ChannelFailed);
        return false;
    }
    channelOpen_ = true;
    payload_.assign(run_.payloadSize, kPayloadByte);
    request_.destination = run_.targetAddress;
    request_.payload = payload_.empty() ? std::span<const std::uint8_t>() : std::span<const std::uint8_t>(payload_);
    request_.ttl = run_.ttl;
    request_.timeoutMs = run_.timeoutMs;
    targetText_ = names_.formatAddress(run_.targetAddress);
    event_.run = id_;
    event_.host = run_.alerts.host;
    event_.address = targetText_;
    probing_ = true;
    return true;
}

void ProbeWorker::releaseRun() {
    if (channelOpen_) {
        channel_.close();
        channelOpen_ = false;
    }
    request_.payload = {};
    payload_.clear();
    payload_.shrink_to_fit();
    if (probing_)
        tellRunEnded();
    probing_ = false;
}

void ProbeWorker::tellRunEnded() {
    if (observers_.empty())
        return;
    const std::int64_t atMs = unixMillisNow();
    for (ProbeObserver* observer : observers_)
        observer->runEnded(id_, atMs);
}

void ProbeWorker::endRun() {
    releaseRun();
    analysis_.endRun();
    window_.runEnded(id_, RunEnd::Stopped);
}

void ProbeWorker::probeCycle() {
    event_.unixMs = unixMillisNow();
    fillOutcome(event_, channel_.sendEcho(request_));
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

    window_.probed(event_);
    const bool logIt =
        run_.logLevel == LogLevel::EveryRequest || (decision.changed && run_.logLevel == LogLevel::StatusChanges);
    if (logIt)
        window_.postLog(event_);
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

void ProbeWorker::fillOutcome(ProbeEvent& event, const EchoResult& result) {
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
    event.replier = result.source == run_.targetAddress ? targetText_ : names_.formatAddress(result.source);
    if (result.status != IpStatus::Success)
        return;
    event.bytes = result.dataSize;
    event.rttMs = result.rttMs;
    event.rttUs = result.rttUs.value_or(result.rttMs > 0xFFFFFFFFu / 1000 ? 0xFFFFFFFFu : result.rttMs * 1000);
    event.ttl = result.ttl;
    event.wrongData = result.wrongData;
}

void ProbeWorker::pauseAfterCycle() {
    if (run_.intervalMs <= 0)
        return; // back to back
    queue_.pause(std::chrono::milliseconds(run_.intervalMs));
}
