// The metrics endpoint of the running program and of the running console probe, scraped and read by the
// Prometheus client's own parser. Both probe 127.0.0.1 inside a private network namespace that drops every
// third echo request, and serve there, so the scrapes never leave it either.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/EndToEndFixture.h"
#include "support/NetNamespace.h"
#include "support/PrometheusParser.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::uint16_t kPort = 9464; // free in a fresh namespace
const std::string kPortText = std::to_string(kPort);
const std::string kLabels = "{address=127.0.0.1,host=127.0.0.1";

sockaddr_in loopbackPort() {
    return sockaddr_in{AF_INET, htons(kPort), {htonl(INADDR_LOOPBACK)}, {}};
}

// One GET of /metrics inside the namespace: the whole answer, empty when nothing listens there yet.
std::string getMetrics(const NetNamespace& ns) {
    return httpGetInside(ns, kPort, "/metrics");
}

// A listening socket on the port inside the namespace, as another service holding it would have.
int holdPort(const NetNamespace& ns) {
    NetNamespace::Entered inside(ns);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in at = loopbackPort();
    if (!inside.ok() || ::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 || ::listen(fd, 1) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The series of 127.0.0.1 in one scrape; every figure -1 when the scrape failed or had no probe yet.
struct Figures {
    double requests = -1, lost = -1, count = -1, infBucket = -1, sum = -1, ttl = -1, buildInfo = -1, started = -1;
    std::string status;  // the state of ostrevo_host_status that is 1, "" when none is
    int statesSet = 0;   // how many states are 1
    int statesShown = 0; // how many states have a sample
};

Figures scrape(const NetNamespace& ns) {
    const std::string answer = getMetrics(ns);
    if (answer.rfind("HTTP/1.1 200", 0) != 0)
        return {};
    const ParsedExposition parsed = parseExposition(answer.substr(answer.find("\r\n\r\n") + 4));
    EXPECT_EQ(parsed.exitCode, 0) << answer;
    Figures f;
    f.requests = parsed.value("ostrevo_probe_requests_total" + kLabels + "}");
    f.lost = parsed.value("ostrevo_probe_lost_total" + kLabels + "}");
    f.count = parsed.value("ostrevo_probe_rtt_seconds_count" + kLabels + "}");
    f.infBucket = parsed.value("ostrevo_probe_rtt_seconds_bucket" + kLabels + ",le=+Inf}");
    f.sum = parsed.value("ostrevo_probe_rtt_seconds_sum" + kLabels + "}");
    f.ttl = parsed.value("ostrevo_probe_reply_ttl" + kLabels + "}");
    f.buildInfo = parsed.value("ostrevo_build_info{version=2.2.2.58}");
    f.started = parsed.value("process_start_time_seconds{}");
    for (const char* state : {"good", "average", "bad", "unknown"}) {
        const double value = parsed.value("ostrevo_host_status" + kLabels + ",status=" + state + "}");
        f.statesShown += value >= 0 ? 1 : 0;
        if (value == 1) {
            f.status = state;
            ++f.statesSet;
        }
    }
    return f;
}

// Unix time in seconds.
double now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// What every scrape must show whoever counted: the histogram holds the replies, all of them quick on loopback,
// the replies' TTL is the namespace's default, and the process started after `launched`.
void expectHistogramOfReplies(const Figures& f, double launched) {
    EXPECT_EQ(f.count, f.requests - f.lost);
    EXPECT_EQ(f.infBucket, f.count);
    EXPECT_GT(f.sum, 0);
    EXPECT_LT(f.sum, f.count * 0.1);
    EXPECT_EQ(f.ttl, 64);
    EXPECT_EQ(f.buildInfo, 1);
    // The boot time the start is reckoned from is whole seconds: it may read up to a second early.
    EXPECT_GE(f.started, launched - 1.0);
    EXPECT_LE(f.started, now());
    EXPECT_EQ(f.statesShown, 4);
    EXPECT_EQ(f.statesSet, 1);
}

// The state of ostrevo_host_status for a status word as the log and the probe print it.
std::string stateOf(const std::string& word) {
    static const std::map<std::string, std::string> states = {
        {"N/A", "unknown"}, {"Bad", "bad"}, {"Average", "average"}, {"Good", "good"}};
    const auto it = states.find(word);
    return it == states.end() ? "(" + word + "?)" : it->second;
}

std::vector<std::string> fields(const std::string& record) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t end; (end = record.find(';', start)) != std::string::npos; start = end + 1)
        out.push_back(record.substr(start, end - start));
    out.push_back(record.substr(start));
    return out;
}

