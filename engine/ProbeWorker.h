#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/AlertSink.h"
#include "engine/CommandQueue.h"
#include "engine/EchoChannel.h"
#include "engine/HostRun.h"
#include "engine/RunSettings.h"
#include "engine/WindowPort.h"
#include "engine/WorkerCommand.h"
#include "types/ProbeObserver.h"

// One watched host's run: the background thread that probes the host once per cycle while running and sleeps
// between runs, with the run's settings snapshot, figures, analysis and observers. It is driven only by the
// commands posted to it and reports typed values, marked with its id, to its face (window port) and observers;
// what a run reads comes with its start command.
class ProbeWorker {
public:
    ProbeWorker(EchoChannel& channel, WindowPort& window, AlertSink* alerts, RunId id = 1);
    ~ProbeWorker();
    ProbeWorker(const ProbeWorker&) = delete;
    ProbeWorker& operator=(const ProbeWorker&) = delete;

    // Before start() only: the list is read by the worker thread without a lock.
    void addObserver(ProbeObserver& observer);

    [[nodiscard]] RunId id() const { return id_; }

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
    void pauseAfterCycle();
    void markEnded();

    const RunId id_;
    EchoChannel& channel_;
    WindowPort& window_;
    CommandQueue queue_;
    std::vector<ProbeObserver*> observers_;

    // Worker-thread state from here on.
    HostRun run_;
    std::vector<std::uint8_t> payload_;
    EchoRequest request_; // the same for every probe of a run
    bool channelOpen_ = false;

    std::thread thread_;
    std::mutex lifeMutex_;
    std::condition_variable ended_;
    bool started_ = false;
    bool finished_ = false;
    std::mutex joinMutex_;
};
