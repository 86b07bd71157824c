#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/AlertSink.h"
#include "engine/AppState.h"
#include "engine/CommandQueue.h"
#include "engine/EchoChannel.h"
#include "engine/EchoReply.h"
#include "engine/PosixHostResolver.h"
#include "engine/ProbeObserver.h"
#include "engine/ProbeStatistics.h"
#include "engine/ResultRing.h"
#include "engine/RunSettings.h"
#include "engine/StatusAnalysis.h"
#include "engine/WindowPort.h"
#include "engine/WorkerCommand.h"

// The background thread that probes the host once per cycle during a run and sleeps between runs. It is
// driven only by the commands posted to it and reports through the window port and the probe observers;
// what a run reads comes with its start command.
class ProbeWorker {
public:
    static constexpr std::uint32_t kEchoTimeoutMs = 2000;

    ProbeWorker(AppState& state, EchoChannel& channel, WindowPort& window, AlertSink* alerts);
    ~ProbeWorker();
    ProbeWorker(const ProbeWorker&) = delete;
    ProbeWorker& operator=(const ProbeWorker&) = delete;

    // Before start() only: the list is read by the worker thread without a lock.
    void addObserver(ProbeObserver& observer);

    void start();
    void post(WorkerCommand command);
    void join();
    [[nodiscard]] bool joinFor(std::chrono::milliseconds timeout);

private:
    enum class Turn : std::uint8_t { Probe, Notice, Quit };

    void run();
    [[nodiscard]] Turn handle(WorkerCommand& command);
    [[nodiscard]] bool beginRun(RunSettings run);
    void endRun();
    void releaseRun();
    void probeCycle();
    void startReplyLine();
    void tellObservers(std::int64_t sentAtMs, std::uint32_t replies);
    void pauseAfterCycle();
    void markEnded();

    AppState& state_;
    EchoChannel& channel_;
    WindowPort& window_;
    CommandQueue queue_;
    std::vector<ProbeObserver*> observers_;

    // Worker-thread state from here on.
    RunSettings run_;
    StatusAnalysis analysis_;
    ProbeStatistics stats_;
    ResultRing ring_;
    ReplyArea replyArea_{}; // reused by every request and never cleared
    std::vector<std::uint8_t> payload_;
    std::string statusLine_;  // what statusValue shows; the window is never read back
    std::string targetText_;  // the probed address as text, for the reply line and the observers
    PosixHostResolver names_; // formats the replying address
    bool probing_ = false;
    bool channelOpen_ = false;

    std::thread thread_;
    std::mutex lifeMutex_;
    std::condition_variable ended_;
    bool started_ = false;
    bool finished_ = false;
    std::mutex joinMutex_;
};
