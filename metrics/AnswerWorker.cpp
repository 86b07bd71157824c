#include "metrics/AnswerWorker.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

AnswerWorker::AnswerWorker(Answer answer) : answer_(std::move(answer)) {
    fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd_ >= 0)
        thread_ = std::thread([this] { work(); });
}

AnswerWorker::~AnswerWorker() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
    if (fd_ >= 0)
        ::close(fd_);
}

void AnswerWorker::submit(std::uint64_t id, std::string request) {
    {
        const std::lock_guard lock(mutex_);
        waiting_.emplace_back(id, std::move(request));
        wanted_.insert(id);
    }
    wake_.notify_one();
}

void AnswerWorker::cancel(std::uint64_t id) {
    const std::lock_guard lock(mutex_);
    wanted_.erase(id);
}

std::vector<std::pair<std::uint64_t, std::string>> AnswerWorker::takeDone() {
    eventfd_t count = 0;
    (void)eventfd_read(fd_, &count);
    const std::lock_guard lock(mutex_);
    std::vector<std::pair<std::uint64_t, std::string>> done;
    done.swap(done_);
    for (const auto& [id, answer] : done)
        wanted_.erase(id);
    return done;
}

void AnswerWorker::work() {
    pthread_setname_np(pthread_self(), "ostrevo-auth");
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (stopping_)
            return;
        auto [id, request] = std::move(waiting_.front());
        waiting_.pop_front();
        // A client that was shed or timed out while it waited costs nothing more.
        if (wanted_.count(id) == 0)
            continue;
        lock.unlock();
        std::string answer = answer_(request);
        lock.lock();
        if (wanted_.count(id) != 0) {
            done_.emplace_back(id, std::move(answer));
            (void)eventfd_write(fd_, 1);
        }
    }
}
