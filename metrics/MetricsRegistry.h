#pragma once

#include "metrics/MetricsSnapshot.h"
#include "metrics/ProcessStart.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The figures a scrape reports, fed by the probe worker once per probe and read by the server's threads.
// Every call holds one mutex for a few increments only, so probing never waits on a scrape for long.
//
// Figures are kept per (host, address) pair and only ever grow while the process lives. The pair of the latest
// call is the current target; when another pair becomes current, the previous one's status falls back to N/A,
// since nothing judges it any more. At most kMaxSeries pairs are kept; the one unused longest goes first.
class MetricsRegistry {
public:
    static constexpr std::size_t kMaxSeries = 16;

    // `startMicros` is the process start as Unix time in microseconds, read once: it cannot change.
    explicit MetricsRegistry(std::string version = OSTREVO_VERSION, std::uint64_t startMicros = processStartMicros());

    // One finished probe. It counts as answered when statusCode is 0 and a round-trip time is given;
    // anything else is a loss. An answer's TTL replaces the previous one, also when the kernel did not tell it.
    void recordProbe(std::string_view host, std::string_view address, std::optional<std::chrono::microseconds> rtt,
                     std::uint32_t statusCode, std::optional<std::uint8_t> ttl = std::nullopt);
    void setHostStatus(std::string_view host, std::string_view address, HostStatus status);
    // A route trace of the pair has ended: the hop where loss begins, none for no loss on the path. A trace ends
    // seconds after the probes that led to it, so it never makes its pair the current one; a pair no longer
    // kept is not brought back for it.
    void setRouteLossBegins(std::string_view host, std::string_view address, std::optional<std::uint32_t> hop);

    [[nodiscard]] MetricsSnapshot snapshot() const;

private:
    struct Series {
        SeriesSnapshot figures;
        std::uint64_t lastUse = 0;
    };

    Series& currentSeries(std::string_view host, std::string_view address);

    const std::string version_;
    const std::uint64_t startMicros_;
    mutable std::mutex mutex_;
    std::vector<Series> series_; // in order of first use
    std::size_t current_ = 0;    // index into series_, valid when series_ is not empty
    std::uint64_t useClock_ = 0;
};