// The number after `label` in the last line of the probe's output that has it ("    Total 7  Lost 3 (43%)").
double lastNumberAfter(const std::string& out, const std::string& label) {
    const std::size_t at = out.rfind(label);
    return at == std::string::npos ? -1 : std::atof(out.c_str() + at + label.size());
}

class MetricsEndToEnd : public EndToEndFixture {
protected:
    void SetUp() override {
        EndToEndFixture::SetUp();
        if (HasFatalFailure())
            return;
        if (const std::string why = NetNamespace::unavailableReason(); !why.empty())
            GTEST_SKIP() << why;
        if (!prometheusClientInstalled())
            GTEST_SKIP() << "python3 with prometheus_client is not installed (Debian: python3-prometheus-client)";
        ns_ = std::make_unique<NetNamespace>("metrics");
        ASSERT_TRUE(ns_->ok()) << ns_->error();
        ASSERT_TRUE(ns_->allowPingSockets());
        // The first echo request goes unanswered, and every third one after it.
        std::string complaint;
        ASSERT_TRUE(ns_->nft(NetNamespace::inputRule("icmp type echo-request numgen inc mod 3 == 0 drop"), &complaint))
            << complaint;
        log_ = dir_ / "probes.log";
    }

    // `args` started inside the namespace, without a display; output goes to output.txt.
    std::unique_ptr<LaunchedProgram> launchInside(const fs::path& program, const std::vector<std::string>& args) {
        std::vector<std::string> argv = ns_->execPrefix();
        argv.front() = which(argv.front());
        argv.push_back(program.string());
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env = environment(false);
        env.push_back("QT_QPA_PLATFORM=offscreen");
        return std::make_unique<LaunchedProgram>(argv, env, -1, (dir_ / "output.txt").string());
    }
    std::unique_ptr<LaunchedProgram> launchProgram(std::vector<std::string> args) {
        for (const char* arg : {"/start", "/logl=2", "/i=1", "/tries=2", "127.0.0.1"})
            args.emplace_back(arg);
        args.push_back("/logf=" + log_.string());
        return launchInside(program_, args);
    }
    fs::path probeProgram() const { return program_.parent_path().parent_path() / "probe" / "ostrevo-probe"; }
    void storeSettings(const std::string& lines) {
        fs::create_directories(settingsFile().parent_path());
        std::ofstream(settingsFile(), std::ios::binary) << "[General]\n" << lines;
    }

    std::unique_ptr<NetNamespace> ns_;
    fs::path log_;
};

TEST_F(MetricsEndToEnd, ProgramServesWhatItsLogRecords) {
    storeSettings("MetricsListen=" + kPortText + "\n");
    const double launched = now();
    auto app = launchProgram({});

    // Read between two scrapes that agree, the log holds exactly the probes they count.
    Figures f;
    std::vector<std::string> lines;
    const bool settled = waitUntil(
        [&] {
            const Figures before = scrape(*ns_);
            lines = splitLines(readFile(log_));
            f = scrape(*ns_);
            return f.requests >= 4 && f.requests == before.requests && lines.size() == f.requests + 1;
        },
        60s);
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitExit(10s), 0) << programOutput();
    ASSERT_TRUE(settled) << "requests " << f.requests << ", log:\n" << readFile(log_) << programOutput();

    double lost = 0;
    for (std::size_t i = 1; i < lines.size(); ++i)
        if (fields(lines[i]).back().rfind("Replay from 127.0.0.1: bytes=32 ", 0) != 0)
            ++lost;
    EXPECT_GE(lost, 1);
    EXPECT_EQ(f.lost, lost);
    expectHistogramOfReplies(f, launched);
    EXPECT_EQ(f.status, stateOf(fields(lines.back())[3])) << lines.back();
}

