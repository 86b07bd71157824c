#include "engine/RouteChangeDetector.h"

#include <algorithm>

#include "engine/RouteTally.h"

namespace {

RouteChangeDetector::Path pathOf(std::span<const RouteHop> hops) {
    RouteChangeDetector::Path path;
    for (const RouteHop& hop : hops) {
        if (hop.number == 0)
            continue;
        if (path.size() < hop.number)
            path.resize(hop.number);
        path[hop.number - 1] = hop.answered;
    }
    return path;
}

bool shareAddress(const std::vector<IpAddress>& a, const std::vector<IpAddress>& b) {
    return std::any_of(a.begin(), a.end(),
                       [&b](const IpAddress& x) { return std::find(b.begin(), b.end(), x) != b.end(); });
}

void add(std::vector<IpAddress>& hop, const IpAddress& address) {
    if (hop.size() < RouteTally::kMostAddresses && std::find(hop.begin(), hop.end(), address) == hop.end())
        hop.push_back(address);
}

// Adds what `more` heard to `into`, hop by hop, within the tally's bound on addresses per hop.
void merge(RouteChangeDetector::Path& into, const RouteChangeDetector::Path& more) {
    if (into.size() < more.size())
        into.resize(more.size());
    for (std::size_t i = 0; i < more.size(); ++i)
        for (const IpAddress& address : more[i])
            add(into[i], address);
}

// The address each hop is known by: its first, or none for a hop that never answered.
std::vector<IpAddress> firstAddresses(const RouteChangeDetector::Path& path) {
    std::vector<IpAddress> out;
    out.reserve(path.size());
    for (const std::vector<IpAddress>& hop : path)
        out.push_back(hop.empty() ? IpAddress{} : hop.front());
    return out;
}

} // namespace

std::uint8_t RouteChangeDetector::firstDifference(const Path& a, const Path& b) {
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i)
        if (!a[i].empty() && !b[i].empty() && !shareAddress(a[i], b[i]))
            return static_cast<std::uint8_t>(std::min<std::size_t>(i + 1, 255));
    return 0;
}

std::optional<RouteChange> RouteChangeDetector::feed(std::span<const RouteHop> hops, std::int64_t atMs) {
    const Path trace = pathOf(hops);
    if (known_.empty()) {
        known_ = trace;
        return std::nullopt;
    }
    const std::uint8_t differs = firstDifference(known_, trace);
    if (differs == 0) {
        // The candidate, if any, was a passing detour (or one side of an alternation).
        candidate_.reset();
        learn(trace);
        return std::nullopt;
    }
    if (!candidate_ || firstDifference(*candidate_, trace) != 0) {
        candidate_ = trace;
        return std::nullopt;
    }
    Path now = *candidate_;
    merge(now, trace);
    RouteChange change;
    change.atMs = atMs;
    change.hop = differs;
    change.before = firstAddresses(known_);
    // After the change each hop is named by this trace where it answered, so `after` is the path as it is now.
    change.after = firstAddresses(now);
    for (std::size_t i = 0; i < trace.size() && i < change.after.size(); ++i)
        if (!trace[i].empty())
            change.after[i] = trace[i].front();
    known_ = std::move(now);
    candidate_.reset();
    heardBeside_.clear();
    return change;
}

// A trace that agrees: a hop silent so far takes what it heard; a new address beside known ones needs a second
// trace that hears it so.
void RouteChangeDetector::learn(const Path& trace) {
    if (known_.size() < trace.size())
        known_.resize(trace.size());
    if (heardBeside_.size() < trace.size())
        heardBeside_.resize(trace.size());
    for (std::size_t i = 0; i < trace.size(); ++i) {
        if (known_[i].empty()) {
            known_[i] = trace[i];
            continue;
        }
        for (const IpAddress& address : trace[i]) {
            if (std::find(known_[i].begin(), known_[i].end(), address) != known_[i].end())
                continue;
            auto& heard = heardBeside_[i];
            auto it = std::find_if(heard.begin(), heard.end(), [&](const auto& h) { return h.first == address; });
            if (it == heard.end()) {
                if (heard.size() < RouteTally::kMostAddresses)
                    heard.emplace_back(address, 1);
            } else if (++it->second >= 2) {
                add(known_[i], address);
                heard.erase(it);
            }
        }
    }
}

void RouteChangeDetector::reset() {
    known_.clear();
    candidate_.reset();
    heardBeside_.clear();
}
