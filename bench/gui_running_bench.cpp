// gui_running_cpu_per_probe_ratio_vs_ping: the program with `/start /i=1 127.0.0.1` on a private Xvfb display,
// history on, and `ping -i 1 127.0.0.1`, side by side in one private network namespace for two minutes. The
// figure is the program's CPU time per probe divided by ping's, start-up left out of both: the count starts
// after a few seconds, once both are probing. OSTREVO_BENCH_SECONDS shortens the span for a quick look; the
// figure printed without it is the two-minute one. OSTREVO_BENCH_PROGRAM measures another build of the program.
// CPU comes from each thread's schedstat (nanoseconds; /proc's stat ticks are 10 ms, coarser than a
// two-minute run of either side). Probes are counted exactly: ping's from its reply lines, the program's
// as the echo requests the namespace's loopback answered, less ping's.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/NetNamespace.h"
#include "support/TempDir.h"
#include "support/XvfbDisplay.h"

namespace {

constexpr const char* kName = "gui_running_cpu_per_probe_ratio_vs_ping";
constexpr std::chrono::seconds kSpan{120};
constexpr std::chrono::seconds kWarmUp{6};

pid_t launch(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& output) {
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

// Nanoseconds on the CPU of each thread of `pid`, by thread id and name.
std::map<std::string, std::pair<std::string, long long>> threadTimes(pid_t pid) {
    std::map<std::string, std::pair<std::string, long long>> times;
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

long long total(const std::map<std::string, std::pair<std::string, long long>>& times) {
    long long sum = 0;
    for (const auto& [id, entry] : times)
        sum += entry.second;
    return sum;
}

// Echo requests the namespace's ICMP layer has taken in (Icmp: InEchos).
std::optional<long long> echoRequests(const NetNamespace& ns) {
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

long long replyLines(const std::string& file) {
    std::ifstream in(file);
    long long count = 0;
    for (std::string line; std::getline(in, line);)
        if (line.find("bytes from") != std::string::npos)
            ++count;
    return count;
}

void skip(const std::string& reason) {
    std::printf("%s: skipped (%s)\n", kName, reason.c_str());
}

void stop(pid_t pid) {
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

} // namespace

int main() {
    std::chrono::seconds span = kSpan;
    if (const char* given = std::getenv("OSTREVO_BENCH_SECONDS"); given != nullptr && std::atoi(given) > 0)
        span = std::chrono::seconds(std::atoi(given));
    if (const std::string reason = NetNamespace::unavailableReason(); !reason.empty()) {
        skip(reason);
        return 0;
    }
    const NetNamespace ns("bench-gui");
    if (!ns.ok() || !ns.allowPingSockets()) {
        skip(ns.ok() ? "cannot allow ping sockets" : ns.error());
        return 0;
    }
    const XvfbDisplay display;
    if (!display.started()) {
        skip(display.error());
        return 0;
    }
    const TempDir home;
    // A desktop of its own: no session bus, a fresh configuration, the history in the private data folder.
    const std::vector<std::string> env = {
        "DISPLAY=" + display.name(),
        "QT_QPA_PLATFORM=xcb",
        "HOME=" + home.path(),
        "XDG_CONFIG_HOME=" + home.path() + "/config",
        "XDG_DATA_HOME=" + home.path() + "/data",
        "XDG_RUNTIME_DIR=" + home.path(),
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + home.path() + "/no-bus",
        "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
    };
    const char* other = std::getenv("OSTREVO_BENCH_PROGRAM");
    std::vector<std::string> programArgv = ns.execPrefix();
    programArgv.insert(programArgv.end(), {other != nullptr ? other : OSTREVO_PROGRAM, "/start", "/i=1", "127.0.0.1"});
    std::vector<std::string> pingArgv = ns.execPrefix();
    pingArgv.insert(pingArgv.end(), {"ping", "-i", "1", "127.0.0.1"});
    const std::string pingOutput = home.file("ping.txt");
    // `ip netns exec` runs the program in its own process, so these are the programs' ids.
    const pid_t program = launch(programArgv, env, home.file("program.txt"));
    const pid_t ping = launch(pingArgv, env, pingOutput);
    std::this_thread::sleep_for(kWarmUp);

    const auto programBefore = threadTimes(program);
    const auto pingBefore = threadTimes(ping);
    const auto echoesBefore = echoRequests(ns);
    const long long pingRepliesBefore = replyLines(pingOutput);
    std::this_thread::sleep_for(span);
    const auto programAfter = threadTimes(program);
    const auto pingAfter = threadTimes(ping);
    const auto echoesAfter = echoRequests(ns);
    const long long pingRepliesAfter = replyLines(pingOutput);
    const bool bothRunning = waitpid(program, nullptr, WNOHANG) == 0 && waitpid(ping, nullptr, WNOHANG) == 0;
    stop(ping);
    stop(program);

    const long long pingProbes = pingRepliesAfter - pingRepliesBefore;
    const long long programProbes = echoesBefore && echoesAfter ? *echoesAfter - *echoesBefore - pingProbes : 0;
    if (!bothRunning || programAfter.empty() || pingAfter.empty() || pingProbes <= 0 || programProbes <= 0) {
        skip("the program or ping did not probe through the span");
        return 0;
    }
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
    std::printf("%s: %.2f\n", kName, programUs / pingUs);
    return 0;
}
