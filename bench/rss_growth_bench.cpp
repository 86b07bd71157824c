// rss_growth_kib_1m_probes: resident memory after 1,000,000 back-to-back probes of 127.0.0.1 through the
// hub minus that after the first 10,000, in KiB, in a private namespace.

#include <cstdio>

#include "bench/ProbeBench.h"

namespace {
constexpr const char* kName = "rss_growth_kib_1m_probes";
constexpr std::uint64_t kEarly = 10'000;
constexpr std::uint64_t kProbes = 1'000'000;
} // namespace

int main() {
    const ProbeBench::PrivateNamespace ns("bench-rss");
    if (const std::string reason = ns.unavailable(); !reason.empty()) {
        ProbeBench::printSkipped(kName, reason);
        return 0;
    }
    long early = -1;
    long late = -1;
    std::string lastLine;
    const bool ran = ProbeBench::probeBackToBack(
        kProbes,
        [&](std::uint64_t done) {
            if (done == kEarly)
                early = ProbeBench::residentKib();
            else if (done == kProbes)
                late = ProbeBench::residentKib();
        },
        &lastLine);
    if (!ran || early < 0 || late < 0) {
        ProbeBench::printSkipped(kName, "the probe run failed");
        return 0;
    }
    std::fprintf(stderr, "  VmRSS %ld KiB after %llu probes, %ld KiB after %llu (last line: %s)\n", early,
                 static_cast<unsigned long long>(kEarly), late, static_cast<unsigned long long>(kProbes),
                 lastLine.c_str());
    std::printf("%s: %ld\n", kName, late - early);
    return 0;
}
