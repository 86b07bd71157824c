#include "metrics/MetricsServer.h"

#include "metrics/Exposition.h"
#include "metrics/MetricsRegistry.h"
#include "metrics/ScrapeConnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// The HTTP library parses requests and writes answers; connections, threads and limits stay ours, because
// its own loop lets each byte of a slow request restart the read timeout and keeps every header line.
class RequestProcessor final : public httplib::Server {
public:
    void serve(httplib::Stream& stream) {
        bool closed = true;
        process_request(stream, true, closed, {});
    }
};

std::string systemError(int error) {
    return std::error_code(error, std::generic_category()).message();
}

} // namespace

class MetricsServer::Impl {
public:
    Impl(const MetricsRegistry& registry, const MetricsServerLimits& limits);
    ~Impl();

    std::string open(const ListenAddress& where, std::uint16_t& port);
    void run();

private:
    void acceptLoop();
    void serveLoop();
    void serve(int fd);

    const MetricsServerLimits limits_;
    RequestProcessor processor_;
    int listener_ = -1;
    int stopFd_ = -1; // an eventfd that turns readable for good when the server stops
    std::thread acceptor_;
    std::vector<std::thread> servers_;
    std::mutex mutex_;
    std::condition_variable waiting_;
    std::deque<int> accepted_;
    bool stopping_ = false;
};

MetricsServer::Impl::Impl(const MetricsRegistry& registry, const MetricsServerLimits& limits) : limits_(limits) {
    processor_.set_payload_max_length(limits.maxPayload);
    processor_.Get("/metrics", [&registry](const httplib::Request&, httplib::Response& res) {
        res.set_content(writeExposition(registry.snapshot()), std::string(kExpositionContentType));
    });
    processor_.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.status == 404)
            res.set_content("Not found: this server answers GET /metrics\n", "text/plain; charset=utf-8");
    });
}

std::string MetricsServer::Impl::open(const ListenAddress& where, std::uint16_t& port) {
    sockaddr_storage address{};
    socklen_t length = 0;
    if (where.ipv6) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(where.port);
        length = sizeof in6;
        if (inet_pton(AF_INET6, where.address.c_str(), &in6.sin6_addr) != 1)
            return "not an IPv6 address";
    } else {
        auto& in4 = reinterpret_cast<sockaddr_in&>(address);
        in4.sin_family = AF_INET;
        in4.sin_port = htons(where.port);
        length = sizeof in4;
        if (inet_pton(AF_INET, where.address.c_str(), &in4.sin_addr) != 1)
            return "not an IPv4 address";
    }
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    listener_ = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (stopFd_ < 0 || listener_ < 0)
        return systemError(errno);
    // Lets a restarted program take its port back from connections in TIME_WAIT; never SO_REUSEPORT, which
    // would let a second instance share the port silently.
    const int yes = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 16) != 0)
        return systemError(errno);
    length = sizeof address;
    if (getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return systemError(errno);
    port = ntohs(where.ipv6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                           : reinterpret_cast<sockaddr_in&>(address).sin_port);
    return {};
}

void MetricsServer::Impl::run() {
    acceptor_ = std::thread([this] { acceptLoop(); });
    for (std::size_t i = 0; i < std::max<std::size_t>(limits_.threads, 1); ++i)
        servers_.emplace_back([this] { serveLoop(); });
}

MetricsServer::Impl::~Impl() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    waiting_.notify_all();
    if (stopFd_ >= 0)
        (void)eventfd_write(stopFd_, 1);
    if (acceptor_.joinable())
        acceptor_.join();
    for (std::thread& t : servers_)
        t.join();
    for (const int fd : accepted_)
        ::close(fd);
    if (listener_ >= 0)
        ::close(listener_);
    if (stopFd_ >= 0)
        ::close(stopFd_);
}

void MetricsServer::Impl::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents != 0)
            return;
        if (fds[0].revents == 0)
            continue;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors or memory: the pending connection keeps the listener readable, so pause
            // (or stop) rather than spin.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                pollfd stop = {stopFd_, POLLIN, 0};
                (void)::poll(&stop, 1, 100);
            }
            continue;
        }
        {
            const std::lock_guard lock(mutex_);
            if (accepted_.size() < limits_.maxWaiting) {
                accepted_.push_back(fd);
                waiting_.notify_one();
                continue;
            }
        }
        ::close(fd);
    }
}

void MetricsServer::Impl::serveLoop() {
    for (;;) {
        int fd = -1;
        {
            std::unique_lock lock(mutex_);
            waiting_.wait(lock, [this] { return stopping_ || !accepted_.empty(); });
            if (stopping_)
                return;
            fd = accepted_.front();
            accepted_.pop_front();
        }
        serve(fd);
        ::close(fd);
    }
}

void MetricsServer::Impl::serve(int fd) {
    ScrapeConnection connection(fd, stopFd_, ScrapeConnection::Clock::now() + limits_.exchangeTimeout);
    switch (connection.readHead(limits_.maxRequestHead)) {
    case ScrapeConnection::Head::Complete:
        processor_.serve(connection);
        break;
    case ScrapeConnection::Head::TooLarge:
        connection.answer("431 Request Header Fields Too Large");
        break;
    case ScrapeConnection::Head::Unfinished:
        connection.answer("408 Request Timeout");
        break;
    }
    connection.finish();
}

MetricsServer::MetricsServer(const MetricsRegistry& registry, MetricsServerLimits limits)
    : registry_(registry), limits_(limits) {}

MetricsServer::~MetricsServer() {
    stop();
}

bool MetricsServer::start(const ListenAddress& where) {
    stop();
    error_.clear();
    auto impl = std::make_unique<Impl>(registry_, limits_);
    std::uint16_t port = 0;
    if (std::string why = impl->open(where, port); !why.empty()) {
        error_ = "cannot listen on " + where.toString() + ": " + why;
        return false;
    }
    impl->run();
    impl_ = std::move(impl);
    port_ = port;
    return true;
}

void MetricsServer::stop() {
    impl_.reset();
    port_ = 0;
}
