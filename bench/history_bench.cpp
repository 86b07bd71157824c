// The history ledger on a month of one-second probes (2.6 million rows):
//   history_write_us_per_sample     amortised cost of recording one probe, writer thread included
//   history_query_ratio_30d_vs_1h   time for the 30-day graph series over the time for the 1-hour one
//   history_db_bytes_per_sample     file size per stored probe
// Details go to standard error. The file lives in a private temporary folder, removed at the end.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "history/HistoryLedger.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int64_t kSecond = 1000;
constexpr std::int64_t kHour = 3600 * kSecond;
constexpr std::int64_t kDays = 30;
constexpr std::int64_t kSamples = kDays * 24 * 3600;
constexpr std::int64_t kEnd = 1'796'684'400'000; // 2026-12-07 23:00 UTC
constexpr std::int64_t kStart = kEnd - kSamples * kSecond;
constexpr std::size_t kChunk = 50'000;
constexpr int kColumns = 700; // a graph of a usual window width

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// A host on a busy line: 8 to 40 ms, about one probe in 200 lost, and a 40-second outage every six hours.
std::vector<ProbeSample> month() {
    std::vector<ProbeSample> out;
    out.reserve(static_cast<std::size_t>(kSamples));
    std::mt19937_64 random(7);
    std::lognormal_distribution<double> rtt(9.8, 0.35);
    std::uniform_int_distribution<int> loss(0, 199);
    for (std::int64_t i = 0; i < kSamples; ++i) {
        const bool outage = i % (6 * 3600) < 40;
        ProbeSample s;
        s.atMs = kStart + i * kSecond;
        s.host = "bench.test";
        s.address = "127.0.0.1";
        s.hostStatus = outage && i % (6 * 3600) >= 3 ? 1 : 3;
        if (outage || loss(random) == 0) {
            s.status = 11010;
        } else {
            s.rttUs = std::clamp<std::int64_t>(static_cast<std::int64_t>(rtt(random)), 8'000, 40'000);
            s.ttl = 57;
        }
        out.push_back(std::move(s));
    }
    return out;
}

// The cheapest of a few calls: interference from other work on the machine only ever adds time.
double cheapestSeries(HistoryLedger& ledger, std::int64_t span, std::size_t& points) {
    double best = 1e9;
    for (int round = 0; round < 9; ++round) {
        const auto start = Clock::now();
        points = ledger.series("bench.test", kEnd - span, kEnd, kColumns).size();
        best = std::min(best, seconds(Clock::now() - start));
    }
    return best;
}

} // namespace

int main() {
    char pattern[] = "/tmp/ostrevo-history-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("history_bench: mkdtemp");
        return 1;
    }
    const std::filesystem::path dir(pattern);
    const std::string path = (dir / "history.sqlite").string();
    const std::vector<ProbeSample> samples = month();

    HistoryOptions options;
    options.path = path;
    options.days = static_cast<int>(kDays) + 1;
    options.batchLimit = kChunk;
    options.queueLimit = 2 * kChunk;
    options.clock = [] { return kEnd; };
    options.onProblem = [](const std::string& m) { std::fprintf(stderr, "history_bench: %s\n", m.c_str()); };

    double writeSeconds = 0;
    double ratio = 0;
    {
        HistoryLedger ledger(options);
        const auto start = Clock::now();
        for (std::size_t i = 0; i < samples.size(); i += kChunk) {
            const std::size_t end = std::min(samples.size(), i + kChunk);
            for (std::size_t j = i; j < end; ++j)
                ledger.record(samples[j]);
            // Keeps the queue below its limit, so nothing is dropped.
            if (!ledger.flush(std::chrono::minutes(5))) {
                std::fprintf(stderr, "history_bench: the writer did not keep up\n");
                return 1;
            }
        }
        writeSeconds = seconds(Clock::now() - start);
        if (ledger.dropped() != 0 || !ledger.problem().empty()) {
            std::fprintf(stderr, "history_bench: %llu probes dropped, problem: %s\n",
                         static_cast<unsigned long long>(ledger.dropped()), ledger.problem().c_str());
            return 1;
        }

        std::size_t hourPoints = 0;
        std::size_t monthPoints = 0;
        const double hour = cheapestSeries(ledger, kHour, hourPoints);
        const double month = cheapestSeries(ledger, kDays * 24 * kHour, monthPoints);
        ratio = month / hour;
        std::fprintf(stderr, "history_bench: %lld probes written in %.1f s; series 1 h %.2f ms (%zu points), "
                             "30 d %.2f ms (%zu points)\n",
                     static_cast<long long>(kSamples), writeSeconds, hour * 1e3, hourPoints, month * 1e3, monthPoints);
    }
    // The ledger has closed the file: the write-ahead log is folded in.
    std::uintmax_t bytes = 0;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::error_code ec;
        const std::uintmax_t size = std::filesystem::file_size(path + suffix, ec);
        if (!ec)
            bytes += size;
    }
    std::filesystem::remove_all(dir);

    std::printf("history_write_us_per_sample: %.2f\n", writeSeconds * 1e6 / static_cast<double>(kSamples));
    std::printf("history_query_ratio_30d_vs_1h: %.2f\n", ratio);
    std::printf("history_db_bytes_per_sample: %.1f\n", static_cast<double>(bytes) / static_cast<double>(kSamples));
    return 0;
}
