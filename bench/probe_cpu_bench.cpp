// probe_cpu_ratio_vs_ping: CPU time (user + system) of 10,000 back-to-back probes of 127.0.0.1 by one host on
// the hub (the console probe's engine), divided by that of `ping -f -q -c 10000 127.0.0.1`, both in one private
// namespace. The machine shared with other work only ever adds time, so both sides run nine times, alternating,
// and the cheapest round of each is compared.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <limits>

#include "bench/ProbeBench.h"

namespace {

constexpr const char* kName = "probe_cpu_ratio_vs_ping";
constexpr int kProbes = 10000;
constexpr int kRounds = 9;

// CPU seconds of one ping flood, or a negative value when it did not run to the end.
double pingFloodCpuSeconds() {
    const char* argv[] = {"ping", "-f", "-q", "-c", "10000", "127.0.0.1", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return ProbeBench::cpuSeconds(usage);
}

} // namespace

int main() {
    const ProbeBench::PrivateNamespace ns("bench-cpu");
    if (const std::string reason = ns.unavailable(); !reason.empty()) {
        ProbeBench::printSkipped(kName, reason);
        return 0;
    }
    // A short warm-up so that neither side pays for first-touch costs.
    if (!ProbeBench::probeBackToBack(100, nullptr)) {
        ProbeBench::printSkipped(kName, "no ICMP socket");
        return 0;
    }
    double ours = std::numeric_limits<double>::max();
    double ping = std::numeric_limits<double>::max();
    std::string lastLine;
    for (int round = 0; round < kRounds; ++round) {
        const double before = ProbeBench::processCpuSeconds();
        const bool ran = ProbeBench::probeBackToBack(kProbes, nullptr, &lastLine);
        ours = std::min(ours, ProbeBench::processCpuSeconds() - before);
        const double flood = pingFloodCpuSeconds();
        if (!ran || flood <= 0) {
            ProbeBench::printSkipped(kName, ran ? "ping -f did not run" : "the probe run failed");
            return 0;
        }
        ping = std::min(ping, flood);
    }
    std::fprintf(stderr, "  engine %.3f s, ping -f %.3f s CPU for %d probes, best of %d rounds (last line: %s)\n", ours,
                 ping, kProbes, kRounds, lastLine.c_str());
    std::printf("%s: %.2f\n", kName, ours / ping);
    return 0;
}
