#include "engine/ProbeWorker.h"

#include <algorithm>
#include <cassert>
#include <charconv>

#include "engine/IcmpStatus.h"

namespace {

constexpr std::uint8_t kPayloadByte = 0x20;

void appendNumber(std::string& text, std::uint32_t value) {
    char digits[10];
    text.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

std::int64_t unixMillisNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

ProbeWorker::ProbeWorker(AppState& state, EchoChannel& channel, WindowPort& window, AlertSink* alerts)
    : state_(state), channel_(channel), window_(window), analysis_(state, window, alerts) {}

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
    if (!channel_.open(run_.targetAddress.family)) {
        window_.runEnded(RunEnd::ChannelFailed);
        return false;
    }
    channelOpen_ = true;
    payload_.assign(run_.payloadSize, kPayloadByte);
    targetText_ = names_.formatAddress(run_.targetAddress);
    probing_ = true;
    return true;
}

void ProbeWorker::releaseRun() {
    if (channelOpen_) {
        channel_.close();
        channelOpen_ = false;
    }
    payload_.clear();
    payload_.shrink_to_fit();
    if (probing_)
        for (ProbeObserver* observer : observers_)
            observer->runFinished();
    probing_ = false;
}

void ProbeWorker::endRun() {
    releaseRun();
    window_.runEnded(RunEnd::Stopped);
}

void ProbeWorker::probeCycle() {
    const std::int64_t sentAtMs = observers_.empty() ? 0 : unixMillisNow();
    const std::uint32_t replies =
        channel_.sendEcho(run_.targetAddress, payload_.empty() ? nullptr : payload_.data(),
                          static_cast<std::uint16_t>(payload_.size()), kRequestOptions, replyArea_, kEchoTimeoutMs);
    const EchoReply& reply = replyArea_.reply;
    std::int32_t outcome = kSlotFailure;
    // The line is rebuilt in place every cycle, so a steady run of replies costs it no allocation.
    if (replies == 0) {
        stats_.addLoss();
        statusLine_ = icmpStatusText(channel_.lastError());
    } else if (reply.status != 0) {
        stats_.addLoss();
        startReplyLine();
        statusLine_ += ": ";
        statusLine_ += icmpStatusText(static_cast<std::int32_t>(reply.status));
    } else {
        startReplyLine();
        statusLine_ += ": bytes=";
        appendNumber(statusLine_, reply.dataSize);
        statusLine_ += " time=";
        appendNumber(statusLine_, reply.roundTripTime);
        statusLine_ += "ms TTL=";
        appendNumber(statusLine_, reply.options.ttl);
        stats_.addReply(reply.roundTripTime);
        outcome = static_cast<std::int32_t>(std::min<std::uint32_t>(reply.roundTripTime, 0x7FFFFFFF));
        window_.setLabel(Label::Min, stats_.minText());
        window_.setLabel(Label::Max, stats_.maxText());
        window_.setLabel(Label::Avg, stats_.avgText());
        if (const std::optional<WrongData> wrong = channel_.lastWrongData())
            window_.replyDataDiffers(*wrong);
    }
    ring_.record(outcome);
    window_.setLabel(Label::Status, statusLine_);
    window_.setLabel(Label::Total, stats_.totalText());
    window_.setLabel(Label::Lost, stats_.lostText());
    analysis_.analyse(ring_, replyArea_, statusLine_);
    // After the analysis, so the history can tell when the host went Bad and why.
    if (!observers_.empty())
        tellObservers(sentAtMs, replies);

    if (run_.logLevel == LogLevel::EveryRequest)
        window_.postLog(state_.currentStatus.load(), statusLine_);
}

void ProbeWorker::tellObservers(std::int64_t sentAtMs, std::uint32_t replies) {
    const EchoReply& reply = replyArea_.reply;
    ProbeEvent event;
    event.unixMs = sentAtMs;
    event.host = run_.alerts.host;
    event.address = targetText_;
    event.hostStatus = static_cast<std::uint8_t>(state_.currentStatus.load());
    if (replies == 0) {
        event.status = static_cast<std::uint32_t>(channel_.lastError());
    } else {
        event.status = reply.status;
        if (reply.status == 0) {
            event.rttUs = channel_.lastRoundTripMicros().value_or(
                reply.roundTripTime > 0xFFFFFFFFu / 1000 ? 0xFFFFFFFFu : reply.roundTripTime * 1000);
            event.ttl = reply.options.ttl;
        }
    }
    for (ProbeObserver* observer : observers_)
        observer->probed(event);
}

void ProbeWorker::startReplyLine() {
    statusLine_.assign("Replay from ");
    // Good replies come from the target, whose text is made once per run.
    const IpAddress source = channel_.replySource();
    statusLine_ += source == run_.targetAddress ? targetText_ : names_.formatAddress(source);
}

void ProbeWorker::pauseAfterCycle() {
    if (run_.intervalMs <= 0)
        return; // back to back
    queue_.pause(std::chrono::milliseconds(run_.intervalMs));
}
