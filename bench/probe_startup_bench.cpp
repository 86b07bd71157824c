// probe_startup_cpu_ratio_vs_ping and probe_rss_ratio_vs_ping: what one `ostrevo-probe -c 1 127.0.0.1` costs
// against one `ping -c 1 127.0.0.1`: CPU time (user + system) and peak resident memory of the whole process,
// start-up and exit included, in one private namespace. With a single probe that is almost all start-up.
// The two programs take turns, many times, so that a busy moment of the shared machine falls on both; the
// medians are compared.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench/ProbeBench.h"

#ifndef OSTREVO_PROBE_PROGRAM
#error "OSTREVO_PROBE_PROGRAM must name the console probe's binary"
#endif

namespace {

constexpr const char* kCpuName = "probe_startup_cpu_ratio_vs_ping";
constexpr const char* kRssName = "probe_rss_ratio_vs_ping";
constexpr int kRounds = 101;

std::vector<char*> argvOf(const std::vector<const char*>& args) {
    std::vector<char*> argv;
    for (const char* arg : args)
        argv.push_back(const_cast<char*>(arg));
    argv.push_back(nullptr);
    return argv;
}

// CPU seconds of one run with its output discarded; negative when it did not exit with 0.
double cpuOfOneRun(const std::vector<const char*>& args) {
    std::vector<char*> argv = argvOf(args);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return ProbeBench::cpuSeconds(usage);
}

// Peak resident memory of one run in KiB, or -1. The rusage figure will not do: it keeps the peak of the memory
// the child had before exec, which is this benchmark's own. So the child is traced and stopped on its way out,
// while the kernel still shows the peak of the program it became (VmHWM).
long peakKibOfOneRun(const std::vector<const char*>& args) {
    std::vector<char*> argv = argvOf(args);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0)
        return -1;
    int status = 0;
    long peak = -1;
    // The first stop is the exec; from there on only the exit is of interest.
    if (waitpid(pid, &status, 0) == pid && WIFSTOPPED(status)) {
        ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT);
        ptrace(PTRACE_CONT, pid, nullptr, nullptr);
        while (waitpid(pid, &status, 0) == pid && WIFSTOPPED(status)) {
            if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
                std::ifstream file("/proc/" + std::to_string(pid) + "/status");
                for (std::string line; std::getline(file, line);)
                    if (line.rfind("VmHWM:", 0) == 0)
                        peak = std::stol(line.substr(6));
                ptrace(PTRACE_CONT, pid, nullptr, nullptr);
            } else {
                // Any other stop is a signal for the program: hand it on.
                ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(WSTOPSIG(status))));
            }
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return peak;
}

template <typename T> T median(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main() {
    const ProbeBench::PrivateNamespace ns("bench-start");
    if (const std::string reason = ns.unavailable(); !reason.empty()) {
        ProbeBench::printSkipped(kCpuName, reason);
        ProbeBench::printSkipped(kRssName, reason);
        return 0;
    }
    const std::vector<const char*> ours = {OSTREVO_PROBE_PROGRAM, "-c", "1", "127.0.0.1"};
    const std::vector<const char*> ping = {"ping", "-c", "1", "127.0.0.1"};
    std::vector<double> oursCpu;
    std::vector<double> pingCpu;
    std::vector<long> oursKib;
    std::vector<long> pingKib;
    for (int round = 0; round < kRounds; ++round) {
        oursCpu.push_back(cpuOfOneRun(ours));
        pingCpu.push_back(cpuOfOneRun(ping));
        if (round % 4 == 0) { // the peak hardly varies; tracing costs time
            oursKib.push_back(peakKibOfOneRun(ours));
            pingKib.push_back(peakKibOfOneRun(ping));
        }
        if (oursCpu.back() < 0 || pingCpu.back() < 0 || oursKib.back() < 0 || pingKib.back() < 0) {
            const char* why =
                oursCpu.back() < 0 || oursKib.back() < 0 ? "ostrevo-probe -c 1 failed" : "ping -c 1 failed";
            ProbeBench::printSkipped(kCpuName, why);
            ProbeBench::printSkipped(kRssName, why);
            return 0;
        }
    }
    const double cpuA = median(oursCpu);
    const double cpuB = median(pingCpu);
    const long kibA = median(oursKib);
    const long kibB = median(pingKib);
    std::fprintf(stderr,
                 "  -c 1 127.0.0.1, medians of %d rounds (%zu for the peak): ostrevo-probe %.2f ms CPU, "
                 "%ld KiB peak; ping %.2f ms CPU, %ld KiB peak\n",
                 kRounds, oursKib.size(), cpuA * 1e3, kibA, cpuB * 1e3, kibB);
    std::printf("%s: %.2f\n", kCpuName, cpuA / std::max(cpuB, 1e-6));
    std::printf("%s: %.2f\n", kRssName, static_cast<double>(kibA) / static_cast<double>(kibB));
    return 0;
}
