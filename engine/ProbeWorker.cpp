#include "engine/ProbeWorker.h"

#include <algorithm>
#include <charconv>

#include "engine/IcmpStatus.h"

namespace {

constexpr std::uint8_t kPayloadByte = 0x20;
constexpr std::int32_t kLargestPayload = 0xFFFF; // the request size is a 16-bit quantity

void appendNumber(std::string& text, std::uint32_t value) {
    char digits[10];
    text.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

} // namespace

ProbeWorker::ProbeWorker(const Settings& settings, AppState& state, EchoChannel& channel, WindowPort& window,
                         AlertSink* alerts)
    : settings_(settings), state_(state), channel_(channel), window_(window),
      analysis_(settings, state, window, alerts) {}

ProbeWorker::~ProbeWorker() {
    bool running = false;
    {
        std::lock_guard lock(lifeMutex_);
        running = started_ && !finished_;
    }
    if (running)
        post(WorkerMessage::Quit);
    join();
}

void ProbeWorker::start() {
    std::lock_guard lock(lifeMutex_);
    if (started_)
        return;
    started_ = true;
    thread_ = std::thread([this] { run(); });
}

void ProbeWorker::post(std::uint32_t message) {
    queue_.post(message);
}

void ProbeWorker::post(WorkerMessage message) {
    queue_.post(static_cast<std::uint32_t>(message));
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
        if (const auto message = queue_.take()) {
            switch (static_cast<WorkerMessage>(*message)) {
            case WorkerMessage::Quit:
                // No stop answer at exit; the handle is still given back.
                releaseRun();
                markEnded();
                return;
            case WorkerMessage::PingStart:
                if (!beginRun())
                    continue; // stay idle, and look at the queue again at once
                break;
            case WorkerMessage::PingStop:
                endRun();
                break;
            case WorkerMessage::PingReset:
                stats_.reset();
                break;
            default:
                break; // not ours: dropped
            }
        }
        if (probing_) {
            probeCycle();
            pauseAfterCycle();
        } else {
            // A start waits for the end of the idle pause: run control marks the run as running just after
            // it posts the start, and the first status change of the run must find it marked to be logged.
            queue_.pause(kIdlePause);
        }
    }
}

bool ProbeWorker::beginRun() {
    // A start during a run begins a fresh one; the old handle must not leak.
    releaseRun();
    stats_.reset();
    analysis_.clearEdges();
    ring_.clear();
    if (!channel_.open()) {
        window_.pingStopped(true);
        return false;
    }
    channelOpen_ = true;
    const std::int32_t size = std::clamp(settings_.buffer, 0, kLargestPayload);
    payload_.assign(static_cast<std::size_t>(size), kPayloadByte);
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
    probing_ = false;
}

void ProbeWorker::endRun() {
    releaseRun();
    window_.pingStopped(false);
}

void ProbeWorker::probeCycle() {
    const std::uint32_t replies =
        channel_.sendEcho(state_.targetAddress.load(), payload_.empty() ? nullptr : payload_.data(),
                          static_cast<std::uint16_t>(payload_.size()), kRequestOptions, replyArea_, kEchoTimeoutMs);
    const EchoReply& reply = replyArea_.reply;
    std::int32_t outcome = kSlotFailure;
    // The line is rebuilt in place every cycle, so a steady run of replies costs it no allocation.
    if (replies == 0) {
        stats_.addLoss();
        statusLine_ = icmpStatusText(channel_.lastError());
    } else if (reply.status != 0) {
        stats_.addLoss();
        startReplyLine(reply);
        statusLine_ += ": ";
        statusLine_ += icmpStatusText(static_cast<std::int32_t>(reply.status));
    } else {
        startReplyLine(reply);
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
    }
    ring_.record(outcome);
    window_.setLabel(Label::Status, statusLine_);
    window_.setLabel(Label::Total, stats_.totalText());
    window_.setLabel(Label::Lost, stats_.lostText());

    analysis_.analyse(ring_, replyArea_, statusLine_);

    if (settings_.logLevel == LogLevel::EveryRequest)
        window_.postLog(state_.currentStatus.load(), statusLine_);
}

void ProbeWorker::startReplyLine(const EchoReply& reply) {
    statusLine_.assign("Replay from ");
    statusLine_ += names_.formatDottedAddress(reply.address);
}

void ProbeWorker::pauseAfterCycle() {
    if (settings_.interval <= 0)
        return; // back to back
    queue_.pause(std::chrono::milliseconds(settings_.interval));
}
