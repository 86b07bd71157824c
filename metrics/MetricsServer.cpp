#include "metrics/MetricsServer.h"

#include "metrics/AnswerWorker.h"
#include "metrics/BasicAuth.h"
#include "metrics/Exposition.h"
#include "metrics/MetricsRegistry.h"
#include "metrics/ScrapeConnection.h"
#include "metrics/ServerConnection.h"
#include "metrics/TlsContext.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <list>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The HTTP library parses requests and writes answers from memory; connections, reading and limits stay ours,
// because its own loop gives each connection a thread that waits on the client, lets each byte of a slow
// request restart the read timeout and keeps every header line.
class RequestProcessor final : public httplib::Server {
public:
    std::string answer(int fd, std::string_view request) {
        BufferedExchange exchange(fd, request);
        bool closed = true;
        process_request(exchange, true, closed, {});
        std::string answer = exchange.answer();
        // The library gives up without a word on a request it cannot even start to read.
        return answer.empty() ? bodilessAnswer("400 Bad Request") : answer;
    }
};

std::string systemError(int error) {
    return std::error_code(error, std::generic_category()).message();
}

using Connection = ServerConnection;

} // namespace

// Every connection is served by one thread that waits only in poll(): reads take what is there and writes what
// fits, so no client can hold the server by sending or reading slowly.
class MetricsServer::Impl {
public:
    Impl(const MetricsRegistry& registry, const MetricsServerLimits& limits, const WebSecurity& security,
         bool lifecycle, const ReloadHook& reload, const std::function<std::string()>& extra);
    ~Impl();

    // Loads the certificate when TLS is asked for; what went wrong, or nothing.
    std::string secure(const WebSecurity& security);
    std::string open(const ListenAddress& where, std::uint16_t& port);
    void run();

private:
    using Connections = std::list<Connection>; // in order of accepting, the oldest first

    void loop();
    void acceptAll(Clock::time_point now);
    // Closes the oldest connection still sending its request, else the oldest done with its answer, else the
    // oldest of all. False when there is none.
    bool shedOne();
    // Reads what is there and answers as soon as the request is whole or cannot become a request.
    void readRequest(Connection& c, Clock::time_point now);
    void startAnswer(Connection& c, std::string answer, Clock::time_point now);
    void writeAnswer(Connection& c, Clock::time_point now);
    // False once the connection is finished with.
    bool drain(Connection& c);

    // False when a TLS handshake is still under way or has failed (then the connection is done with).
    bool handshake(Connection& c, Clock::time_point now);
    // Before a connection is closed: an answer still being made for it is not wanted any more.
    void forget(const Connection& c);
    void takeWorkersAnswers(Clock::time_point now);

    const MetricsServerLimits limits_;
    RequestProcessor processor_;
    std::unique_ptr<TlsContext> tls_;
    std::unique_ptr<BasicAuth> auth_;
    int listener_ = -1;
    int stopFd_ = -1; // an eventfd that turns readable for good when the server stops
    std::thread thread_;
    Connections connections_;
    Clock::time_point acceptPausedUntil_{};
    // Checks passwords off the loop, so that guesses, each a bcrypt check, hold up no scrape whose password is
    // known. Declared last: it goes first, while what its answers use is still there.
    std::unique_ptr<AnswerWorker> worker_;
    std::uint64_t lastId_ = 0;
};

