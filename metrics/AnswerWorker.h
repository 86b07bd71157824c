#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Makes the answers that take long (a password checked with bcrypt, tens to hundreds of milliseconds on purpose)
// on a thread of its own, so that the scrape server's loop goes on serving everyone else meanwhile. One request
// at a time, in order; what is done is collected by the loop when fd() turns readable.
class AnswerWorker {
public:
    using Answer = std::function<std::string(const std::string& request)>;

    explicit AnswerWorker(Answer answer);
    ~AnswerWorker();
    AnswerWorker(const AnswerWorker&) = delete;
    AnswerWorker& operator=(const AnswerWorker&) = delete;

    // False when the thread or its eventfd could not be had; the loop then answers itself.
    [[nodiscard]] bool running() const { return fd_ >= 0 && thread_.joinable(); }
    // Readable while answers are waiting to be taken.
    [[nodiscard]] int fd() const { return fd_; }

    void submit(std::uint64_t id, std::string request);
    // The connection went away: its request is not worked on, or its answer is dropped.
    void cancel(std::uint64_t id);
    [[nodiscard]] std::vector<std::pair<std::uint64_t, std::string>> takeDone();

private:
    void work();

    const Answer answer_;
    int fd_ = -1;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<std::uint64_t, std::string>> waiting_;
    std::set<std::uint64_t> wanted_; // submitted and neither taken nor cancelled
    std::vector<std::pair<std::uint64_t, std::string>> done_;
    bool stopping_ = false;
    std::thread thread_;
};
