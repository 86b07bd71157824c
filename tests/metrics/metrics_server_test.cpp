#include "metrics/MetricsRegistry.h"
#include "metrics/MetricsServer.h"

#include "support/FifoFile.h"
#include "support/PrometheusParser.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// Every server here listens on loopback only.

namespace {

using std::chrono::microseconds;

// A client socket on 127.0.0.1 or ::1, closed when it dies.
class Client {
public:
    explicit Client(std::uint16_t port, bool ipv6 = false) {
        fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in in4{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(port);
        in6.sin6_addr = in6addr_loopback;
        connected_ = ipv6 ? ::connect(fd_, reinterpret_cast<sockaddr*>(&in6), sizeof in6) == 0
                          : ::connect(fd_, reinterpret_cast<sockaddr*>(&in4), sizeof in4) == 0;
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    [[nodiscard]] bool connected() const { return connected_; }
    bool send(const std::string& data) { return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) > 0; }
    // True when the server has answered or closed, without waiting.
    [[nodiscard]] bool serverSpoke() const {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }
    // Everything until the server closes (a minute at most, against a hang).
    std::string readAll() {
        std::string out;
        char buffer[4096];
        pollfd p{fd_, POLLIN, 0};
        while (::poll(&p, 1, 60'000) > 0) {
            const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            out.append(buffer, static_cast<std::size_t>(got));
        }
        return out;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

std::string Exchange(std::uint16_t port, const std::string& request, bool ipv6 = false) {
    Client client(port, ipv6);
    EXPECT_TRUE(client.connected());
    client.send(request);
    return client.readAll();
}

int StatusOf(const std::string& response) {
    return response.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(response.c_str() + 9) : -1;
}

const std::string kScrape = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/plain\r\n\r\n";

class MetricsServerTest : public ::testing::Test {
protected:
    MetricsRegistry registry{"2.2.2.58"};
};

TEST_F(MetricsServerTest, ScrapesParseAndCountersAgreeWhileProbesAreRecorded) {
    if (!prometheusClientInstalled())
        GTEST_SKIP() << "python3 with prometheus_client is not installed (Debian: python3-prometheus-client)";
    MetricsServer server(registry);
    ASSERT_TRUE(server.start(ListenAddress{"127.0.0.1", 0, false})) << server.errorText();

    constexpr int kProbes = 20000;
    std::thread worker([this] {
        for (int i = 0; i < kProbes; ++i) {
            if (i % 5 == 0)
                registry.recordProbe("web", "127.0.0.1", std::nullopt, 11010);
            else
                registry.recordProbe("web", "127.0.0.1", microseconds(100 + i * 997), 0);
            registry.setHostStatus("web", "127.0.0.1", i % 5 == 0 ? HostStatus::Average : HostStatus::Good);
        }
    });
    const std::string l = "{address=127.0.0.1,host=web";
    double previousRequests = 0;
    for (int scrape = 0; scrape < 6; ++scrape) {
        if (scrape == 5)
            worker.join();
        const std::string response = Exchange(server.port(), kScrape);
        ASSERT_EQ(StatusOf(response), 200) << response;
        EXPECT_NE(response.find("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), std::string::npos);
        const ParsedExposition parsed = parseExposition(response.substr(response.find("\r\n\r\n") + 4));
        ASSERT_EQ(parsed.exitCode, 0);
        auto value = [&](const std::string& key) { return parsed.value(key); };
        EXPECT_EQ(value("ostrevo_build_info{version=2.2.2.58}"), 1);
        if (value("ostrevo_probe_requests_total" + l + "}") < 0)
            continue; // scraped before the first probe
        EXPECT_EQ(value("family:ostrevo_probe_rtt_seconds:histogram"), 1);
        const double requests = value("ostrevo_probe_requests_total" + l + "}");
        const double lost = value("ostrevo_probe_lost_total" + l + "}");
        const double count = value("ostrevo_probe_rtt_seconds_count" + l + "}");
        EXPECT_GE(requests, previousRequests);
        previousRequests = requests;
        EXPECT_EQ(count, requests - lost);
        EXPECT_EQ(value("ostrevo_probe_rtt_seconds_bucket" + l + ",le=+Inf}"), count);
        EXPECT_LE(value("ostrevo_probe_rtt_seconds_bucket" + l + ",le=0.1}"),
                  value("ostrevo_probe_rtt_seconds_bucket" + l + ",le=0.25}"));
        if (scrape == 5) {
            EXPECT_EQ(requests, kProbes);
            EXPECT_EQ(lost, kProbes / 5);
            EXPECT_DOUBLE_EQ(value("ostrevo_probe_last_rtt_seconds" + l + "}"), (100 + (kProbes - 1) * 997) / 1e6);
            EXPECT_EQ(value("ostrevo_host_status" + l + ",status=good}"), 1);
            for (const char* other : {"average", "bad", "unknown"})
                EXPECT_EQ(value("ostrevo_host_status" + l + ",status=" + other + "}"), 0) << other;
            EXPECT_EQ(value("family:ostrevo_host_status:gauge"), 1);
            EXPECT_GT(value("process_start_time_seconds{}"), 1.7e9);
            EXPECT_EQ(value("ostrevo_probe_rtt_seconds_bucket" + l + ",le=0.0005}"), 0);
        }
    }
}

TEST_F(MetricsServerTest, AnswersOnlyMetricsAndRefusesBadOrOversizedRequests) {
    MetricsServer server(registry);
    ASSERT_TRUE(server.start(ListenAddress{"127.0.0.1", 0, false})) << server.errorText();
    const struct {
        std::string request;
        int status;
    } cases[] = {
        {kScrape, 200},
        {"GET /metrics?format=x HTTP/1.0\r\n\r\n", 200},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", 200},
        {"GET / HTTP/1.1\r\n\r\n", 404},
        {"GET /metrics/ HTTP/1.1\r\n\r\n", 404},
        {"GET /metricsx HTTP/1.1\r\n\r\n", 404},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", 404},
        {"garbage\r\n\r\n", 400},
        {"GET /metrics\r\n\r\n", 400},
        {"BREW /metrics HTTP/1.1\r\n\r\n", 400},
        {"GET /metrics HTTP/1.1\r\nX-Pad: " + std::string(9000, 'a') + "\r\n\r\n", 431},
        {"GET /metrics HTTP/1.1\r\n" + std::string(20000, '\n'), 431}, // bare line feeds never end the head
        {"GET /metrics HTTP/1.1\r\nX-Bare: line\n\r\n", 200},          // as the parser reads it: a skipped line
        // A length that is no plain number, or two of them, is refused at once, without waiting for a body.
        {"POST /metrics HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 18446744073709551617\r\n\r\n", 400},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 10000000000000000000\r\n\r\n", 400},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 5 5\r\n\r\nhello", 400},
        {"POST /metrics HTTP/1.1\r\nContent-Length: +5\r\n\r\nhello", 400},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 5\r\ncontent-length: 6\r\n\r\nhello!", 400},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 5\r\ncontent-length:  5 \r\n\r\nhello", 404},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 9223372036854775807\r\n\r\n", 413},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 1025\r\n\r\n", 413},
        {"POST /metrics HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 411},
        {"GET /metrics HTTP/1.1\r\nExpect: 100-continue\r\n\r\n", 200}, // one answer, no interim one
    };
    for (const auto& c : cases)
        EXPECT_EQ(StatusOf(Exchange(server.port(), c.request)), c.status) << c.request.substr(0, 60);

    // A flood of header lines is cut off, not collected, and the next scrape is served.
    Client flood(server.port());
    std::string lines = "GET /metrics HTTP/1.1\r\n";
    for (int i = 0; i < 10000; ++i)
        lines += "X-Line: " + std::to_string(i) + "\r\n";
    flood.send(lines);
    EXPECT_EQ(StatusOf(flood.readAll()), 431);
    EXPECT_EQ(StatusOf(Exchange(server.port(), kScrape)), 200);
}

TEST_F(MetricsServerTest, SilentAndTricklingClientsAreCutOffWithoutHoldingScrapes) {
    MetricsServerLimits limits;
    limits.exchangeTimeout = std::chrono::seconds(60);
    MetricsServer patient(registry, limits);
    ASSERT_TRUE(patient.start(ListenAddress{"127.0.0.1", 0, false})) << patient.errorText();
    Client silent(patient.port());
    silent.send("GET /metr");
    EXPECT_EQ(StatusOf(Exchange(patient.port(), kScrape)), 200);
    EXPECT_FALSE(silent.serverSpoke()) << "the scrape was served only after the silent client was dropped";

    limits.exchangeTimeout = std::chrono::seconds(1);
    MetricsServer strict(registry, limits);
    ASSERT_TRUE(strict.start(ListenAddress{"127.0.0.1", 0, false})) << strict.errorText();
    Client trickling(strict.port());
    int sent = 0;
    for (; sent < 100 && !trickling.serverSpoke(); ++sent) { // a byte every 100 ms: each would reset a read timeout
        trickling.send("G");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_LT(sent, 100) << "a client sending a byte now and then was never cut off";
    EXPECT_EQ(StatusOf(trickling.readAll()), 408);

    patient.stop(); // returns at once although the silent client still waits, and lets it go
    EXPECT_EQ(StatusOf(silent.readAll()), 408);
}

// Two hundred clients that send their requests a byte a second: a scrape that comes meanwhile is answered while
// they are all still sending, and the oldest of them make room for new connections rather than the new ones
// being turned away.
TEST_F(MetricsServerTest, ScrapesAreAnsweredWhileManyClientsTrickle) {
    MetricsServerLimits limits;
    limits.exchangeTimeout = std::chrono::seconds(60); // nobody is cut off by time during the test
    MetricsServer server(registry, limits);
    ASSERT_TRUE(server.start(ListenAddress{"127.0.0.1", 0, false})) << server.errorText();

    constexpr std::size_t kTricklers = 200;
    std::vector<std::unique_ptr<Client>> tricklers;
    for (std::size_t i = 0; i < kTricklers; ++i) {
        tricklers.push_back(std::make_unique<Client>(server.port()));
        ASSERT_TRUE(tricklers.back()->connected());
        tricklers.back()->send("G");
    }
    const std::string request = "ET /metrics HTTP/1.1\r\n";
    for (std::size_t byte = 0; byte < 3; ++byte) {
        for (auto& t : tricklers)
            t->send(request.substr(byte, 1));
        EXPECT_EQ(StatusOf(Exchange(server.port(), kScrape)), 200) << "while the clients trickle, second " << byte;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    // The newest ones are still connected and unanswered; only the oldest were shed.
    std::size_t waiting = 0;
    bool oldestFirst = true;
    for (const auto& t : tricklers) {
        if (!t->serverSpoke())
            ++waiting;
        else if (waiting > 0)
            oldestFirst = false;
    }
    EXPECT_TRUE(oldestFirst) << "a newer client was shed before an older one";
    EXPECT_GE(waiting, limits.maxConnections - 3); // each scrape may have shed one
}

TEST_F(MetricsServerTest, TheOldestDawdlerMakesRoomNeverTheNewConnection) {
    MetricsServerLimits limits;
    limits.exchangeTimeout = std::chrono::seconds(60);
    limits.maxConnections = 3;
    MetricsServer server(registry, limits);
    ASSERT_TRUE(server.start(ListenAddress{"127.0.0.1", 0, false})) << server.errorText();
    Client first(server.port()), second(server.port()), third(server.port());
    for (Client* c : {&first, &second, &third})
        c->send("GET /metr");
    // Only a new connection sheds: the three dawdlers stay until then.
    EXPECT_EQ(StatusOf(Exchange(server.port(), kScrape)), 200);
    EXPECT_EQ(first.readAll(), "") << "the oldest is closed without an answer";
    EXPECT_FALSE(third.serverSpoke());
    EXPECT_EQ(StatusOf(Exchange(server.port(), kScrape)), 200);
    EXPECT_FALSE(third.serverSpoke());
    EXPECT_TRUE(third.send("ics HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(StatusOf(third.readAll()), 200);
}

TEST_F(MetricsServerTest, PortInUseIsReportedAndTheServerCanRestart) {
    MetricsServer first(registry);
    ASSERT_TRUE(first.start(ListenAddress{"127.0.0.1", 0, false})) << first.errorText();
    const std::uint16_t port = first.port();

    MetricsServer second(registry);
    EXPECT_FALSE(second.start(ListenAddress{"127.0.0.1", port, false}));
    EXPECT_EQ(second.errorText(), "cannot listen on 127.0.0.1:" + std::to_string(port) + ": Address already in use");
    EXPECT_EQ(second.port(), 0);
    EXPECT_EQ(StatusOf(Exchange(port, kScrape)), 200) << "the failed start disturbed the running server";

    EXPECT_EQ(StatusOf(Exchange(port, kScrape)), 200); // leaves a connection in TIME_WAIT on the server side
    first.stop();
    ASSERT_TRUE(second.start(ListenAddress{"127.0.0.1", port, false})) << second.errorText();
    EXPECT_EQ(StatusOf(Exchange(port, kScrape)), 200);
}

TEST_F(MetricsServerTest, ServesOnIpv6Loopback) {
    MetricsServer server(registry);
    if (!server.start(ListenAddress{"::1", 0, true}))
        GTEST_SKIP() << "no IPv6 loopback here: " << server.errorText();
    EXPECT_EQ(StatusOf(Exchange(server.port(), kScrape, true)), 200);
}

// The service loads its certificate before it takes its signals: a FIFO named as a file once hung its start
// with SIGTERM held back, so that only SIGKILL ended it.
TEST_F(MetricsServerTest, CertificatesThatArePipesAreRefusedWithoutWaiting) {
    const TempDir dir;
    const FifoFile fifo(dir.file("cert.pem"));
    ASSERT_TRUE(fifo.made());
    MetricsServer server(registry);
    WebSecurity security;
    security.tls = TlsSettings{};
    security.tls->certFile = fifo.path();
    security.tls->keyFile = dir.file("key.pem");
    server.setSecurity(security);
    auto starting = std::async(std::launch::async, [&] { return server.start({"127.0.0.1", 0, false}); });
    if (starting.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        fifo.release();
        starting.wait();
        FAIL() << "loading a certificate from a FIFO waited for a writer";
    }
    EXPECT_FALSE(starting.get());
    EXPECT_EQ(server.errorText(), "cannot load the certificate " + fifo.path() + ": a pipe or a socket, not a file");
}

// A password check takes bcrypt's time on purpose: strangers' guesses, each a check, once held every scrape behind
// them on the server's one thread (5.5 s behind 16 guessing clients at cost 12).
TEST_F(MetricsServerTest, ScrapesWithAKnownPasswordDoNotWaitBehindGuesses) {
    WebSecurity security;
    security.basicAuthUsers = {{"prom", "$2b$12$j.CB/Tb3LTaDZDJ2sN1Wv.TLD6TPCVzI.sGSV7BVZhJJUXRfjvg9i"}}; // "pw"
    MetricsServer server(registry, MetricsServerLimits{std::chrono::seconds(30), 8192, 1024, 64});
    server.setSecurity(security);
    ASSERT_TRUE(server.start({"127.0.0.1", 0, false})) << server.errorText();
    const auto request = [](const std::string& base64) {
        return "GET /metrics HTTP/1.1\r\nAuthorization: Basic " + base64 + "\r\n\r\n";
    };
    const std::string right = request("cHJvbTpwdw==");        // prom:pw
    const std::string wrong = request("cHJvbTpndWVzcw==");    // prom:guess
    ASSERT_EQ(StatusOf(Exchange(server.port(), right)), 200); // its password is known from now on

    std::vector<std::unique_ptr<Client>> guesses;
    for (int i = 0; i < 6; ++i) {
        guesses.push_back(std::make_unique<Client>(server.port()));
        ASSERT_TRUE(guesses.back()->send(wrong));
    }
    EXPECT_EQ(StatusOf(Exchange(server.port(), right)), 200);
    int unanswered = 0;
    for (const auto& guess : guesses)
        unanswered += guess->serverSpoke() ? 0 : 1;
    EXPECT_GT(unanswered, 0) << "the scrape waited until every guess was checked";
    for (const auto& guess : guesses)
        EXPECT_EQ(StatusOf(guess->readAll()), 401);
}

} // namespace