MetricsServer::Impl::Impl(const MetricsRegistry& registry, const MetricsServerLimits& limits,
                          const WebSecurity& security, bool lifecycle, const ReloadHook& reload,
                          const std::function<std::string()>& extra)
    : limits_(limits) {
    processor_.set_payload_max_length(limits.maxPayload);
    processor_.Get("/metrics", [&registry, extra](const httplib::Request&, httplib::Response& res) {
        std::string text = writeExposition(registry.snapshot());
        if (extra)
            text += extra();
        res.set_content(text, std::string(kExpositionContentType));
    });
    if (!security.basicAuthUsers.empty()) {
        auth_ = std::make_unique<BasicAuth>(security.basicAuthUsers);
        processor_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            if (auth_->allows(req.get_header_value("Authorization")))
                return httplib::Server::HandlerResponse::Unhandled;
            res.status = 401;
            res.set_header("WWW-Authenticate", "Basic");
            res.set_content("Unauthorized\n", "text/plain; charset=utf-8");
            return httplib::Server::HandlerResponse::Handled;
        });
        worker_ = std::make_unique<AnswerWorker>([this](const std::string& request) {
            return processor_.answer(-1, request); // no peer to name: the connection stays the loop's
        });
        if (!worker_->running())
            worker_.reset();
    }
    if (lifecycle) {
        const auto answer = [](const char* text) {
            return [text](const httplib::Request&, httplib::Response& res) {
                res.set_content(text, "text/plain; charset=utf-8");
            };
        };
        processor_.Get("/-/healthy", answer("Healthy.\n"));
        processor_.Get("/-/ready", answer("Ready.\n"));
        processor_.Post("/-/reload", [reload](const httplib::Request&, httplib::Response& res) {
            const std::string why = reload ? reload() : std::string();
            if (!why.empty())
                res.status = 500;
            res.set_content(why.empty() ? std::string("Reloaded.\n") : why + "\n", "text/plain; charset=utf-8");
        });
    }
    processor_.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.status == 404)
            res.set_content("Not found: this server answers GET /metrics\n", "text/plain; charset=utf-8");
    });
}

std::string MetricsServer::Impl::secure(const WebSecurity& security) {
    if (!security.tls)
        return {};
    std::string error;
    tls_ = TlsContext::create(*security.tls, error);
    return error;
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
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, SOMAXCONN) != 0)
        return systemError(errno);
    length = sizeof address;
    if (getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return systemError(errno);
    port = ntohs(where.ipv6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                            : reinterpret_cast<sockaddr_in&>(address).sin_port);
    return {};
}

void MetricsServer::Impl::run() {
    thread_ = std::thread([this] { loop(); });
}

MetricsServer::Impl::~Impl() {
    if (stopFd_ >= 0)
        (void)eventfd_write(stopFd_, 1);
    if (thread_.joinable())
        thread_.join();
    // Whoever is still sending a request learns why the connection ends.
    for (const Connection& c : connections_)
        if (c.phase == Connection::Phase::Reading)
            c.sendTimeout();
    connections_.clear();
    if (listener_ >= 0)
        ::close(listener_);
    if (stopFd_ >= 0)
        ::close(stopFd_);
}

void MetricsServer::Impl::loop() {
    pthread_setname_np(pthread_self(), "ostrevo-metrics"); // for top -H and perf
    std::vector<pollfd> fds;
    std::vector<Connection*> polled;
    for (;;) {
        Clock::time_point now = Clock::now();
        // Deadlines first: what has had its time goes before anything else is read.
        Clock::time_point wake = Clock::time_point::max();
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (it->deadline <= now) {
                if (it->phase == Connection::Phase::Reading)
                    it->sendTimeout();
                forget(*it);
                it = connections_.erase(it);
                continue;
            }
            wake = std::min(wake, it->deadline);
            ++it;
        }
        const bool acceptPaused = now < acceptPausedUntil_;
        if (acceptPaused)
            wake = std::min(wake, acceptPausedUntil_);

        fds.clear();
        polled.clear();
        fds.push_back({stopFd_, POLLIN, 0});
        fds.push_back({acceptPaused ? -1 : listener_, POLLIN, 0});
        for (Connection& c : connections_) {
            const bool writable =
                c.phase == Connection::Phase::Writing || (c.phase == Connection::Phase::Reading && c.wantWrite);
            // A connection waiting for its answer has nothing to do until the worker has it.
            fds.push_back({c.phase == Connection::Phase::Waiting ? -1 : c.fd,
                           static_cast<short>(writable ? POLLOUT : POLLIN), 0});
            polled.push_back(&c);
        }
        if (worker_)
            fds.push_back({worker_->fd(), POLLIN, 0});
        int timeout = -1;
        if (wake != Clock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
            timeout = static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents != 0)
            return;

        now = Clock::now();
        try {
            for (std::size_t i = 0; i < polled.size(); ++i) {
                Connection& c = *polled[i];
                if (fds[i + 2].revents == 0)
                    continue;
                switch (c.phase) {
                case Connection::Phase::Reading:
                    readRequest(c, now);
                    break;
                case Connection::Phase::Writing:
                    writeAnswer(c, now);
                    break;
                case Connection::Phase::Draining:
                    if (!drain(c))
                        c.deadline = now; // closed at the top of the next turn
                    break;
                case Connection::Phase::Waiting:
                    break;
                }
            }
            if (worker_ && fds.back().revents != 0)
                takeWorkersAnswers(now);
            // New connections last, so that a request that has come in is read before anyone is shed for them.
            if (fds[1].revents != 0)
                acceptAll(now);
        } catch (const std::bad_alloc&) {
            // Short of memory: give some back rather than end the program that is watching the host.
            (void)shedOne();
        }
    }
}

