#include "service/MainLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

MainLoop::MainLoop(const sigset_t& signals) {
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    signalFd_ = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
}

MainLoop::~MainLoop() {
    for (const int fd : {wakeFd_, signalFd_})
        if (fd >= 0)
            ::close(fd);
}

void MainLoop::post(Task task) {
    {
        const std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    const std::uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
}

void MainLoop::setTimer(std::chrono::milliseconds period, Task tick) {
    period_ = period;
    tick_ = std::move(tick);
    due_ = std::chrono::steady_clock::now() + period;
}

bool MainLoop::runTasks() {
    std::vector<Task> tasks;
    {
        const std::lock_guard lock(mutex_);
        tasks.swap(tasks_);
    }
    for (Task& task : tasks)
        task();
    return !tasks.empty();
}

void MainLoop::run(const std::function<bool(int signal)>& onSignal) {
    for (;;) {
        int timeoutMs = -1;
        if (period_.count() > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(due_ - std::chrono::steady_clock::now());
            timeoutMs = static_cast<int>(std::max<std::int64_t>(left.count() + 1, 0));
        }
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {signalFd_, POLLIN, 0}};
        if (::poll(fds, 2, timeoutMs) < 0 && errno != EINTR)
            return;
        if ((fds[0].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            (void)!::read(wakeFd_, &count, sizeof count);
        }
        // Tasks first: a drain already posted shows the state a signal's handler acts on.
        runTasks();
        signalfd_siginfo info{};
        while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
            if (!onSignal(static_cast<int>(info.ssi_signo)))
                return;
        if (period_.count() > 0 && std::chrono::steady_clock::now() >= due_) {
            due_ = std::chrono::steady_clock::now() + period_;
            const Task tick = tick_;
            tick();
        }
    }
}
