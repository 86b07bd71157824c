// The history ledger as the running program drives it: one probe a second, for 40 minutes of probes.
//   history_bytes_written_per_probe_live  bytes handed to the file system for the ledger's files per probe,
//                                         from /proc/self/io wchar (the process writes nothing else meanwhile),
//                                         the commit and checkpoint at exit included, plus the bytes of the
//                                         pending log, which is mapped into memory and so not in wchar
//   history_live_cpu_us_per_sample        CPU of the ledger per probe: its writer thread plus record() itself
//   history_live_1000_hosts_cpu_us_per_probe   the same for 1,000 hosts at one probe a second each, for ten
//   history_live_1000_hosts_bytes_per_probe    minutes of probes (one in fifty lost)
// The clock runs OSTREVO_BENCH_LIVE_SPEEDUP times fast (20 by default, so the bench takes about three minutes):
// the probes carry one-second timestamps and every interval of the ledger (commit, prune, retry) is shortened by
// the same factor, so the ledger does exactly the same log writes, commits and pruning passes per probe as at one
// probe a second; only its wake-ups come closer together. 1 gives the real pace.
// Opening the file is left out of both: it happens once per program, not per probe.
// Details go to standard error. The file lives in a private temporary folder, removed at the end.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include "history/HistoryLedger.h"

namespace {

std::int64_t microseconds(const timeval& t) {
    return std::int64_t{t.tv_sec} * 1'000'000 + t.tv_usec;
}

// CPU of the whole process and of the calling thread, in microseconds.
std::int64_t processCpuUs() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return microseconds(usage.ru_utime) + microseconds(usage.ru_stime);
}

std::int64_t threadCpuUs() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::int64_t{ts.tv_sec} * 1'000'000 + ts.tv_nsec / 1000;
}

// A field of /proc/self/io ("wchar", "write_bytes").
std::int64_t ioField(const std::string& name) {
    std::ifstream in("/proc/self/io");
    std::string key;
    std::int64_t value = 0;
    while (in >> key >> value)
        if (key == name + ":")
            return value;
    return -1;
}

std::int64_t systemNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Figures {
    double bytesPerProbe = 0;
    double cpuUsPerProbe = 0;
};

