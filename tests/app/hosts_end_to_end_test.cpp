// The real program watching three hosts at once in a private network namespace, where 127.0.0.2 drops every
// echo request: the tray shows the worst status and names the host, the ledger and the metrics hold all
// three, one notification names the host that is down, and a restart brings the watch list back (the main
// host only on the command line's word).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "history/SqliteDb.h"
#include "support/EndToEndFixture.h"
#include "support/NetNamespace.h"
#include "support/PrometheusParser.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::uint16_t kPort = 9464; // free in a fresh namespace
const char* const kHosts[] = {"127.0.0.1", "127.0.0.2", "127.0.0.3"};

std::int64_t count(const fs::path& path, const std::string& sql) {
    SqliteDb db;
    if (db.open(path.string(), SQLITE_OPEN_READONLY) != SQLITE_OK)
        return -1;
    SqliteStatement s(db, sql.c_str());
    return s.step() == SQLITE_ROW ? s.int64(0) : -1;
}

// One GET of /metrics inside the namespace; empty when nothing answers yet.
std::string getMetrics(const NetNamespace& ns) {
    return httpGetInside(ns, kPort, "/metrics");
}

// The state of ostrevo_host_status that is 1 for each host, in the order of kHosts ("" for none).
std::vector<std::string> scrapedStatuses(const NetNamespace& ns) {
    std::vector<std::string> states(std::size(kHosts));
    const std::string answer = getMetrics(ns);
    if (answer.rfind("HTTP/1.1 200", 0) != 0)
        return states;
    const ParsedExposition parsed = parseExposition(answer.substr(answer.find("\r\n\r\n") + 4));
    for (std::size_t i = 0; i < std::size(kHosts); ++i) {
        const std::string labels = std::string("{address=") + kHosts[i] + ",host=" + kHosts[i];
        for (const char* state : {"good", "average", "bad", "unknown"})
            if (parsed.value("ostrevo_host_status" + labels + ",status=" + state + "}") == 1)
                states[i] = state;
    }
    return states;
}

class HostsEndToEnd : public EndToEndFixture {
protected:
    void SetUp() override {
        EndToEndFixture::SetUp();
        if (HasFatalFailure())
            return;
        if (const std::string why = NetNamespace::unavailableReason(); !why.empty())
            GTEST_SKIP() << why;
        if (which("dbus-daemon").empty())
            GTEST_SKIP() << "dbus-daemon is not installed";
        if (!startDisplay())
            GTEST_SKIP() << "Xvfb is not available";
        tools_ = fs::path(std::getenv("OSTREVO_BINARY_DIR")) / "tests";
        ASSERT_TRUE(fs::exists(tools_ / "ostrevo_tray_watcher")) << "the tray watcher is not built";
        startBus();
    }
    void TearDown() override {
        watcher_.reset();
        recorder_.reset();
        bus_.reset();
        EndToEndFixture::TearDown();
    }

    // A session bus of the test's own on a path socket, which the namespace does not hide, with a
    // notification service and a notification-area host on it.
    void startBus() {
        const fs::path config = dir_ / "bus.conf";
        busSocket_ = dir_ / "bus";
        std::ofstream(config)
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>session</type><listen>unix:path="
            << busSocket_.string()
            << "</listen>\n<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
               "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
        bus_ = std::make_unique<LaunchedProgram>(
            std::vector<std::string>{which("dbus-daemon"), "--config-file=" + config.string(), "--nofork"},
            environment(false), -1, (dir_ / "bus.out").string());
        ASSERT_TRUE(waitUntil([&] { return fs::exists(busSocket_); }, 20s)) << "dbus-daemon did not start";
        notifications_ = dir_ / "notifications.jsonl";
        recorder_ = std::make_unique<LaunchedProgram>(
            std::vector<std::string>{(tools_ / "ostrevo_notification_recorder").string(), notifications_.string()},
            busEnvironment(false), -1, (dir_ / "recorder.out").string());
        trayItem_ = dir_ / "tray-item.txt";
        watcher_ = std::make_unique<LaunchedProgram>(
            std::vector<std::string>{(tools_ / "ostrevo_tray_watcher").string(), trayItem_.string()},
            busEnvironment(false), -1, (dir_ / "watcher.out").string());
        for (const char* out : {"recorder.out", "watcher.out"})
            ASSERT_TRUE(waitUntil([&] { return readFile(dir_ / out).find("ready") != std::string::npos; }, 20s))
                << out << " never got ready";
    }

