// The ledger's growth from path watching at the defaults (a trace of 3 rounds a minute) on a ten-hop path:
//  path_ledger_kib_per_host_day: history.sqlite's growth per host and day, 20 hosts recording a day each,
//    interleaved as the traces come (every host once a minute), committed as the program commits.
//    Goal: at most 256.
#include <sys/stat.h>

#include <cstdio>
#include <random>
#include <string>

#include "history/HistoryLedger.h"
#include "support/TempDir.h"

namespace {

constexpr int kHosts = 20;
constexpr int kHops = 10;
constexpr std::int64_t kMinuteMs = 60'000;
constexpr std::int64_t kStart = 1'796'684'400'000;

long long fileBytes(const std::string& path) {
    struct stat st {};
    long long total = 0;
    for (const char* suffix : {"", "-wal"})
        if (::stat((path + suffix).c_str(), &st) == 0)
            total += st.st_size;
    return total;
}

// A trace as a real path gives it: each hop a little further, with some jitter and now and then a lost request.
PathTrace trace(int host, std::int64_t atMs, std::mt19937& random) {
    PathTrace t;
    t.host = "host" + std::to_string(host) + ".bench";
    t.address = "198.18.10." + std::to_string(host + 1);
    t.atMs = atMs;
    t.reached = true;
    std::uniform_int_distribution<std::uint32_t> jitter(0, 900);
    std::bernoulli_distribution lost(0.01);
    for (int hop = 1; hop <= kHops; ++hop) {
        RouteHop h;
        h.number = static_cast<std::uint8_t>(hop);
        h.answered.push_back(*IpAddress::parse(hop == kHops ? t.address : "198.18." + std::to_string(hop) + ".2"));
        h.sent = 3;
        h.received = lost(random) ? 2 : 3;
        const std::uint32_t base = 1500 * static_cast<std::uint32_t>(hop);
        h.bestUs = base + jitter(random) / 3;
        h.averageUs = h.bestUs + jitter(random) / 3;
        h.worstUs = h.averageUs + jitter(random) / 3;
        h.lastUs = h.averageUs;
        h.stdDevUs = jitter(random) / 5;
        t.hops.push_back(std::move(h));
    }
    return t;
}

} // namespace

int main() {
    TempDir dir;
    HistoryOptions options;
    options.path = dir.file("history.sqlite");
    options.days = 3650;
    long long before = 0;
    std::mt19937 random(7);
    {
        HistoryLedger ledger(options);
        // The file as a program that probes these hosts has it before the first trace.
        for (int host = 0; host < kHosts; ++host)
            ledger.record(ProbeSample{kStart, "host" + std::to_string(host) + ".bench",
                                      "198.18.10." + std::to_string(host + 1), 1000, 0, 60, 3});
        ledger.flush(std::chrono::seconds(60));
    }
    before = fileBytes(options.path);
    {
        HistoryLedger ledger(options);
        for (int minute = 0; minute < 1440; ++minute)
            for (int host = 0; host < kHosts; ++host)
                ledger.recordPath(trace(host, kStart + minute * kMinuteMs + 1000 + host * 100, random));
        ledger.flush(std::chrono::seconds(120));
    }
    const long long after = fileBytes(options.path);
    std::fprintf(stderr, "%lld bytes before, %lld after, %d hosts\n", before, after, kHosts);
    std::printf("path_ledger_kib_per_host_day: %.1f\n", static_cast<double>(after - before) / 1024.0 / kHosts);
    return 0;
}
