// The metrics server answering whatever a client sends: one well-formed HTTP answer per connection, never a
// server error, the figures only to GET or HEAD, and the server still serving afterwards. The server listens on
// 127.0.0.1 only, on a port the system picks.
//
// Input: the bytes a client sends before it stops sending.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "metrics/MetricsRegistry.h"
#include "metrics/MetricsServer.h"

#include "fuzz/FuzzSupport.h"

namespace {

struct Fixture {
    MetricsRegistry registry{"fuzz"};
    std::unique_ptr<MetricsServer> server;

    Fixture() {
        registry.recordProbe("host \"q\"\n", "127.0.0.1", std::chrono::microseconds(1500), 0);
        registry.recordProbe("host \"q\"\n", "127.0.0.1", std::nullopt, 11010);
        MetricsServerLimits limits;
        limits.exchangeTimeout = std::chrono::milliseconds(3000);
        server = std::make_unique<MetricsServer>(registry, limits);
        ListenAddress listen;
        listen.address = "127.0.0.1";
        listen.port = 0;
        require(server->start(listen), "server does not start on loopback");
    }
};

// A connected socket. The server closes first, so at thousands of exchanges a second its side of the loopback
// fills with connections in TIME_WAIT, and now and then a new connection meets one of them: tried again for a
// while, since only a server that stopped listening refuses for long.
int connectTo(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int error = 0;
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        require(fd >= 0, "no socket");
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return fd;
        error = errno;
        ::close(fd);
        if (error != ECONNREFUSED && error != EADDRNOTAVAIL && error != ECONNRESET && error != ETIMEDOUT)
            break;
        ::poll(nullptr, 0, 10);
    }
    std::fprintf(stderr, "connect: %s\n", std::strerror(error));
    require(false, "cannot connect");
    return -1;
}

std::string exchange(std::uint16_t port, std::string_view request) {
    const int fd = connectTo(port);
    // The server may answer and close before reading everything (a head over its limit): sending then fails,
    // which is its right.
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    std::string response;
    char buffer[8192];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        // Far past the exchange limit, so that a machine busy with other work is no finding: only a server that
        // hangs takes this long.
        require(::poll(&p, 1, 60'000) > 0, "server neither answered nor closed");
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        response.append(buffer, static_cast<std::size_t>(got));
    }
    // A reset instead of a closing handshake: at thousands of exchanges a second, connections left in TIME_WAIT
    // would use up the loopback's ephemeral ports within a minute.
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
    return response;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture fixture;
    const std::string_view request(reinterpret_cast<const char*>(data), size);
    const std::string response = exchange(fixture.server->port(), request);

    require(response.starts_with("HTTP/1.1 ") && response.size() >= 13 && response[12] == ' ',
            "answer does not start with a status line");
    const int status = std::atoi(response.c_str() + 9);
    require(status >= 200 && status <= 499, "a server error or an odd status");
    const std::size_t headEnd = response.find("\r\n\r\n");
    require(headEnd != std::string::npos, "answer head not terminated");
    const std::string head = lowerAscii(std::string_view(response).substr(0, headEnd + 2));
    const std::string_view body = std::string_view(response).substr(headEnd + 4);
    // The HTTP library splits the first line at blanks and trims blanks and tabs off each piece: the first
    // piece that is left is the method.
    std::string_view method;
    for (std::string_view line = request.substr(0, request.find('\n')); method.empty() && !line.empty();) {
        const auto blank = std::min(line.find(' '), line.size());
        method = line.substr(0, blank);
        line.remove_prefix(std::min(blank + 1, line.size()));
        method.remove_prefix(std::min(method.find_first_not_of(" \t"), method.size()));
        method.remove_suffix(method.size() - std::min(method.find_last_not_of(" \t") + 1, method.size()));
    }

    if (status == 200 || status == 206)
        require(method == "GET" || method == "HEAD", "figures given to another method");
    const auto lengthAt = head.find("\r\ncontent-length: ");
    if (method != "HEAD") {
        // One answer per connection: exactly the announced body follows the head.
        require(lengthAt != std::string::npos, "answer without a length");
        const auto length = std::strtoull(head.c_str() + lengthAt + 18, nullptr, 10);
        require(body.size() == length, "body length differs from the announced one");
    } else {
        require(body.empty(), "HEAD answered with a body");
    }
    if (status == 200 && method == "GET")
        require(body.find("ostrevo_host_status{host=\"host \\\"q\\\"\\n\",address=\"127.0.0.1\","
                          "status=\"unknown\"} 1\n") != std::string_view::npos,
                "figures missing from a GET answer");
    return 0;
}
