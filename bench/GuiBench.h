#pragma once

// What the benchmarks of the whole desktop program share: starting it (and its peers) as processes with an
// environment of their own, their CPU time, the echo requests a private namespace answered, and a notification
// area (trayer) on a private X display for the program to hide in.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/NetNamespace.h"
#include "support/TempDir.h"
#include "support/XvfbDisplay.h"

namespace GuiBench {

inline void printSkipped(const char* name, const std::string& reason) {
    std::printf("%s: skipped (%s)\n", name, reason.c_str());
}

// The span to measure: `standard`, or OSTREVO_BENCH_SECONDS for a quick look.
inline std::chrono::seconds span(std::chrono::seconds standard) {
    if (const char* given = std::getenv("OSTREVO_BENCH_SECONDS"); given != nullptr && std::atoi(given) > 0)
        return std::chrono::seconds(std::atoi(given));
    return standard;
}

inline pid_t launch(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                    const std::string& output) {
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> vars;
    for (const std::string& e : env)
        vars.push_back(const_cast<char*>(e.c_str()));
    vars.push_back(nullptr);
    const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0)
        _exit(126);
    execvpe(args[0], args.data(), vars.data());
    _exit(127);
}

inline void stop(pid_t pid) {
    kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

inline bool running(pid_t pid) {
    return waitpid(pid, nullptr, WNOHANG) == 0;
}

using ThreadTimes = std::map<std::string, std::pair<std::string, long long>>;

// Nanoseconds on the CPU of each thread of `pid`, by thread id and name.
inline ThreadTimes threadTimes(pid_t pid) {
    ThreadTimes times;
    std::error_code error;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        std::ifstream comm(task.path() / "comm");
        long long ns = 0;
        std::string name;
        if (schedstat >> ns && std::getline(comm, name))
            times[task.path().filename().string()] = {name, ns};
    }
    return times;
}

inline long long total(const ThreadTimes& times) {
    long long sum = 0;
    for (const auto& [id, entry] : times)
        sum += entry.second;
    return sum;
}

// The process's CPU time in seconds, threads that have ended included (utime + stime of /proc/PID/stat).
inline std::optional<double> processCpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text))
        return std::nullopt;
    const auto close = text.rfind(')'); // the command may hold blanks and parentheses
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long long utime = 0;
    long long stime = 0;
    // From the state (field 3) on: utime and stime are fields 14 and 15.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14)
            utime = std::stoll(field);
        else if (index == 15)
            stime = std::stoll(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Per thread, the share of one core each took between two readings, largest first, on standard error.
inline void printThreadShares(const ThreadTimes& before, const ThreadTimes& after, double seconds) {
    std::vector<std::pair<double, std::string>> shares;
    for (const auto& [id, entry] : after) {
        const auto was = before.find(id);
        const long long spent = entry.second - (was != before.end() ? was->second.second : 0);
        shares.emplace_back(100.0 * static_cast<double>(spent) / 1e9 / seconds, entry.first + " " + id);
    }
    std::sort(shares.rbegin(), shares.rend());
    for (const auto& [share, name] : shares)
        if (share >= 0.01)
            std::fprintf(stderr, "    thread %s: %.2f %%\n", name.c_str(), share);
}

// Echo requests the namespace's ICMP layer has taken in (Icmp: InEchos).
inline std::optional<long long> echoRequests(const NetNamespace& ns) {
    std::string snmp;
    if (ns.run("cat /proc/net/snmp", &snmp) != 0)
        return std::nullopt;
    std::istringstream lines(snmp);
    std::vector<std::string> header;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Icmp:", 0) != 0)
            continue;
        std::istringstream words(line);
        std::vector<std::string> fields;
        for (std::string w; words >> w;)
            fields.push_back(w);
        if (header.empty()) {
            header = fields;
            continue;
        }
        for (std::size_t i = 0; i < header.size() && i < fields.size(); ++i)
            if (header[i] == "InEchos")
                return std::stoll(fields[i]);
    }
    return std::nullopt;
}

