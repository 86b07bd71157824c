// The real program in a chain of private namespaces (client, three routers, server): when the second router
// starts dropping everything it forwards, the host behind the chain goes Bad, whether it is the main host or
// one beside it, and the route trace taken at that edge says that loss begins at hop 3, which does not
// answer: in a second desktop notification that replaces the first, in the ledger beside the outage (and so
// in History's Where), and in the metrics.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include "history/LedgerReader.h"
#include "support/EndToEndFixture.h"
#include "support/NetNamespace.h"
#include "support/RouterChain.h"
#include "text/RouteText.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::uint16_t kPort = 9464; // free in a fresh namespace

// One GET of /metrics on the namespace's loopback: the whole answer, empty when nothing listens there yet.
std::string scrape(const NetNamespace& ns) {
    return httpGetInside(ns, kPort, "/metrics");
}

std::vector<QJsonObject> notifications(const fs::path& record) {
    std::vector<QJsonObject> calls;
    std::ifstream in(record);
    for (std::string line; std::getline(in, line);)
        calls.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(line)).object());
    return calls;
}

class RouteEndToEnd : public EndToEndFixture {
protected:
    void SetUp() override {
        EndToEndFixture::SetUp();
        if (HasFatalFailure())
            return;
        if (const std::string why = NetNamespace::unavailableReason(); !why.empty())
            GTEST_SKIP() << why;
        if (which("dbus-daemon").empty())
            GTEST_SKIP() << "dbus-daemon is not installed";
        chain_ = std::make_unique<RouterChain>("rprog", 3);
        ASSERT_TRUE(chain_->ok()) << chain_->error();
        startBus();
    }
    void TearDown() override {
        app_.reset();
        recorder_.reset();
        bus_.reset();
        chain_.reset();
        EndToEndFixture::TearDown();
    }

    // A session bus of the test's own, on a socket file (reachable from every network namespace), and the
    // recording notification service on it.
    void startBus() {
        const fs::path config = dir_ / "bus.conf";
        std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                 " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                 "<busconfig><type>session</type><listen>unix:path="
                              << (dir_ / "bus").string()
                              << "</listen>\n<policy context=\"default\"><allow send_destination=\"*\" "
                                 "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
                                 "</busconfig>\n";
        bus_ = std::make_unique<LaunchedProgram>(
            std::vector<std::string>{which("dbus-daemon"), "--config-file=" + config.string(), "--nofork"},
            std::vector<std::string>{}, -1, (dir_ / "bus.txt").string());
        ASSERT_TRUE(waitUntil([&] { return fs::exists(dir_ / "bus"); }, 20s)) << readFile(dir_ / "bus.txt");
        busAddress_ = "unix:path=" + (dir_ / "bus").string();
        const fs::path recorder = program_.parent_path().parent_path() / "tests" / "ostrevo_notification_recorder";
        ASSERT_TRUE(fs::exists(recorder)) << recorder << " is not built";
        recorder_ = std::make_unique<LaunchedProgram>(
            std::vector<std::string>{recorder.string(), (dir_ / "notifications.jsonl").string()},
            std::vector<std::string>{"DBUS_SESSION_BUS_ADDRESS=" + busAddress_}, -1, (dir_ / "recorder.txt").string());
        ASSERT_TRUE(waitUntil([&] { return readFile(dir_ / "recorder.txt").find("ready") != std::string::npos; }, 20s))
            << readFile(dir_ / "recorder.txt");
    }

    void launchInClient(const std::vector<std::string>& args) {
        std::vector<std::string> argv = chain_->client().execPrefix();
        argv.front() = which(argv.front());
        argv.push_back(program_.string());
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env = environment(false);
        env.push_back("QT_QPA_PLATFORM=offscreen");
        env.push_back("DBUS_SESSION_BUS_ADDRESS=" + busAddress_);
        app_ = std::make_unique<LaunchedProgram>(argv, env, -1, (dir_ / "output.txt").string());
    }

    std::unique_ptr<RouterChain> chain_;
    std::unique_ptr<LaunchedProgram> bus_;
    std::unique_ptr<LaunchedProgram> recorder_;
    std::unique_ptr<LaunchedProgram> app_;
    std::string busAddress_;
};

// Where the host behind the chain sits: the main host (started by /start), or a host beside 127.0.0.1 (resumed
// from the list): every host is watched alike.
enum class ChainHost { Main, Second };

class RouteEndToEndEveryHost : public RouteEndToEnd, public testing::WithParamInterface<ChainHost> {};