// `hosts` hosts probed once a second each for `seconds` seconds of probes.
std::optional<Figures> runLive(int hosts, int seconds, int speedup) {
    char pattern[] = "/var/tmp/ostrevo-history-live-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("history_live_bench: mkdtemp");
        return std::nullopt;
    }
    const std::filesystem::path dir(pattern);
    const std::string path = (dir / "history.sqlite").string();

    HistoryOptions options; // as the program sets it up
    options.path = path;
    options.days = 30;
    options.onProblem = [](const std::string& m) { std::fprintf(stderr, "history_live_bench: %s\n", m.c_str()); };
    options.commitInterval /= speedup;
    options.pruneInterval /= speedup;
    options.retryInterval /= speedup;
    options.commitGap /= speedup;

    std::vector<std::string> names;
    std::vector<std::string> addresses;
    for (int h = 0; h < hosts; ++h) {
        names.push_back(hosts == 1 ? std::string("bench.test") : "host" + std::to_string(h) + ".test");
        addresses.push_back("127.0." + std::to_string(h / 250) + "." + std::to_string(h % 250 + 1));
    }
    std::int64_t wchar = 0;
    std::int64_t writeBytes = 0;
    std::int64_t otherThreadsUs = 0;
    std::int64_t recordUs = 0;
    std::int64_t clockUs = 0;
    std::uint64_t dropped = 0;
    std::string logBytes; // what the pending log is given, encoded as it encodes it (about; marks left out)
    std::optional<ProbeSample> previous;
    std::size_t logSize = 0;
    {
        auto ledger = std::make_unique<HistoryLedger>(options);
        if (!ledger->flush(std::chrono::seconds(30))) {
            std::fprintf(stderr, "history_live_bench: the file did not open\n");
            return std::nullopt;
        }
        const std::int64_t wcharBefore = ioField("wchar");
        const std::int64_t writeBytesBefore = ioField("write_bytes");
        const std::int64_t othersBefore = processCpuUs() - threadCpuUs();
        const auto period = std::chrono::microseconds(1'000'000 / speedup);
        const std::int64_t start = systemNowMs();
        auto next = std::chrono::steady_clock::now();
        for (int i = 0; i < seconds; ++i) {
            std::this_thread::sleep_until(next);
            next += period;
            for (int h = 0; h < hosts; ++h) {
                const bool lost = hosts > 1 && (i * 7 + h) % 50 == 0;
                ProbeSample sample{start + i * 1000 + h % 1000,
                                   names[static_cast<std::size_t>(h)],
                                   addresses[static_cast<std::size_t>(h)],
                                   lost ? std::nullopt : std::optional<std::int64_t>(18'000 + (i * 7919 + h) % 9000),
                                   lost ? 11010u : 0u,
                                   lost ? std::nullopt : std::optional<int>(57),
                                   3};
                logBytes.clear();
                PendingLog::encode(LedgerEntry{sample, false}, previous ? &*previous : nullptr, logBytes);
                logSize += logBytes.size();
                previous = sample;
                const std::int64_t before = threadCpuUs();
                ledger->record(std::move(sample));
                recordUs += threadCpuUs() - before;
                // The same clock read twice around nothing: its own cost, which is not the ledger's.
                const std::int64_t idle = threadCpuUs();
                clockUs += threadCpuUs() - idle;
            }
        }
        std::this_thread::sleep_until(next);
        dropped = ledger->dropped();
        ledger.reset(); // the program exits: what is left is written and the file closed
        wchar = ioField("wchar") - wcharBefore + static_cast<std::int64_t>(logSize);
        writeBytes = ioField("write_bytes") - writeBytesBefore;
        otherThreadsUs = processCpuUs() - threadCpuUs() - othersBefore;
    }
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    std::filesystem::remove_all(dir, ec);
    if (dropped != 0) {
        std::fprintf(stderr, "history_live_bench: %llu probes dropped\n", static_cast<unsigned long long>(dropped));
        return std::nullopt;
    }
    const double probes = static_cast<double>(seconds) * hosts;
    std::fprintf(stderr,
                 "history_live_bench: %d hosts, %d s of probes, clock %dx: %lld bytes written (write_bytes %lld), "
                 "writer thread %lld us, record() %lld us less %lld us of reading the clock, file %llu bytes\n",
                 hosts, seconds, speedup, static_cast<long long>(wchar), static_cast<long long>(writeBytes),
                 static_cast<long long>(otherThreadsUs), static_cast<long long>(recordUs),
                 static_cast<long long>(clockUs), static_cast<unsigned long long>(size));
    return Figures{static_cast<double>(wchar) / probes,
                   static_cast<double>(otherThreadsUs + std::max<std::int64_t>(recordUs - clockUs, 0)) / probes};
}

} // namespace

int main() {
    int speedup = 20;
    if (const char* env = std::getenv("OSTREVO_BENCH_LIVE_SPEEDUP"); env != nullptr && std::atoi(env) > 0)
        speedup = std::atoi(env);
    // OSTREVO_BENCH_LIVE_PART=many runs only the 1,000 hosts.
    const char* part = std::getenv("OSTREVO_BENCH_LIVE_PART");
    if (part == nullptr || std::string(part) != "many") {
        const std::optional<Figures> one = runLive(1, 40 * 60, speedup);
        if (!one)
            return 1;
        std::printf("history_bytes_written_per_probe_live: %.0f\n", one->bytesPerProbe);
        std::printf("history_live_cpu_us_per_sample: %.1f\n", one->cpuUsPerProbe);
        std::fflush(stdout);
    }
    const std::optional<Figures> many = runLive(1000, 10 * 60, speedup);
    if (!many)
        return 1;
    std::printf("history_live_1000_hosts_cpu_us_per_probe: %.1f\n", many->cpuUsPerProbe);
    std::printf("history_live_1000_hosts_bytes_per_probe: %.0f\n", many->bytesPerProbe);
    return 0;
}
