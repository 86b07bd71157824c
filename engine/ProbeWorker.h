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
#include "engine/EchoChannel.h"
#include "engine/EchoReply.h"
#include "engine/MessageQueue.h"
#include "engine/PosixHostResolver.h"
#include "engine/ProbeStatistics.h"
#include "engine/ResultRing.h"
#include "engine/StatusAnalysis.h"
#include "engine/WindowPort.h"
#include "engine/WorkerMessage.h"
#include "settings/Settings.h"

// The background thread that probes the host once per cycle during a run and idles between runs. It is
// driven only by posted requests (start, stop, reset, quit) and reports through the window port. Settings
// other than LogLevel are read only during a run, when the window thread leaves them alone.
class ProbeWorker {
public:
    static constexpr std::uint32_t kEchoTimeoutMs = 2000;
    static constexpr std::chrono::milliseconds kIdlePause{200};

    ProbeWorker(const Settings& settings, AppState& state, EchoChannel& channel, WindowPort& window, AlertSink* alerts);
    ~ProbeWorker();
    ProbeWorker(const ProbeWorker&) = delete;
    ProbeWorker& operator=(const ProbeWorker&) = delete;

    void start();
    void post(std::uint32_t message);
    void post(WorkerMessage message);
    void join();
    [[nodiscard]] bool joinFor(std::chrono::milliseconds timeout);

private:
    void run();
    [[nodiscard]] bool beginRun();
    void endRun();
    void releaseRun();
    void probeCycle();
    void startReplyLine(const EchoReply& reply);
    void pauseAfterCycle();
    void markEnded();

    const Settings& settings_;
    AppState& state_;
    EchoChannel& channel_;
    WindowPort& window_;
    MessageQueue queue_;

    // Worker-thread state from here on.
    StatusAnalysis analysis_;
    ProbeStatistics stats_;
    ResultRing ring_;
    ReplyArea replyArea_{}; // reused by every request and never cleared
    std::vector<std::uint8_t> payload_;
    std::string statusLine_;  // what statusValue shows; the window is never read back
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
