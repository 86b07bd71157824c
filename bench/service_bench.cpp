// ostrevod watching 1,000 loopback addresses at one probe a second each, with its history and metrics on, in a
// private namespace, and then Debian's smokeping_prober on the same addresses in the same namespace (one after
// the other: both on raw sockets would see each other's replies). Probes are counted by the kernel (Icmp InEchos
// of the namespace), CPU and memory from /proc.
//   ostrevod_cpu_pct_1000_targets: the service's CPU use, in % of one core;
//   smokeping_prober_cpu_pct_1000_targets: the same for smokeping_prober;
//   service_cpu_ratio_vs_smokeping_prober: the service's CPU per probe over smokeping_prober's;
//   service_rss_ratio_vs_smokeping_prober: the service's resident memory over smokeping_prober's at the end.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/NetNamespace.h"

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kTargets = 1000;
constexpr auto kSettle = 10s; // start-up, the first look-ups and the spread of the first requests
constexpr auto kWatch = 60s;

std::string address(std::size_t i) {
    return "127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
}

void printSkipped(const char* name, const std::string& reason) {
    std::printf("%s: skipped (%s)\n", name, reason.c_str());
}

struct Sample {
    double cpuSeconds = 0;
    long rssKib = 0;
    std::uint64_t inEchos = 0;
};

// What the process has used so far, and the echo requests its namespace has answered.
bool sample(pid_t pid, Sample& out) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return false;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    out.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            out.rssKib = std::stol(line.substr(6));
    // The second "Icmp:" line holds the values under the first one's names.
    std::ifstream snmp("/proc/" + std::to_string(pid) + "/net/snmp");
    std::vector<std::string> names;
    for (std::string line; std::getline(snmp, line);) {
        if (line.rfind("Icmp: ", 0) != 0)
            continue;
        std::istringstream words(line.substr(6));
        std::vector<std::string> row;
        for (std::string word; words >> word;)
            row.push_back(word);
        if (names.empty()) {
            names = row;
            continue;
        }
        for (std::size_t i = 0; i < names.size() && i < row.size(); ++i)
            if (names[i] == "InEchos")
                out.inEchos = std::stoull(row[i]);
        return true;
    }
    return false;
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& output) {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void stop(pid_t pid) {
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(100ms);
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
}

struct Figures {
    double cpuSeconds = 0;
    double seconds = 0;
    std::uint64_t probes = 0;
    long rssKib = 0;
};

// Runs one prober for the settling time and the watch, and measures the watch.
bool measure(const std::vector<std::string>& argv, const std::string& output, Figures& figures) {
    const pid_t pid = spawn(argv, output);
    if (pid < 0)
        return false;
    std::this_thread::sleep_for(kSettle);
    Sample before;
    const auto startedAt = std::chrono::steady_clock::now();
    const bool first = sample(pid, before);
    std::this_thread::sleep_for(kWatch);
    Sample after;
    const bool second = sample(pid, after);
    figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt).count();
    stop(pid);
    figures.cpuSeconds = after.cpuSeconds - before.cpuSeconds;
    figures.probes = after.inEchos - before.inEchos;
    figures.rssKib = after.rssKib;
    return first && second && figures.probes > 0;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const char* names[] = {"ostrevod_cpu_pct_1000_targets", "smokeping_prober_cpu_pct_1000_targets",
                           "service_cpu_ratio_vs_smokeping_prober", "service_rss_ratio_vs_smokeping_prober"};
    const std::string ostrevod = argc > 1 ? argv[1] : OSTREVOD;
    NetNamespace ns("bench-svc");
    if (!ns.ok()) {
        for (const char* name : names)
            printSkipped(name, ns.error());
        return 0;
    }
    char folder[] = "/tmp/ostrevo-service-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        for (const char* name : names)
            printSkipped(name, "no temporary folder");
        return 0;
    }
    const std::string dir = folder;
    {
        std::ofstream config(dir + "/ostrevod.yml");
        config << "targets:\n  - interval: 1s\n    hosts:\n";
        for (std::size_t i = 0; i < kTargets; ++i)
            config << "      - " << address(i) << '\n';
    }
    std::vector<std::string> prefix = ns.execPrefix();
    Figures service;
    if (!measure({prefix[0], prefix[1], prefix[2], prefix[3], ostrevod, "--config.file=" + dir + "/ostrevod.yml",
                  "--web.listen-address=127.0.0.1:9464", "--history.path=" + dir + "/history.sqlite"},
                 dir + "/ostrevod.log", service)) {
        for (const char* name : names)
            printSkipped(name, "ostrevod did not probe");
        return 0;
    }
    std::fprintf(stderr, "  ostrevod: %.3f s CPU for %llu probes in %.1f s, VmRSS %ld KiB\n", service.cpuSeconds,
                 static_cast<unsigned long long>(service.probes), service.seconds, service.rssKib);
    std::printf("%s: %.2f\n", names[0], 100.0 * service.cpuSeconds / service.seconds);

    std::vector<std::string> peer{prefix[0],
                                  prefix[1],
                                  prefix[2],
                                  prefix[3],
                                  "prometheus-smokeping-prober",
                                  "--privileged",
                                  "--config.file=" + dir + "/none.yml",
                                  "--web.listen-address=127.0.0.1:9374",
                                  "--ping.interval=1s"};
    for (std::size_t i = 0; i < kTargets; ++i)
        peer.push_back(address(i));
    Figures smokeping;
    if (!measure(peer, dir + "/smokeping.log", smokeping)) {
        for (std::size_t i = 1; i < 4; ++i)
            printSkipped(names[i], "smokeping_prober did not run (Debian's prometheus-smokeping-prober)");
    } else {
        std::fprintf(stderr, "  smokeping_prober: %.3f s CPU for %llu probes in %.1f s, VmRSS %ld KiB\n",
                     smokeping.cpuSeconds, static_cast<unsigned long long>(smokeping.probes), smokeping.seconds,
                     smokeping.rssKib);
        std::printf("%s: %.2f\n", names[1], 100.0 * smokeping.cpuSeconds / smokeping.seconds);
        std::printf("%s: %.4f\n", names[2],
                    (service.cpuSeconds / static_cast<double>(service.probes)) /
                        (smokeping.cpuSeconds / static_cast<double>(smokeping.probes)));
        std::printf("%s: %.3f\n", names[3],
                    static_cast<double>(service.rssKib) / static_cast<double>(smokeping.rssKib));
    }
    (void)!std::system(("rm -rf " + dir).c_str());
    return 0;
}
