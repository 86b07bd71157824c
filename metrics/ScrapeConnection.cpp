#include "metrics/ScrapeConnection.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

void endpoint(const sockaddr_storage& address, std::string& ip, int& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
        port = ntohs(in6.sin6_port);
    } else {
        const auto& in4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &in4.sin_addr, text, sizeof text);
        port = ntohs(in4.sin_port);
    }
    ip = text;
}

} // namespace

bool ScrapeConnection::waitFor(short events) const {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd fds[2] = {{fd_, events, 0}, {stopFd_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, static_cast<int>(std::min<decltype(left)>(left, INT_MAX)));
        if (ready < 0 && errno == EINTR)
            continue;
        // An error or hang-up on fd counts as ready: the next read or write reports it.
        return ready > 0 && fds[1].revents == 0;
    }
}

ScrapeConnection::Head ScrapeConnection::readHead(std::size_t maxHead) {
    char chunk[2048];
    for (;;) {
        const ssize_t got = receive(chunk, sizeof chunk);
        if (got <= 0)
            return Head::Unfinished;
        const std::size_t searchFrom = received_.size() < 3 ? 0 : received_.size() - 3;
        received_.append(chunk, static_cast<std::size_t>(got));
        // Only a CR LF blank line ends the head for the library, which skips lines ending in a bare LF.
        const std::size_t blankLine = received_.find("\r\n\r\n", searchFrom);
        if (blankLine != std::string::npos)
            return blankLine + 4 <= maxHead ? Head::Complete : Head::TooLarge;
        if (received_.size() > maxHead)
            return Head::TooLarge;
    }
}

void ScrapeConnection::answer(std::string_view statusLine) {
    const std::string text =
        "HTTP/1.1 " + std::string(statusLine) + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    // Best effort: the few bytes fit the socket buffer of any client that still listens.
    (void)::send(fd_, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void ScrapeConnection::finish() {
    ::shutdown(fd_, SHUT_WR);
    deadline_ = std::min(deadline_, Clock::now() + std::chrono::seconds(1));
    char scratch[4096];
    for (std::size_t dropped = 0; dropped < 64 * 1024;) {
        const ssize_t got = receive(scratch, sizeof scratch);
        if (got <= 0)
            return;
        dropped += static_cast<std::size_t>(got);
    }
}

bool ScrapeConnection::is_readable() const {
    return consumed_ < received_.size() || waitFor(POLLIN);
}

bool ScrapeConnection::is_writable() const {
    return waitFor(POLLOUT);
}

ssize_t ScrapeConnection::read(char* ptr, size_t size) {
    if (consumed_ < received_.size()) {
        const std::size_t n = std::min(size, received_.size() - consumed_);
        std::memcpy(ptr, received_.data() + consumed_, n);
        consumed_ += n;
        return static_cast<ssize_t>(n);
    }
    return receive(ptr, size);
}

ssize_t ScrapeConnection::receive(char* ptr, size_t size) {
    for (;;) {
        if (!waitFor(POLLIN))
            return -1;
        const ssize_t got = ::recv(fd_, ptr, size, 0);
        if (got >= 0 || (errno != EAGAIN && errno != EINTR))
            return got;
    }
}

ssize_t ScrapeConnection::write(const char* ptr, size_t size) {
    for (;;) {
        if (!waitFor(POLLOUT))
            return -1;
        const ssize_t sent = ::send(fd_, ptr, size, MSG_NOSIGNAL);
        if (sent >= 0 || (errno != EAGAIN && errno != EINTR))
            return sent;
    }
}

void ScrapeConnection::get_remote_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        endpoint(address, ip, port);
}

void ScrapeConnection::get_local_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        endpoint(address, ip, port);
}