TEST_P(RouteEndToEndEveryHost, AnOutageBehindTheSecondRouterIsPlacedAtHopThree) {
    const std::string server = chain_->serverAddress();
    fs::create_directories(settingsFile().parent_path());
    std::ofstream settings(settingsFile(), std::ios::binary);
    settings << "[General]\nMetricsListen=" << kPort << "\nRouteRounds=3\nNotify=Yes\n";
    if (GetParam() == ChainHost::Main) {
        settings.close();
        launchInClient({"/start", "/i=1", "/tries=2", server});
    } else {
        settings << "Host=127.0.0.1\nInterval=1\nTries=2\n\n[Hosts]\n1\\Host=" << server
                 << "\n1\\Interval=1\n1\\Tries=2\n1\\Running=Yes\nsize=1\n";
        settings.close();
        launchInClient({"/start"});
    }

    const auto status = [](const std::string& host, const char* word) {
        return "ostrevo_host_status{host=\"" + host + "\",address=\"" + host + "\",status=\"" + word + "\"} 1";
    };
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::string scraped = scrape(chain_->client());
            return scraped.find(status(server, "good")) != std::string::npos &&
                   (GetParam() == ChainHost::Main || scraped.find(status("127.0.0.1", "good")) != std::string::npos);
        },
        60s))
        << scrape(chain_->client()) << readFile(dir_ / "output.txt");
    EXPECT_EQ(scrape(chain_->client()).find("ostrevo_route_loss_begins_hop{"), std::string::npos)
        << "no trace before an outage";

    std::string complaint;
    ASSERT_TRUE(chain_->router(2).nft(
        "table ip t {\n chain c {\n  type filter hook forward priority 0;\n  drop\n }\n}\n", &complaint))
        << complaint;

    // The edge's notification, then the trace's in its place, in words: hop 3 is where nothing answers any more.
    const fs::path record = dir_ / "notifications.jsonl";
    const QString summary = QString::fromStdString(server) + QStringLiteral(" is Bad");
    const auto ofServer = [&] {
        std::vector<QJsonObject> calls;
        for (const QJsonObject& call : notifications(record))
            if (call[QStringLiteral("summary")].toString() == summary)
                calls.push_back(call);
        return calls;
    };
    // Not fatal: the gauge and the ledger are checked whatever became of the notifications.
    EXPECT_TRUE(waitUntil([&] { return ofServer().size() >= 2; }, 90s))
        << readFile(record) << readFile(dir_ / "output.txt");
    if (const std::vector<QJsonObject> calls = ofServer(); calls.size() >= 2) {
        EXPECT_EQ(calls[1][QStringLiteral("body")].toString(),
                  QString::fromStdString("Loss begins at hop 3, which does not answer; hop 2, " +
                                         RouterChain::hopAddress(2) + ", is the last that does"));
        EXPECT_EQ(calls[1][QStringLiteral("replaces_id")].toInteger(), calls[0][QStringLiteral("id")].toInteger());
        EXPECT_EQ(calls[1][QStringLiteral("id")].toInteger(), calls[0][QStringLiteral("id")].toInteger());
    }

    const std::string gauge = "ostrevo_route_loss_begins_hop{host=\"" + server + "\",address=\"" + server + "\"} 3\n";
    EXPECT_TRUE(waitUntil([&] { return scrape(chain_->client()).find(gauge) != std::string::npos; }, 20s))
        << scrape(chain_->client());

    // The ledger keeps the trace with the outage, and the History window's Where names the hop.
    const fs::path history = dir_ / "home/.local/share/Quorvan Corporation/Ostrevo/history.sqlite";
    LedgerReader reader(history.string());
    std::vector<Outage> outages;
    ASSERT_TRUE(waitUntil(
        [&] {
            outages = reader.outages(server, 0, INT64_MAX);
            return !outages.empty() && outages.back().routeId;
        },
        30s))
        << reader.errorText() << readFile(dir_ / "output.txt");
    EXPECT_EQ(RouteText::where(outages.back().lossBeginsAt, outages.back().lossAddress), "hop 3");
    EXPECT_EQ(outages.back().lastAnsweringHop, 2);
    EXPECT_EQ(outages.back().lastAnsweringAddress, RouterChain::hopAddress(2));
    const std::optional<RouteSnapshot> snapshot = reader.routeSnapshot(*outages.back().routeId);
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->reason, RouteReason::Outage);
    EXPECT_EQ(snapshot->rounds, 3u);
    ASSERT_EQ(snapshot->hops.size(), 3u);
    ASSERT_EQ(snapshot->hops[0].answered.size(), 1u);
    ASSERT_EQ(snapshot->hops[1].answered.size(), 1u);
    EXPECT_EQ(snapshot->hops[0].answered[0].text(), RouterChain::hopAddress(1));
    EXPECT_EQ(snapshot->hops[1].answered[0].text(), RouterChain::hopAddress(2));
    EXPECT_TRUE(snapshot->hops[2].answered.empty());
    // The host that stayed up has neither an outage nor a trace.
    EXPECT_TRUE(reader.outages("127.0.0.1", 0, INT64_MAX).empty());

    app_->signal(SIGTERM);
    EXPECT_EQ(app_->waitExit(30s), 0) << readFile(dir_ / "output.txt");
}