void MetricsServer::Impl::acceptAll(Clock::time_point now) {
    // Bounded, so that a flood of connections cannot keep the loop from the ones it has.
    for (std::size_t accepted = 0; accepted < std::max<std::size_t>(limits_.maxConnections, 1); ++accepted) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors or memory: make room, or, with nothing to shed, pause rather than spin on
                // the connection that keeps the listener readable.
                if (shedOne())
                    continue;
                acceptPausedUntil_ = now + std::chrono::milliseconds(100);
            }
            return;
        }
        while (connections_.size() >= std::max<std::size_t>(limits_.maxConnections, 1) && shedOne()) {
        }
        Connection& c = connections_.emplace_back(fd, now + limits_.exchangeTimeout);
        if (tls_) {
            c.tls = tls_->accept(fd);
            if (!c.tls) {
                connections_.pop_back();
                continue;
            }
        }
        // A scrape has usually sent its request along with the connection: served here, it never waits a turn.
        readRequest(c, now);
    }
}

bool MetricsServer::Impl::shedOne() {
    if (connections_.empty())
        return false;
    for (const Connection::Phase phase : {Connection::Phase::Reading, Connection::Phase::Draining}) {
        const auto oldest = std::find_if(connections_.begin(), connections_.end(),
                                         [phase](const Connection& c) { return c.phase == phase; });
        if (oldest != connections_.end()) {
            forget(*oldest);
            connections_.erase(oldest);
            return true;
        }
    }
    forget(connections_.front());
    connections_.erase(connections_.begin());
    return true;
}

void MetricsServer::Impl::forget(const Connection& c) {
    if (c.phase == Connection::Phase::Waiting && worker_)
        worker_->cancel(c.id);
}

void MetricsServer::Impl::takeWorkersAnswers(Clock::time_point now) {
    for (auto& [id, answer] : worker_->takeDone()) {
        const auto waiting = std::find_if(connections_.begin(), connections_.end(), [id = id](const Connection& c) {
            return c.phase == Connection::Phase::Waiting && c.id == id;
        });
        if (waiting != connections_.end())
            startAnswer(*waiting, std::move(answer), now);
    }
}

bool MetricsServer::Impl::handshake(Connection& c, Clock::time_point now) {
    if (!c.tls || c.handshaken)
        return true;
    switch (c.tls->handshake()) {
    case TlsSession::Io::Done:
        c.handshaken = true;
        c.wantWrite = false;
        return true;
    case TlsSession::Io::WantRead:
        c.wantWrite = false;
        return false;
    case TlsSession::Io::WantWrite:
        c.wantWrite = true;
        return false;
    case TlsSession::Io::Closed:
    case TlsSession::Io::Failed:
        break;
    }
    // Plain HTTP to a TLS port, a certificate refused, a client that gave up: nothing to answer with.
    c.deadline = now;
    return false;
}

