// The engine watching many addresses at once, in a private namespace where loopback answers all of
// 127.0.0.0/8, beside fping watching the same addresses in the same run:
//   rss_kib_per_host: resident memory growth per added host, between 10 and 1,000 running hosts;
//   hosts_1000_cpu_pct: CPU use of the hub probing 1,000 addresses once a second each for 60 s, in % of a core;
//   multi_host_cpu_per_probe_ratio_vs_fping: the hub's CPU per probe over that of `fping -l -p 1000 -q`.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/ProbeBench.h"
#include "engine/ProbeHub.h"

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kHosts = 1000;
constexpr std::size_t kFewHosts = 10;
constexpr auto kWatch = 60s;

// Counts the probes and remembers how many hosts have been probed at least once; makes no texts (fping -q
// makes none either).
class CountingFace : public WindowPort {
public:
    void probed(const ProbeEvent& event) override {
        ++probes_;
        if (!event.good())
            ++failures_;
        if (event.stats.requests == 2)
            ++secondProbes_;
    }
    void postLog(const ProbeEvent&) override {}
    void runEnded(RunId, RunEnd end) override {
        if (end == RunEnd::ChannelFailed)
            failed_ = true;
    }
    std::atomic<std::uint64_t> probes_{0};
    std::atomic<std::uint64_t> failures_{0};
    std::atomic<std::uint64_t> secondProbes_{0};
    std::atomic<bool> failed_{false};
};

IpAddress address(std::size_t i) {
    const auto third = static_cast<std::uint32_t>(i / 250);
    const auto fourth = static_cast<std::uint32_t>(i % 250 + 1);
    return IpAddress::v4(htonl(0x7F010000U | third << 8 | fourth));
}

RunSettings watch(std::size_t i) {
    RunSettings run;
    run.targetAddress = address(i);
    run.alerts.host = run.targetAddress.text();
    run.intervalMs = 1000;
    run.timeoutMs = 2000;
    return run;
}

bool waitFor(const std::function<bool()>& done, std::chrono::seconds patience) {
    const auto until = std::chrono::steady_clock::now() + patience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

struct Fping {
    pid_t pid = -1;
    std::string errors; // path of its standard error, where the summary goes
};

Fping startFping(const std::string& folder) {
    Fping fping;
    fping.errors = folder + "/fping.err";
    const std::string targets = folder + "/targets";
    {
        std::ofstream list(targets);
        for (std::size_t i = 0; i < kHosts; ++i)
            list << address(i).text() << '\n';
    }
    // -i 1: one packet a millisecond at most over all targets, so 1,000 targets each get their probe a second
    // (the default of 10 ms would probe each only every 10 s).
    const char* argv[] = {"fping", "-l", "-p", "1000", "-i", "1", "-q", "-f", targets.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, fping.errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawnp(&fping.pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ) != 0)
        fping.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return fping;
}

// Stops fping and reads its summary: the requests sent over all targets, and its CPU seconds.
bool stopFping(const Fping& fping, std::uint64_t& sent, double& cpu) {
    kill(fping.pid, SIGINT);
    int status = 0;
    rusage usage{};
    if (wait4(fping.pid, &status, 0, &usage) != fping.pid)
        return false;
    cpu = ProbeBench::cpuSeconds(usage);
    std::ifstream errors(fping.errors);
    const std::regex line(R"(xmt/rcv/%loss = (\d+)/(\d+)/)");
    sent = 0;
    for (std::string text; std::getline(errors, text);) {
        std::smatch found;
        if (std::regex_search(text, found, line))
            sent += std::stoull(found[1].str());
    }
    return sent > 0;
}

} // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // the figures and the details on standard error stay in order
    const ProbeBench::PrivateNamespace ns("bench-hub");
    if (const std::string reason = ns.unavailable(); !reason.empty()) {
        for (const char* name : {"rss_kib_per_host", "hosts_1000_cpu_pct", "multi_host_cpu_per_probe_ratio_vs_fping"})
            ProbeBench::printSkipped(name, reason);
        return 0;
    }
    // Datagram sockets, as a desktop that admits every group to them has it; fping as root uses a raw one.
    std::ofstream("/proc/sys/net/ipv4/ping_group_range") << "0 2147483647\n";

    CountingFace face;
    ProbeHub hub(face, nullptr);
    hub.start();

    // Memory: 10 hosts running, then 1,000, each probed twice.
    for (std::size_t i = 0; i < kFewHosts; ++i)
        hub.startRun(static_cast<RunId>(i + 1), watch(i));
    if (!waitFor([&] { return face.secondProbes_ >= kFewHosts; }, 10s) || face.failed_) {
        ProbeBench::printSkipped("rss_kib_per_host", "the first hosts were not probed");
        return 0;
    }
    const long fewKib = ProbeBench::residentKib();
    for (std::size_t i = kFewHosts; i < kHosts; ++i)
        hub.startRun(static_cast<RunId>(i + 1), watch(i));
    if (!waitFor([&] { return face.secondProbes_ >= kHosts; }, 20s)) {
        ProbeBench::printSkipped("rss_kib_per_host", "not every host was probed");
        return 0;
    }
    const long manyKib = ProbeBench::residentKib();
    std::fprintf(stderr, "  VmRSS %ld KiB with %zu hosts, %ld KiB with %zu\n", fewKib, kFewHosts, manyKib, kHosts);
    std::printf("rss_kib_per_host: %.1f\n",
                static_cast<double>(manyKib - fewKib) / static_cast<double>(kHosts - kFewHosts));

    // CPU: the hub and fping side by side on the same 1,000 addresses.
    char folder[] = "/tmp/ostrevo-hub-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        ProbeBench::printSkipped("hosts_1000_cpu_pct", "no temporary folder");
        return 0;
    }
    const Fping fping = startFping(folder);
    const double cpuBefore = ProbeBench::processCpuSeconds();
    const std::uint64_t probesBefore = face.probes_;
    const std::uint64_t failuresBefore = face.failures_;
    const auto startedAt = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kWatch);
    const double cpu = ProbeBench::processCpuSeconds() - cpuBefore;
    const std::uint64_t probes = face.probes_ - probesBefore;
    const std::uint64_t failures = face.failures_ - failuresBefore;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt).count();
    std::printf("hosts_1000_cpu_pct: %.2f\n", 100.0 * cpu / seconds);
    std::uint64_t fpingSent = 0;
    double fpingCpu = 0;
    const bool fpingRan = fping.pid > 0 && stopFping(fping, fpingSent, fpingCpu);
    std::fprintf(stderr, "  engine: %.3f s CPU for %llu probes (%llu failed) in %.1f s\n", cpu,
                 static_cast<unsigned long long>(probes), static_cast<unsigned long long>(failures), seconds);
    if (!fpingRan) {
        ProbeBench::printSkipped("multi_host_cpu_per_probe_ratio_vs_fping", "fping did not run");
    } else {
        std::fprintf(stderr, "  fping: %.3f s CPU for %llu probes\n", fpingCpu,
                     static_cast<unsigned long long>(fpingSent));
        std::printf("multi_host_cpu_per_probe_ratio_vs_fping: %.2f\n",
                    (cpu / static_cast<double>(probes)) / (fpingCpu / static_cast<double>(fpingSent)));
    }
    std::remove((std::string(folder) + "/targets").c_str());
    std::remove((std::string(folder) + "/fping.err").c_str());
    rmdir(folder);
    return 0;
}
