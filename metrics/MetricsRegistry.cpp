#include "metrics/MetricsRegistry.h"

#include <algorithm>

MetricsRegistry::MetricsRegistry(std::string version, std::uint64_t startMicros)
    : version_(std::move(version)), startMicros_(startMicros) {
    series_.reserve(kMaxSeries);
}

MetricsRegistry::Series& MetricsRegistry::currentSeries(std::string_view host, std::string_view address) {
    ++useClock_;
    if (!series_.empty()) {
        Series& current = series_[current_];
        if (current.figures.host == host && current.figures.address == address) {
            current.lastUse = useClock_;
            return current;
        }
        current.figures.status = HostStatus::NA;
    }
    auto found = std::find_if(series_.begin(), series_.end(),
                              [&](const Series& s) { return s.figures.host == host && s.figures.address == address; });
    if (found == series_.end()) {
        if (series_.size() == kMaxSeries)
            series_.erase(std::min_element(series_.begin(), series_.end(),
                                           [](const Series& a, const Series& b) { return a.lastUse < b.lastUse; }));
        Series fresh;
        fresh.figures.host = host;
        fresh.figures.address = address;
        series_.push_back(std::move(fresh));
        found = series_.end() - 1;
    }
    current_ = static_cast<std::size_t>(found - series_.begin());
    found->lastUse = useClock_;
    return *found;
}

void MetricsRegistry::recordProbe(std::string_view host, std::string_view address,
                                  std::optional<std::chrono::microseconds> rtt, std::uint32_t statusCode,
                                  std::optional<std::uint8_t> ttl) {
    const bool answered = statusCode == 0 && rtt && rtt->count() >= 0;
    const auto micros = answered ? static_cast<std::uint64_t>(rtt->count()) : 0;
    const auto bucket = static_cast<std::size_t>(
        std::lower_bound(kRttBucketBoundsMicros.begin(), kRttBucketBoundsMicros.end(), micros) -
        kRttBucketBoundsMicros.begin());

    const std::lock_guard lock(mutex_);
    SeriesSnapshot& s = currentSeries(host, address).figures;
    ++s.requests;
    if (!answered) {
        ++s.lost;
        return;
    }
    ++s.rttBuckets[bucket];
    s.rttSumMicros += micros;
    s.lastRttMicros = micros;
    s.lastTtl = ttl;
}

void MetricsRegistry::setRouteLossBegins(std::string_view host, std::string_view address,
                                         std::optional<std::uint32_t> hop) {
    const std::lock_guard lock(mutex_);
    for (Series& s : series_)
        if (s.figures.host == host && s.figures.address == address)
            s.figures.routeLossBeginsHop = hop.value_or(0);
}

void MetricsRegistry::setHostStatus(std::string_view host, std::string_view address, HostStatus status) {
    const std::lock_guard lock(mutex_);
    currentSeries(host, address).figures.status = status;
}

MetricsSnapshot MetricsRegistry::snapshot() const {
    MetricsSnapshot snap;
    snap.version = version_;
    snap.processStartMicros = startMicros_;
    const std::lock_guard lock(mutex_);
    snap.series.reserve(series_.size());
    for (const Series& s : series_)
        snap.series.push_back(s.figures);
    return snap;
}