void MetricsServer::Impl::readRequest(Connection& c, Clock::time_point now) {
    if (!handshake(c, now))
        return;
    // Never more than the largest request that can be answered, and one byte to tell that it is larger.
    const std::size_t most = limits_.maxRequestHead + limits_.maxPayload + 1;
    char chunk[4096];
    for (;;) {
        const std::size_t room = most - std::min(most, c.received.size());
        if (room == 0)
            break;
        const ssize_t got = c.receive(chunk, std::min(room, sizeof chunk));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (got <= 0) {
            // Closed (or failed) before the request was whole: nothing more will come.
            const RequestFraming framing = frameRequest(c.received, limits_.maxRequestHead, limits_.maxPayload);
            if (framing.state == RequestFraming::State::Incomplete) {
                startAnswer(c, bodilessAnswer("408 Request Timeout"), now);
                return;
            }
            break;
        }
        c.received.append(chunk, static_cast<std::size_t>(got));
    }
    using State = RequestFraming::State;
    const RequestFraming framing = frameRequest(c.received, limits_.maxRequestHead, limits_.maxPayload);
    switch (framing.state) {
    case State::Incomplete:
        return;
    case State::Complete: {
        const std::string_view request = std::string_view(c.received).substr(0, framing.size);
        if (worker_ && !auth_->answersAtOnce(authorizationOf(request))) {
            c.phase = Connection::Phase::Waiting;
            c.id = ++lastId_;
            worker_->submit(c.id, std::string(request));
            c.received.clear();
            c.received.shrink_to_fit();
            return;
        }
        startAnswer(c, processor_.answer(c.fd, request), now);
        return;
    }
    case State::HeadTooLarge:
        startAnswer(c, bodilessAnswer("431 Request Header Fields Too Large"), now);
        return;
    case State::BadLength:
        startAnswer(c, bodilessAnswer("400 Bad Request"), now);
        return;
    case State::BodyTooLarge:
        startAnswer(c, bodilessAnswer("413 Payload Too Large"), now);
        return;
    case State::LengthRequired:
        startAnswer(c, bodilessAnswer("411 Length Required"), now);
        return;
    }
}

void MetricsServer::Impl::startAnswer(Connection& c, std::string answer, Clock::time_point now) {
    c.phase = Connection::Phase::Writing;
    c.answer = std::move(answer);
    c.received.clear();
    c.received.shrink_to_fit();
    writeAnswer(c, now);
}

void MetricsServer::Impl::writeAnswer(Connection& c, Clock::time_point now) {
    while (c.sent < c.answer.size()) {
        const ssize_t sent = c.transmit(c.answer.data() + c.sent, c.answer.size() - c.sent);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (sent < 0) {
            c.deadline = now; // the client is gone
            return;
        }
        c.sent += static_cast<std::size_t>(sent);
    }
    if (c.tls)
        c.tls->close();
    ::shutdown(c.fd, SHUT_WR);
    c.phase = Connection::Phase::Draining;
    c.answer.clear();
    c.answer.shrink_to_fit();
    c.deadline = std::min(c.deadline, now + std::chrono::seconds(1));
}

bool MetricsServer::Impl::drain(Connection& c) {
    char scratch[4096];
    for (;;) {
        const ssize_t got = ::recv(c.fd, scratch, sizeof scratch, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (got <= 0)
            return false;
        c.dropped += static_cast<std::size_t>(got);
        if (c.dropped >= 64 * 1024)
            return false;
    }
}

MetricsServer::MetricsServer(const MetricsRegistry& registry, MetricsServerLimits limits)
    : registry_(registry), limits_(limits) {}

MetricsServer::~MetricsServer() {
    stop();
}

bool MetricsServer::start(const ListenAddress& where) {
    stop();
    error_.clear();
    auto impl = std::make_unique<Impl>(registry_, limits_, security_, lifecycle_, reload_, extra_);
    if (std::string why = impl->secure(security_); !why.empty()) {
        error_ = why;
        return false;
    }
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
