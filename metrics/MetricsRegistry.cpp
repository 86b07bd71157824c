#include "metrics/MetricsRegistry.h"

#include <algorithm>

MetricsRegistry::MetricsRegistry(std::string version, std::uint64_t startMicros)
    : version_(std::move(version)), startMicros_(startMicros) {}

void MetricsRegistry::dropLongestIdle() {
    auto oldest = series_.end();
    for (auto it = series_.begin(); it != series_.end(); ++it)
        if (it->second.holds == 0 && (oldest == series_.end() || it->second.lastUse < oldest->second.lastUse))
            oldest = it;
    if (oldest != series_.end())
        erase(oldest);
}

void MetricsRegistry::erase(std::map<Key, Series, KeyLess>::iterator found) {
    const auto& [host, labels, address] = found->first;
    if (const auto pair = hostPair_.find(std::pair<std::string_view, std::string_view>(host, labels));
        pair != hostPair_.end() && pair->second == &found->second)
        hostPair_.erase(pair);
    series_.erase(found);
}

MetricsRegistry::Series& MetricsRegistry::seriesOf(std::string_view host, std::string_view address,
                                                   std::string_view labels) {
    ++useClock_;
    auto found = series_.find(std::tuple<std::string_view, std::string_view, std::string_view>(host, labels, address));
    if (found == series_.end()) {
        if (series_.size() >= kMaxSeries)
            dropLongestIdle();
        Series fresh;
        fresh.figures.host = host;
        fresh.figures.address = address;
        fresh.figures.labels = labels;
        fresh.firstUse = useClock_;
        found = series_.emplace(Key(host, labels, address), std::move(fresh)).first;
    }
    Series& series = found->second;
    series.lastUse = useClock_;
    auto pair = hostPair_.find(std::pair<std::string_view, std::string_view>(host, labels));
    if (pair == hostPair_.end()) {
        hostPair_.emplace(HostKey(host, labels), &series);
    } else if (pair->second != &series) {
        pair->second->figures.status = HostStatus::NA;
        pair->second = &series;
    }
    return series;
}

void MetricsRegistry::recordProbe(std::string_view host, std::string_view address,
                                  std::optional<std::chrono::microseconds> rtt, std::uint32_t statusCode,
                                  std::optional<std::uint8_t> ttl, std::string_view labels) {
    const bool answered = statusCode == 0 && rtt && rtt->count() >= 0;
    const auto micros = answered ? static_cast<std::uint64_t>(rtt->count()) : 0;
    const auto bucket = static_cast<std::size_t>(
        std::lower_bound(kRttBucketBoundsMicros.begin(), kRttBucketBoundsMicros.end(), micros) -
        kRttBucketBoundsMicros.begin());

    const std::lock_guard lock(mutex_);
    SeriesSnapshot& s = seriesOf(host, address, labels).figures;
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
                                         std::optional<std::uint32_t> hop, std::string_view labels) {
    const std::lock_guard lock(mutex_);
    const auto found =
        series_.find(std::tuple<std::string_view, std::string_view, std::string_view>(host, labels, address));
    if (found != series_.end())
        found->second.figures.routeLossBeginsHop = hop.value_or(0);
}

void MetricsRegistry::setRouteHops(std::string_view host, std::string_view address, std::optional<std::uint32_t> hops,
                                   std::string_view labels) {
    const std::lock_guard lock(mutex_);
    const auto found =
        series_.find(std::tuple<std::string_view, std::string_view, std::string_view>(host, labels, address));
    if (found == series_.end())
        return;
    SeriesSnapshot& s = found->second.figures;
    s.routeChanges = s.routeChanges.value_or(0);
    if (hops)
        s.routeHops = hops;
}

void MetricsRegistry::countRouteChange(std::string_view host, std::string_view address, std::string_view labels) {
    const std::lock_guard lock(mutex_);
    const auto found =
        series_.find(std::tuple<std::string_view, std::string_view, std::string_view>(host, labels, address));
    if (found != series_.end())
        found->second.figures.routeChanges = found->second.figures.routeChanges.value_or(0) + 1;
}

void MetricsRegistry::setHostStatus(std::string_view host, std::string_view address, HostStatus status,
                                    std::string_view labels) {
    const std::lock_guard lock(mutex_);
    seriesOf(host, address, labels).figures.status = status;
}

void MetricsRegistry::hold(std::string_view host, std::string_view address, std::string_view labels) {
    const std::lock_guard lock(mutex_);
    ++seriesOf(host, address, labels).holds;
}

void MetricsRegistry::release(std::string_view host, std::string_view address, std::string_view labels) {
    const std::lock_guard lock(mutex_);
    const auto found =
        series_.find(std::tuple<std::string_view, std::string_view, std::string_view>(host, labels, address));
    if (found == series_.end() || found->second.holds == 0)
        return;
    Series& series = found->second;
    if (--series.holds == 0 && dropReleased_) {
        erase(found);
    } else if (series.holds == 0) {
        series.figures.status = HostStatus::NA;
        // Unused from the moment it stopped: pairs go in the order their runs ended.
        series.lastUse = ++useClock_;
    }
}

MetricsSnapshot MetricsRegistry::snapshot() const {
    MetricsSnapshot snap;
    snap.version = version_;
    snap.processStartMicros = startMicros_;
    std::vector<std::pair<std::uint64_t, SeriesSnapshot>> ordered;
    {
        const std::lock_guard lock(mutex_);
        ordered.reserve(series_.size());
        for (const auto& [key, s] : series_)
            ordered.emplace_back(s.firstUse, s.figures);
    }
    std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    snap.series.reserve(ordered.size());
    for (auto& [order, figures] : ordered)
        snap.series.push_back(std::move(figures));
    return snap;
}