    std::vector<std::string> busEnvironment(bool withDisplay) const {
        std::vector<std::string> env = environment(withDisplay);
        env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + busSocket_.string());
        return env;
    }

    // The program inside the namespace, on the display and the bus.
    std::unique_ptr<LaunchedProgram> launchInside(const NetNamespace& ns, const std::vector<std::string>& args) {
        std::vector<std::string> argv = ns.execPrefix();
        argv.front() = which("ip").empty() ? "/sbin/ip" : which("ip");
        argv.push_back(program_.string());
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<LaunchedProgram>(argv, busEnvironment(true), -1, (dir_ / "output.txt").string());
    }

    // The tray item's tooltip and lamp as the watcher reads them: {"tip":"...","lamp":"bad"}.
    std::string trayState() {
        if (!fs::exists(trayItem_))
            return {};
        const fs::path out = dir_ / "query.out";
        LaunchedProgram query({(tools_ / "ostrevo_tray_watcher").string(), "--query", trayItem_.string()},
                              busEnvironment(false), -1, out.string());
        return query.waitExit(20s) == 0 ? readFile(out) : std::string();
    }

    [[nodiscard]] std::vector<std::string> notifications() const {
        std::vector<std::string> lines;
        std::istringstream in(readFile(notifications_));
        for (std::string line; std::getline(in, line);)
            if (!line.empty())
                lines.push_back(line);
        return lines;
    }

    fs::path tools_;
    fs::path busSocket_;
    fs::path notifications_;
    fs::path trayItem_;
    std::unique_ptr<LaunchedProgram> bus_;
    std::unique_ptr<LaunchedProgram> recorder_;
    std::unique_ptr<LaunchedProgram> watcher_;
};

TEST_F(HostsEndToEnd, ThreeHostsOneDownShowInTheTrayLedgerMetricsAndComeBackAfterARestart) {
    NetNamespace ns("hosts");
    ASSERT_TRUE(ns.ok()) << ns.error();
    ASSERT_TRUE(ns.allowPingSockets());
    std::string nftError;
    ASSERT_TRUE(ns.nft(NetNamespace::inputRule("ip daddr 127.0.0.2 icmp type echo-request drop"), &nftError))
        << nftError;

    // The main host and two more, stored as a previous session left them: both others were running, and an
    // older version stored the main host's running state too.
    fs::create_directories(settingsFile().parent_path());
    std::ofstream(settingsFile()) << "[General]\nHost=127.0.0.1\nInterval=1\nRunning=Yes\nMetricsListen=127.0.0.1:"
                                  << kPort
                                  << "\n\n[Hosts]\n1\\Host=127.0.0.2\n1\\Interval=1\n1\\Running=Yes\n"
                                     "2\\Host=127.0.0.3\n2\\Interval=1\n2\\Running=Yes\nsize=2\n";

    // As the desktop session starts it: to the tray with the main host running, and saved at exit.
    auto app = launchInside(ns, {"--autostart"});
    std::string tray;
    ASSERT_TRUE(waitUntil(
        [&] {
            tray = trayState();
            // The icon follows at once, the tooltip within a second.
            return tray.find("\"lamp\":\"bad\"") != std::string::npos &&
                   tray.find("127.0.0.2 - Bad - no reply") != std::string::npos &&
                   tray.find("127.0.0.1 - Good") != std::string::npos &&
                   tray.find("127.0.0.3 - Good") != std::string::npos;
        },
        90s))
        << "tray: " << tray << "\n"
        << programOutput();
    EXPECT_EQ(tray.find("127.0.0.2 - Bad"), tray.find("\"tip\":\"") + 7) << "the host that is down comes first\n"
                                                                         << tray;

    std::vector<std::string> statuses;
    EXPECT_TRUE(waitUntil(
        [&] {
            statuses = scrapedStatuses(ns);
            return statuses == std::vector<std::string>{"good", "bad", "good"};
        },
        30s))
        << statuses[0] << " " << statuses[1] << " " << statuses[2];

    const fs::path history = dir_ / "home/.local/share/Quorvan Corporation/Ostrevo/history.sqlite";
    for (const char* host : kHosts)
        EXPECT_TRUE(waitUntil(
            [&] { return count(history, std::string("SELECT count(*) FROM samples WHERE host = '") + host + "'") > 0; },
            200s))
            << "no samples of " << host;

    const std::vector<std::string> shown = notifications();
    ASSERT_EQ(shown.size(), 1U) << readFile(notifications_);
    EXPECT_NE(shown.front().find("127.0.0.2"), std::string::npos) << shown.front();
    EXPECT_EQ(shown.front().find("127.0.0.1"), std::string::npos) << shown.front();
    EXPECT_EQ(shown.front().find("127.0.0.3"), std::string::npos) << shown.front();

    app->signal(SIGTERM);
    ASSERT_EQ(app->waitExit(20s), 0) << programOutput();
    const std::string saved = readFile(settingsFile());
    EXPECT_EQ(saved.find("\nRunning="), std::string::npos) << "the main host's running state is stored\n" << saved;
    EXPECT_NE(saved.find("1\\Running=Yes"), std::string::npos) << saved;
    EXPECT_NE(saved.find("2\\Running=Yes"), std::string::npos) << saved;

    // A plain start, no argument at all: the other two run again; the main host waits for its Start.
    app = launchInside(ns, {});
    EXPECT_TRUE(waitUntil(
        [&] {
            statuses = scrapedStatuses(ns);
            return statuses[1] == "bad" && statuses[2] == "good";
        },
        60s))
        << statuses[0] << " " << statuses[1] << " " << statuses[2] << "\n"
        << programOutput();
    std::this_thread::sleep_for(3s); // as long as a started main host would take to be Good
    EXPECT_EQ(scrapedStatuses(ns)[0], "") << "the main host started by itself";
    app->signal(SIGTERM);
    EXPECT_EQ(app->waitExit(20s), 0) << programOutput();
}

} // namespace
