// The route tracer on a chain of eight routers (nine hops) in private namespaces:
//  route_cpu_per_request_ratio_vs_mtr: CPU time (user + system) per echo request of `ostrevo-probe --route -c 100`
//    over that of `mtr --report -c 100`, both tracing the same chain side by side in one run. Goal: at most 1.
//  route_round_wall_ratio_vs_single_probe: the wall time of one round (all hops in flight at once, the first
//    round's 30 TTLs included) over that of one echo to the last hop, median of 15 each. Goal: at most 2.
//    Veth links forward in no time, so a round there costs only CPU; the machine has no netem either. A wire
//    in user space between the client and the first router holds every frame 5 ms each way, so the paths have
//    the latency that makes probing the hops one after another cost a round trip each.

#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "bench/ProbeBench.h"
#include "engine/RouteTracer.h"
#include "engine/TraceSocket.h"
#include "support/DelayWire.h"
#include "support/NetNamespace.h"
#include "support/RouterChain.h"

namespace {

constexpr const char* kCpuName = "route_cpu_per_request_ratio_vs_mtr";
constexpr const char* kWallName = "route_round_wall_ratio_vs_single_probe";
constexpr int kRouters = 8;
constexpr int kRepeats = 15;

struct Child {
    pid_t pid = -1;
    int out = -1;
    std::string text;
    double cpuSeconds = -1;
};

// Starts `argv` inside the namespace with its standard output on a pipe.
Child start(const std::string& ns, std::vector<std::string> argv) {
    Child child;
    int fds[2];
    if (pipe(fds) != 0)
        return child;
    child.pid = fork();
    if (child.pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        if (!NetNamespace::enter(ns))
            _exit(127);
        std::vector<char*> raw;
        for (std::string& a : argv)
            raw.push_back(a.data());
        raw.push_back(nullptr);
        execvp(raw[0], raw.data());
        _exit(127);
    }
    close(fds[1]);
    child.out = fds[0];
    return child;
}

// Reads both outputs as they come (neither may fill its pipe), then reaps both with their CPU times.
void finish(std::vector<Child*> children) {
    std::vector<pollfd> fds;
    for (Child* c : children)
        fds.push_back({c->out, POLLIN, 0});
    for (std::size_t open = fds.size(); open > 0;) {
        if (poll(fds.data(), fds.size(), -1) <= 0)
            continue;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                children[i]->text.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            close(fds[i].fd);
            fds[i].fd = -1;
            --open;
        }
    }
    for (Child* c : children) {
        int status = 0;
        rusage usage{};
        if (wait4(c->pid, &status, 0, &usage) == c->pid && WIFEXITED(status) && WEXITSTATUS(status) == 0)
            c->cpuSeconds = ProbeBench::cpuSeconds(usage);
    }
}