inline long long replyLines(const std::string& file) {
    std::ifstream in(file);
    long long count = 0;
    for (std::string line; std::getline(in, line);)
        if (line.find("bytes from") != std::string::npos)
            ++count;
    return count;
}

// A desktop of its own: no session bus, a fresh configuration, the history in the private data folder.
inline std::vector<std::string> desktopEnvironment(const std::string& display, const TempDir& home) {
    return {
        "DISPLAY=" + display,
        "QT_QPA_PLATFORM=xcb",
        "HOME=" + home.path(),
        "XDG_CONFIG_HOME=" + home.path() + "/config",
        "XDG_DATA_HOME=" + home.path() + "/data",
        "XDG_RUNTIME_DIR=" + home.path(),
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + home.path() + "/no-bus",
        "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
    };
}

// What a command prints on standard output.
inline std::string outputOf(const std::string& command) {
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            text.append(buffer, n);
        pclose(pipe);
    }
    return text;
}

inline bool installed(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// trayer's panel on `display`: a notification area (XEmbed) that the program's icon is embedded in.
class Trayer {
public:
    Trayer(const std::string& display, const TempDir& home) : display_(display) {
        if (!installed("trayer") || !installed("xdotool") || !installed("xwininfo")) {
            error_ = "trayer, xdotool or xwininfo is not installed";
            return;
        }
        pid_ = launch({"trayer", "--edge", "bottom", "--align", "right", "--widthtype", "pixel", "--width", "60",
                       "--height", "24"},
                      desktopEnvironment(display, home), home.file("trayer.txt"));
        for (int i = 0; i < 300 && panels().empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (panels().empty()) {
            std::ifstream said(home.file("trayer.txt"));
            std::string line;
            std::getline(said, line);
            error_ = "trayer shows no panel" + (line.empty() ? std::string() : ": " + line);
        }
    }
    ~Trayer() {
        if (pid_ > 0)
            stop(pid_);
    }
    Trayer(const Trayer&) = delete;
    Trayer& operator=(const Trayer&) = delete;

    [[nodiscard]] bool ok() const { return error_.empty(); }
    [[nodiscard]] const std::string& error() const { return error_; }

    // The centre of the program's icon on screen, once the panel has embedded it.
    [[nodiscard]] std::optional<std::pair<int, int>> icon() const {
        static const std::regex pattern(
            R"(\("ostrevo" "Ostrevo"\)\s+(\d+)x(\d+)[+-]+\d+[+-]+\d+\s+\+(-?\d+)\+(-?\d+))");
        for (const std::string& panel : panels()) {
            const std::string tree = outputOf("DISPLAY=" + display_ + " xwininfo -tree -id " + panel);
            std::smatch m;
            if (std::regex_search(tree, m, pattern))
                return std::pair{std::stoi(m[3]) + std::stoi(m[1]) / 2, std::stoi(m[4]) + std::stoi(m[2]) / 2};
        }
        return std::nullopt;
    }

    // Runs xdotool on the display; true when it succeeded.
    [[nodiscard]] bool xdotool(const std::string& arguments) const {
        return std::system(("DISPLAY=" + display_ + " xdotool " + arguments + " >/dev/null 2>&1").c_str()) == 0;
    }

private:
    [[nodiscard]] std::vector<std::string> panels() const {
        std::istringstream lines(outputOf("DISPLAY=" + display_ + " xdotool search --classname '^panel$' 2>/dev/null"));
        std::vector<std::string> ids;
        for (std::string id; std::getline(lines, id);)
            if (!id.empty())
                ids.push_back(id);
        return ids;
    }

    std::string display_;
    pid_t pid_ = -1;
    std::string error_;
};

// The program with `programArguments` (and `/start /i=1 127.0.0.1`) on a private Xvfb display, history on, beside
// `ping -i 1 127.0.0.1`, in one private network namespace for `span` after a warm-up; `inTray` gives the display
// a notification area and starts the program in it. Prints `name`: the program's CPU time per probe divided by
// ping's. CPU comes from each thread's schedstat (nanoseconds; /proc's stat ticks are 10 ms, coarser than a
// two-minute run of either side). Probes are counted exactly: ping's from its reply lines, the program's as the
// echo requests the namespace's loopback answered, less ping's.
inline void printRatioVsPing(const char* name, bool inTray, std::chrono::seconds span) {
    constexpr std::chrono::seconds kWarmUp{6};
    if (const std::string reason = NetNamespace::unavailableReason(); !reason.empty())
        return printSkipped(name, reason);
    const NetNamespace ns("bench-gui");
    if (!ns.ok() || !ns.allowPingSockets())
        return printSkipped(name, ns.ok() ? "cannot allow ping sockets" : ns.error());
    const XvfbDisplay display;
    if (!display.started())
        return printSkipped(name, display.error());
    const TempDir home;
    std::optional<Trayer> tray;
    if (inTray && !tray.emplace(display.name(), home).ok())
        return printSkipped(name, tray->error());
    const std::vector<std::string> env = desktopEnvironment(display.name(), home);
    const char* other = std::getenv("OSTREVO_BENCH_PROGRAM");
    std::vector<std::string> programArgv = ns.execPrefix();
    programArgv.emplace_back(other != nullptr ? other : OSTREVO_PROGRAM);
    if (inTray)
        programArgv.emplace_back("/tray");
    programArgv.insert(programArgv.end(), {"/start", "/i=1", "127.0.0.1"});
    std::vector<std::string> pingArgv = ns.execPrefix();
    pingArgv.insert(pingArgv.end(), {"ping", "-i", "1", "127.0.0.1"});
    const std::string pingOutput = home.file("ping.txt");
    // `ip netns exec` runs the program in its own process, so these are the programs' ids.
    const pid_t program = launch(programArgv, env, home.file("program.txt"));
    const pid_t ping = launch(pingArgv, env, pingOutput);
    std::this_thread::sleep_for(kWarmUp);
    if (tray && !tray->icon()) {
        stop(ping);
        stop(program);
        return printSkipped(name, "the program's icon never reached the notification area");
    }

    const auto programBefore = threadTimes(program);
    const auto pingBefore = threadTimes(ping);
    const auto echoesBefore = echoRequests(ns);
    const long long pingRepliesBefore = replyLines(pingOutput);
    std::this_thread::sleep_for(span);
    const auto programAfter = threadTimes(program);
    const auto pingAfter = threadTimes(ping);
    const auto echoesAfter = echoRequests(ns);
    const long long pingRepliesAfter = replyLines(pingOutput);
    const bool bothRunning = running(program) && running(ping);
    stop(ping);
    stop(program);

    const long long pingProbes = pingRepliesAfter - pingRepliesBefore;
    const long long programProbes = echoesBefore && echoesAfter ? *echoesAfter - *echoesBefore - pingProbes : 0;
    if (!bothRunning || programAfter.empty() || pingAfter.empty() || pingProbes <= 0 || programProbes <= 0)
        return printSkipped(name, "the program or ping did not probe through the span");
    const double programUs =
        static_cast<double>(total(programAfter) - total(programBefore)) / 1e3 / static_cast<double>(programProbes);
    const double pingUs =
        static_cast<double>(total(pingAfter) - total(pingBefore)) / 1e3 / static_cast<double>(pingProbes);
    std::fprintf(stderr, "  %lld s: program %.0f us per probe over %lld probes, ping %.0f us over %lld\n",
                 static_cast<long long>(span.count()), programUs, programProbes, pingUs, pingProbes);
    for (const auto& [id, entry] : programAfter) {
        const auto before = programBefore.find(id);
        const long long spent = entry.second - (before != programBefore.end() ? before->second.second : 0);
        std::fprintf(stderr, "    thread %s (%s): %.0f us per probe\n", id.c_str(), entry.first.c_str(),
                     static_cast<double>(spent) / 1e3 / static_cast<double>(programProbes));
    }
    std::printf("%s: %.2f\n", name, programUs / pingUs);
}

} // namespace GuiBench
