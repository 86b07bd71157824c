#include "engine/RouteTally.h"

#include <algorithm>
#include <cmath>

RouteTally::RouteTally(const IpAddress& destination, std::uint8_t maxHops)
    : destination_(destination), maxHops_(std::clamp<std::uint8_t>(maxHops, 1, kMostHops)) {}

void RouteTally::lost(std::uint8_t ttl) {
    if (ttl >= 1 && ttl <= maxHops_)
        ++hops_[ttl].hop.sent;
}

void RouteTally::answered(std::uint8_t ttl, Answer answer, const IpAddress& from, std::uint32_t roundTripUs) {
    if (ttl < 1 || ttl > maxHops_)
        return;
    Running& running = hops_[ttl];
    RouteHop& hop = running.hop;
    ++hop.sent;
    ++hop.received;
    if (hop.answered.size() < kMostAddresses &&
        std::find(hop.answered.begin(), hop.answered.end(), from) == hop.answered.end())
        hop.answered.push_back(from);
    hop.lastUs = roundTripUs;
    hop.bestUs = hop.received == 1 ? roundTripUs : std::min(hop.bestUs, roundTripUs);
    hop.worstUs = std::max(hop.worstUs, roundTripUs);
    const double delta = roundTripUs - running.mean;
    running.mean += delta / hop.received;
    running.squares += delta * (roundTripUs - running.mean);
    if (answer == Answer::Reply && from.sameHost(destination_) && (reachedAt_ == 0 || ttl < reachedAt_))
        reachedAt_ = ttl;
    if (answer == Answer::Unreachable) {
        hop.unreachable = true;
        if (unreachableAt_ == 0 || ttl < unreachableAt_)
            unreachableAt_ = ttl;
    }
}

std::uint8_t RouteTally::hopsToProbe() const {
    if (reachedAt_ != 0 && (unreachableAt_ == 0 || reachedAt_ <= unreachableAt_))
        return reachedAt_;
    return unreachableAt_ != 0 ? unreachableAt_ : maxHops_;
}

RouteResult RouteTally::result(std::uint32_t rounds) const {
    RouteResult result;
    result.destination = destination_;
    result.rounds = rounds;
    result.reached = reachedAt_ != 0;
    std::uint8_t end = hopsToProbe();
    if (reachedAt_ == 0 && unreachableAt_ == 0) {
        std::uint8_t lastHeard = 0;
        for (std::uint8_t ttl = 1; ttl <= maxHops_; ++ttl)
            if (hops_[ttl].hop.received != 0)
                lastHeard = ttl;
        end = std::min<std::uint8_t>(static_cast<std::uint8_t>(lastHeard + 1), maxHops_);
    }
    for (std::uint8_t ttl = 1; ttl <= end; ++ttl) {
        const Running& running = hops_[ttl];
        RouteHop hop = running.hop;
        hop.number = ttl;
        hop.averageUs = static_cast<std::uint32_t>(std::lround(running.mean));
        hop.stdDevUs = hop.received > 1
                           ? static_cast<std::uint32_t>(std::lround(std::sqrt(running.squares / (hop.received - 1))))
                           : 0;
        result.hops.push_back(std::move(hop));
    }
    result.lossBeginsAt = RouteLoss::beginsAt(result.hops, result.reached);
    return result;
}