// The requests a JSON report counts over all hops.
long requestsIn(const std::string& json, const std::string& key) {
    long sum = 0;
    const std::regex pattern("\"" + key + "\":\\s*([0-9]+)");
    for (auto it = std::sregex_iterator(json.begin(), json.end(), pattern); it != std::sregex_iterator(); ++it)
        sum += std::stol((*it)[1].str());
    return sum;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One echo to the destination with the tracer's own socket: sent, and the reply read.
bool oneEcho(TraceSocket& socket, const IpAddress& destination, std::uint16_t sequence) {
    if (!socket.send(destination, sequence, 64))
        return false;
    bool answered = false;
    const auto start = std::chrono::steady_clock::now();
    while (!answered && secondsSince(start) < 2) {
        pollfd fd{socket.fd(), POLLIN, 0};
        if (poll(&fd, 1, 2000) <= 0)
            continue;
        if (!socket.receive(destination, [&](const TraceSocket::Answer& a) {
                answered = answered || (a.sequence == sequence && a.type == TraceSocket::Answer::Type::Reply);
            }))
            return false;
    }
    return answered;
}

void benchWall(const RouterChain& chain) {
    NetNamespace::Entered inside(chain.client());
    const IpAddress server = IpAddress::v4(inet_addr(chain.serverAddress().c_str()));
    TraceSocket socket;
    if (!inside.ok() || !socket.open(IpAddress::Family::V4)) {
        ProbeBench::printSkipped(kWallName, "no ICMP socket in the chain");
        return;
    }
    (void)oneEcho(socket, server, 1000); // neighbours resolved before anything is timed
    std::vector<double> singles;
    std::vector<double> rounds;
    for (int i = 0; i < kRepeats; ++i) {
        auto start = std::chrono::steady_clock::now();
        if (!oneEcho(socket, server, static_cast<std::uint16_t>(i + 1))) {
            ProbeBench::printSkipped(kWallName, "the server did not answer");
            return;
        }
        singles.push_back(secondsSince(start));

        RouteTracer tracer;
        if (!tracer.open(IpAddress::Family::V4)) {
            ProbeBench::printSkipped(kWallName, tracer.error());
            return;
        }
        RouteTracer::Options options;
        options.rounds = 1;
        start = std::chrono::steady_clock::now();
        const RouteResult result = tracer.trace(server, options);
        rounds.push_back(secondsSince(start));
        if (!result.reached || result.hops.size() != kRouters + 1) {
            ProbeBench::printSkipped(kWallName, "the round did not see every hop");
            return;
        }
    }
    std::fprintf(stderr, "  one round %.3f ms, one echo %.3f ms (medians of %d, %d hops)\n", median(rounds) * 1e3,
                 median(singles) * 1e3, kRepeats, kRouters + 1);
    std::printf("%s: %.2f\n", kWallName, median(rounds) / median(singles));
    std::fflush(stdout);
}

void benchCpu(const RouterChain& chain) {
    if (std::system("command -v mtr >/dev/null 2>&1") != 0) {
        ProbeBench::printSkipped(kCpuName, "mtr is missing (Debian's mtr-tiny)");
        return;
    }
    const std::string server = chain.serverAddress();
    Child ours = start(chain.client().name(), {OSTREVO_PROBE, "--route", "--json", "-c", "100", "-i", "0.2", server});
    Child mtr = start(chain.client().name(), {"mtr", "--report", "--json", "-n", "-c", "100", "-i", "0.2", server});
    finish({&ours, &mtr});
    const long ourRequests = requestsIn(ours.text, "sent");
    const long mtrRequests = requestsIn(mtr.text, "Snt");
    if (ours.cpuSeconds < 0 || mtr.cpuSeconds < 0 || ourRequests == 0 || mtrRequests == 0) {
        ProbeBench::printSkipped(kCpuName, "a trace did not run to the end");
        return;
    }
    const double ourPer = ours.cpuSeconds / static_cast<double>(ourRequests);
    const double mtrPer = mtr.cpuSeconds / static_cast<double>(mtrRequests);
    std::fprintf(stderr, "  ostrevo-probe %.3f s CPU for %ld requests (%.1f us each), mtr %.3f s for %ld (%.1f us)\n",
                 ours.cpuSeconds, ourRequests, ourPer * 1e6, mtr.cpuSeconds, mtrRequests, mtrPer * 1e6);
    std::printf("%s: %.2f\n", kCpuName, ourPer / mtrPer);
    std::fflush(stdout);
}

} // namespace

int main() {
    if (const std::string reason = NetNamespace::unavailableReason(); !reason.empty()) {
        ProbeBench::printSkipped(kCpuName, reason);
        ProbeBench::printSkipped(kWallName, reason);
        return 0;
    }
    const RouterChain chain("bench-route", kRouters);
    if (!chain.ok()) {
        ProbeBench::printSkipped(kCpuName, chain.error());
        ProbeBench::printSkipped(kWallName, chain.error());
        return 0;
    }
    benchCpu(chain);
    const DelayWire wire(chain, std::chrono::milliseconds(5), "bench-wire");
    if (!wire.ok()) {
        ProbeBench::printSkipped(kWallName, "cannot put a delaying wire into the chain");
        return 0;
    }
    benchWall(chain);
    return 0;
}
