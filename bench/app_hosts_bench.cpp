// app_hosts_1000_cpu_pct: the whole program (every thread, ended ones included: /proc/PID/stat) watching 1,000
// loopback addresses at one probe a second each, history and metrics on, its windows hidden in a notification
// area (trayer on a private Xvfb display), in a private network namespace. The figure is its CPU time over a
// minute after a warm-up, in percent of one core. app_hosts_1000_cpu_pct_window_shown: the same program, then
// with the Hosts window opened from the tray menu. Each thread's share goes to standard error.
// OSTREVO_BENCH_SECONDS shortens the span; OSTREVO_BENCH_PROGRAM measures another build of the program.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "GuiBench.h"
#include "support/NetNamespace.h"
#include "support/TempDir.h"
#include "support/XvfbDisplay.h"

namespace {

constexpr const char* kHidden = "app_hosts_1000_cpu_pct";
constexpr const char* kShown = "app_hosts_1000_cpu_pct_window_shown";
constexpr int kHosts = 1000;
constexpr int kMetricsPort = 19391;
constexpr std::chrono::seconds kSpan{60};
constexpr std::chrono::seconds kWarmUp{20};

// The main host 127.0.0.1 and 999 more, 127.0.0.2 on, as a previous session left them: all running.
void writeSettings(const std::string& file) {
    std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    std::ofstream out(file);
    out << "[General]\nHost=127.0.0.1\nInterval=1\nRunning=Yes\n\n[Hosts]\n";
    for (int i = 1; i < kHosts; ++i) {
        const std::string address = "127.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
        out << i << "\\Host=" << address << "\n" << i << "\\Interval=1\n" << i << "\\Running=Yes\n";
    }
    out << "size=" << kHosts - 1 << "\n";
}

// The program's CPU share of one core over `span`, with the probes answered meanwhile; nothing when it ended.
std::optional<double> measure(pid_t program, const NetNamespace& ns, std::chrono::seconds span) {
    const auto before = GuiBench::processCpuSeconds(program);
    const auto threadsBefore = GuiBench::threadTimes(program);
    const auto echoesBefore = GuiBench::echoRequests(ns);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(span);
    const auto after = GuiBench::processCpuSeconds(program);
    const auto threadsAfter = GuiBench::threadTimes(program);
    const auto echoesAfter = GuiBench::echoRequests(ns);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!before || !after || !GuiBench::running(program))
        return std::nullopt;
    const long long probes = echoesBefore && echoesAfter ? *echoesAfter - *echoesBefore : 0;
    const double share = 100.0 * (*after - *before) / seconds;
    std::fprintf(stderr, "  %.0f s: %.2f %% of a core, %lld probes (%.0f a second), %.1f us per probe\n", seconds,
                 share, probes, static_cast<double>(probes) / seconds,
                 probes > 0 ? (*after - *before) * 1e6 / static_cast<double>(probes) : 0.0);
    GuiBench::printThreadShares(threadsBefore, threadsAfter, seconds);
    return share;
}

} // namespace

int main() {
    const std::chrono::seconds span = GuiBench::span(kSpan);
    const auto skipBoth = [](const std::string& reason) {
        GuiBench::printSkipped(kHidden, reason);
        GuiBench::printSkipped(kShown, reason);
        return 0;
    };
    if (const std::string reason = NetNamespace::unavailableReason(); !reason.empty())
        return skipBoth(reason);
    const NetNamespace ns("bench-hosts");
    if (!ns.ok() || !ns.allowPingSockets())
        return skipBoth(ns.ok() ? "cannot allow ping sockets" : ns.error());
    const XvfbDisplay display;
    if (!display.started())
        return skipBoth(display.error());
    const TempDir home;
    const GuiBench::Trayer tray(display.name(), home);
    if (!tray.ok())
        return skipBoth(tray.error());
    writeSettings(home.path() + "/config/Quorvan Corporation/Ostrevo.conf");

    const char* other = std::getenv("OSTREVO_BENCH_PROGRAM");
    std::vector<std::string> argv = ns.execPrefix();
    argv.insert(argv.end(), {other != nullptr ? other : OSTREVO_PROGRAM, "/tray",
                             "--metrics=127.0.0.1:" + std::to_string(kMetricsPort)});
    const pid_t program =
        GuiBench::launch(argv, GuiBench::desktopEnvironment(display.name(), home), home.file("program.txt"));
    std::optional<std::pair<int, int>> icon;
    for (int i = 0; i < 300 && !(icon = tray.icon()) && GuiBench::running(program); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!icon) {
        GuiBench::stop(program);
        return skipBoth("the program's icon never reached the notification area");
    }
    std::this_thread::sleep_for(kWarmUp);
    if (httpGetInside(ns, kMetricsPort, "/metrics").empty())
        std::fprintf(stderr, "  the metrics server does not answer\n");

    const std::optional<double> hidden = measure(program, ns, span);
    if (hidden)
        std::printf("%s: %.2f\n", kHidden, *hidden);
    else
        GuiBench::printSkipped(kHidden, "the program ended during the span");

    // The tray menu's Hosts item, by its mnemonic, opens the Hosts window; the main window stays hidden.
    const std::string at = std::to_string(icon->first) + " " + std::to_string(icon->second);
    bool shown = false;
    for (int attempt = 0; attempt < 3 && !shown && hidden; ++attempt) {
        shown = tray.xdotool("mousemove " + at + " click 3") &&
                (std::this_thread::sleep_for(std::chrono::seconds(1)), tray.xdotool("key s")) &&
                (std::this_thread::sleep_for(std::chrono::seconds(2)),
                 tray.xdotool("search --onlyvisible --name '^Hosts$'"));
    }
    if (!shown) {
        GuiBench::stop(program);
        GuiBench::printSkipped(kShown, hidden ? "the Hosts window did not open" : "the program ended");
        return 0;
    }
    std::this_thread::sleep_for(std::chrono::seconds(5));
    if (const std::optional<double> withWindow = measure(program, ns, span))
        std::printf("%s: %.2f\n", kShown, *withWindow);
    else
        GuiBench::printSkipped(kShown, "the program ended during the span");
    GuiBench::stop(program);
    return 0;
}