// Path watching in the program: a host beside the main one with PathWatch on has its path kept in the ledger and
// its length in the metrics; router 2 rerouted through a fourth router is one route change, counted, written to
// the host's log and notified in words.
TEST_F(RouteEndToEnd, AWatchedPathIsKeptAndItsRouteChangeCountedLoggedAndNotified) {
    const std::string server = chain_->serverAddress();
    const fs::path log = dir_ / "server.log";
    fs::create_directories(settingsFile().parent_path());
    std::ofstream(settingsFile(), std::ios::binary)
        << "[General]\nMetricsListen=" << kPort
        << "\nNotify=Yes\nHost=127.0.0.1\nInterval=1\n\n[Hosts]\n1\\Host=" << server
        << "\n1\\Interval=1\n1\\PathWatch=Yes\n1\\PathInterval=10\n1\\PathRounds=3\n1\\LogLevel=1\n"
        << "1\\LogFileName=" << log.string() << "\n1\\Running=Yes\nsize=1\n";
    launchInClient({});

    const std::string pair = "{host=\"" + server + "\",address=\"" + server + "\"} ";
    ASSERT_TRUE(waitUntil(
        [&] { return scrape(chain_->client()).find("ostrevo_route_hops" + pair + "4\n") != std::string::npos; }, 60s))
        << scrape(chain_->client()) << readFile(dir_ / "output.txt");
    EXPECT_NE(scrape(chain_->client()).find("ostrevo_route_changes_total" + pair + "0\n"), std::string::npos);
    EXPECT_EQ(scrape(chain_->client()).find("ostrevo_route_hops{host=\"127.0.0.1\""), std::string::npos)
        << "a host without PathWatch is not path-watched";

    ASSERT_TRUE(chain_->detour(2)) << chain_->error();
    ASSERT_TRUE(waitUntil(
        [&] {
            return scrape(chain_->client()).find("ostrevo_route_changes_total" + pair + "1\n") != std::string::npos;
        },
        60s))
        << scrape(chain_->client()) << readFile(dir_ / "output.txt");
    EXPECT_NE(scrape(chain_->client()).find("ostrevo_route_hops" + pair + "5\n"), std::string::npos);

    const std::string sentence = "Route to " + server + " changed at hop 3: " + RouterChain::hopAddress(3) +
                                 " \u2192 " + RouterChain::detourAddress(2);
    EXPECT_TRUE(waitUntil([&] { return readFile(log).find(sentence) != std::string::npos; }, 10s)) << readFile(log);
    EXPECT_TRUE(waitUntil(
        [&] {
            for (const QJsonObject& call : notifications(dir_ / "notifications.jsonl"))
                if (call[QStringLiteral("body")].toString() == QString::fromStdString(sentence))
                    return true;
            return false;
        },
        10s))
        << readFile(dir_ / "notifications.jsonl");

    const fs::path history = dir_ / "home/.local/share/Quorvan Corporation/Ostrevo/history.sqlite";
    LedgerReader reader(history.string());
    std::vector<RouteChange> changes;
    ASSERT_TRUE(waitUntil(
        [&] {
            changes = reader.routeChanges(server, 0, INT64_MAX);
            return !changes.empty();
        },
        30s))
        << reader.errorText() << readFile(dir_ / "output.txt");
    EXPECT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].hop, 3);
    app_->signal(SIGTERM);
    EXPECT_EQ(app_->waitExit(30s), 0) << readFile(dir_ / "output.txt");
    // Committed at the latest at exit: the path's minutes, hop by hop, the server last.
    const std::vector<PathMinute> minutes = reader.pathMinutes(server, 0, INT64_MAX);
    ASSERT_FALSE(minutes.empty());
    EXPECT_EQ(minutes.front().hop, 1);
    EXPECT_EQ(minutes.front().answered.at(0).text(), RouterChain::hopAddress(1));
}

INSTANTIATE_TEST_SUITE_P(, RouteEndToEndEveryHost, testing::Values(ChainHost::Main, ChainHost::Second),
                         [](const testing::TestParamInfo<ChainHost>& info) {
                             return info.param == ChainHost::Main ? "MainHost" : "SecondHost";
                         });

} // namespace