TEST_F(MetricsEndToEnd, ProgramGoesOnWithoutMetricsWhenTheyCannotBeServed) {
    const int holder = holdPort(*ns_);
    ASSERT_GE(holder, 0);
    const struct {
        std::string stored;
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {"",
         {"--metrics=" + kPortText},
         "ostrevo: --metrics: cannot listen on 127.0.0.1:" + kPortText +
             ": Address already in use; going on "
             "without metrics\n"},
        {"MetricsListen=localhost:http\n",
         {},
         "ostrevo: MetricsListen: \"localhost:http\": the port must be a number from 1 to 65535"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        fs::remove(settingsFile());
        if (!c.stored.empty())
            storeSettings(c.stored);
        fs::remove(log_);
        auto app = launchProgram(c.args);
        const bool probing = waitUntil([&] { return splitLines(readFile(log_)).size() >= 3; }, 30s);
        app->signal(SIGTERM);
        EXPECT_EQ(app->waitExit(10s), 0) << programOutput();
        EXPECT_TRUE(probing) << readFile(log_) << programOutput();
        EXPECT_NE(programOutput().find(c.message), std::string::npos) << programOutput();
        // --metrics is an argument like any other: nothing is saved.
        EXPECT_EQ(fs::exists(settingsFile()), !c.stored.empty());
    }
    ::close(holder);
}

TEST_F(MetricsEndToEnd, ProbeServesWhatItPrints) {
    const double launched = now();
    auto probe = launchInside(probeProgram(), {"-i", "0.2", "--metrics=" + kPortText, "127.0.0.1"});

    // The probe prints a probe's figures just before it records them: two agreeing scrapes around a read of
    // its output that shows the same totals belong together.
    Figures f;
    std::string out;
    const bool settled = waitUntil(
        [&] {
            const Figures before = scrape(*ns_);
            out = programOutput();
            f = scrape(*ns_);
            // Sends are paced from each other, as ping's are: a dropped request counts only at its own deadline,
            // after later ones have been answered, so the wait goes on until one has.
            return f.requests >= 4 && f.lost >= 1 && f.requests == before.requests &&
                   lastNumberAfter(out, "    Total ") == f.requests && lastNumberAfter(out, "  Lost ") == f.lost;
        },
        60s);
    probe->signal(SIGINT);
    EXPECT_EQ(probe->waitExit(10s), 0) << programOutput();
    ASSERT_TRUE(settled) << "requests " << f.requests << ", lost " << f.lost << ", output:\n" << out;

    EXPECT_GE(f.lost, 1);
    expectHistogramOfReplies(f, launched);
    // The probe prints the status when it changes (unindented after a request it does not mention, as a lost one);
    // before the first change it is N/A.
    const std::size_t at = out.rfind("Status ");
    const std::string word = at == std::string::npos ? "N/A" : out.substr(at + 7, out.find('\n', at) - at - 7);
    EXPECT_EQ(f.status, stateOf(word));
}

TEST_F(MetricsEndToEnd, ProbeWillNotRunWithoutTheMetricsItWasAskedFor) {
    const int holder = holdPort(*ns_);
    ASSERT_GE(holder, 0);
    const std::pair<std::string, std::string> cases[] = {
        {"--metrics=" + kPortText,
         "ostrevo-probe: metrics: cannot listen on 127.0.0.1:" + kPortText + ": Address already in use\n"},
        {"--metrics=127.0.0.1:99999", "ostrevo-probe: invalid metrics address \"127.0.0.1:99999\": the port must"},
    };
    for (const auto& [option, message] : cases) {
        SCOPED_TRACE(option);
        auto probe = launchInside(probeProgram(), {"-c", "1", option, "127.0.0.1"});
        EXPECT_EQ(probe->waitExit(10s), 2);
        EXPECT_NE(programOutput().find(message), std::string::npos) << programOutput();
        EXPECT_EQ(programOutput().find("Probing"), std::string::npos) << "probed without metrics";
    }
    ::close(holder);
}

} // namespace
