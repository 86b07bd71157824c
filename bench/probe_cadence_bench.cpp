// probe_dead_host_seconds / ping_dead_host_seconds: how long `-q -c 3 -W 1` takes against a host that answers
// nothing (echo requests dropped in a private namespace), the console probe beside iputils ping, each the
// shortest of five runs, alternating; and their ratio. As ping, the probe sends every interval and loses each
// request at its own deadline: both should take about two intervals and one wait.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>

#include "support/NetNamespace.h"

namespace {

constexpr int kRounds = 5;

// Seconds the command took, or a negative value when it did not end with `exitCode`.
double timed(const char* program, int exitCode) {
    const char* argv[] = {program, "-q", "-c", "3", "-W", "1", "127.0.0.1", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, program, &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != exitCode)
        return -1;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main() {
    NetNamespace ns("bench-cadence");
    std::optional<NetNamespace::Entered> inside;
    if (ns.ok())
        inside.emplace(ns);
    if (!ns.ok() || !inside->ok() || !ns.allowPingSockets() ||
        !ns.nft(NetNamespace::inputRule("icmp type echo-request drop"))) {
        std::printf("probe_dead_host_seconds: skipped (%s)\n",
                    ns.ok() ? "cannot shape the namespace" : ns.error().c_str());
        return 0;
    }
    double ours = std::numeric_limits<double>::max();
    double ping = std::numeric_limits<double>::max();
    for (int round = 0; round < kRounds; ++round) {
        const double probe = timed(OSTREVO_PROBE, 1);
        const double theirs = timed("ping", 1);
        if (probe < 0 || theirs < 0) {
            std::printf("probe_dead_host_seconds: skipped (%s did not run as expected)\n",
                        probe < 0 ? "ostrevo-probe" : "ping");
            return 0;
        }
        ours = std::min(ours, probe);
        ping = std::min(ping, theirs);
    }
    std::printf("probe_dead_host_seconds: %.3f\n", ours);
    std::printf("ping_dead_host_seconds: %.3f\n", ping);
    std::printf("probe_dead_host_ratio_vs_ping: %.2f\n", ours / ping);
    return 0;
}
