#pragma once

#include <chrono>
#include <csignal>
#include <functional>
#include <mutex>
#include <vector>

// The service's owner thread: runs the tasks other threads post (the supervisor's drains, lookups' answers), one
// repeating timer and the signals, all from one poll. The signals are taken as sigwait takes them: the caller
// blocks them in every thread before any thread starts, and this loop reads them from a signalfd.
class MainLoop {
public:
    using Task = std::function<void()>;

    // `signals` must be blocked already.
    explicit MainLoop(const sigset_t& signals);
    ~MainLoop();
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

    // From any thread; runs on the loop's thread, in order. Tasks posted after the loop ended are dropped.
    void post(Task task);
    // Calls `tick` every `period` from the next period on; a zero period stops it. Loop thread.
    void setTimer(std::chrono::milliseconds period, Task tick);
    // Until a handler returns false. Each signal taken goes to `onSignal`.
    void run(const std::function<bool(int signal)>& onSignal);

private:
    bool runTasks();

    int wakeFd_ = -1;
    int signalFd_ = -1;
    std::mutex mutex_;
    std::vector<Task> tasks_;
    std::chrono::milliseconds period_{0};
    std::chrono::steady_clock::time_point due_{};
    Task tick_;
};
