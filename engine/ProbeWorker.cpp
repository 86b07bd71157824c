#include "engine/ProbeWorker.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <span>

namespace {

constexpr std::uint8_t kPayloadByte = 0x20;

} // namespace

ProbeWorker::ProbeWorker(EchoChannel& channel, WindowPort& window, AlertSink* alerts, RunId id)
    : id_(id), channel_(channel), window_(window), run_(id, window, alerts, observers_) {}

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
        std::optional<WorkerCommand> command = run_.probing() ? queue_.take() : std::optional(queue_.wait());
        if (command) {
            const Turn turn = handle(*command);
            if (turn == Turn::Quit)
                return;
            if (turn == Turn::Notice)
                continue;
        }
        if (run_.probing()) {
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
        run_.resetFigures();
    } else if (std::holds_alternative<QuitCommand>(command)) {
        // No answer at exit; the handle is still given back.
        releaseRun();
        markEnded();
        return Turn::Quit;
    } else if (std::holds_alternative<LoggingOffCommand>(command)) {
        run_.loggingOff();
        return Turn::Notice;
    }
    return Turn::Probe;
}

bool ProbeWorker::beginRun(RunSettings run) {
    // A start during a run begins a fresh one; the old handle must not leak.
    releaseRun();
    run_.prepare(std::move(run));
    const RunSettings& settings = run_.settings();
    if (!channel_.open(settings.targetAddress.family, settings.source)) {
        run_.failedToStart();
        return false;
    }
    channelOpen_ = true;
    payload_.assign(settings.payloadSize, kPayloadByte);
    request_.destination = settings.targetAddress;
    request_.payload = payload_.empty() ? std::span<const std::uint8_t>() : std::span<const std::uint8_t>(payload_);
    request_.ttl = settings.ttl;
    request_.timeoutMs = settings.timeoutMs;
    run_.started();
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
    run_.finish(false);
}

void ProbeWorker::endRun() {
    releaseRun();
    run_.finish(true);
}

void ProbeWorker::probeCycle() {
    const std::int64_t sentAt = HostRun::unixMillisNow();
    run_.record(sentAt, channel_.sendEcho(request_));
}

void ProbeWorker::pauseAfterCycle() {
    const std::int32_t interval = run_.settings().intervalMs;
    if (interval <= 0)
        return; // back to back
    queue_.pause(std::chrono::milliseconds(interval));
}
