#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

// One accepted connection, with one deadline for the whole exchange. The request head is read here, within a
// size limit, before the HTTP library parses it: the library bounds neither the number of header lines nor the
// total time of a client that keeps sending a byte now and then.
class ScrapeConnection final : public httplib::Stream {
public:
    using Clock = std::chrono::steady_clock;
    enum class Head { Complete, TooLarge, Unfinished };

    // fd must be non-blocking; stopFd becomes readable when the server stops.
    ScrapeConnection(int fd, int stopFd, Clock::time_point deadline) : fd_(fd), stopFd_(stopFd), deadline_(deadline) {}

    // Reads until the blank line that ends the head. Unfinished: closed, timed out or stopped first.
    [[nodiscard]] Head readHead(std::size_t maxHead);
    // A bodiless answer that closes the connection, for requests the library never sees.
    void answer(std::string_view statusLine);
    // Ends sending, then reads and drops what the client still sends for a moment, so that closing with unread
    // bytes does not reset the connection before the client has read the answer.
    void finish();

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return fd_; }

private:
    // True once fd is ready for `events`; false at the deadline or on stop.
    [[nodiscard]] bool waitFor(short events) const;
    // Reads from the socket, waiting as long as the deadline allows; -1 at the deadline or on stop.
    ssize_t receive(char* ptr, size_t size);

    int fd_;
    int stopFd_;
    Clock::time_point deadline_;
    std::string received_; // bytes read ahead of the library
    std::size_t consumed_ = 0;
};
