#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/RouteResult.h"
#include "types/IpAddress.h"

// The running figures of a trace, per TTL, and where the path ends as far as the answers so far tell: at the
// lowest TTL the destination answered, or at the lowest one a router answered "unreachable". Plain arithmetic,
// fed by the tracer with settled requests only, so that a request still in flight is never counted as lost.
class RouteTally {
public:
    enum class Answer : std::uint8_t { Reply, TimeExceeded, Unreachable };
    static constexpr std::uint8_t kMostHops = 64;
    // Addresses listed per hop, the first heard: a load balancer has a few, and a network that answers from a
    // new one every time must not grow a trace that runs for hours without bound.
    static constexpr std::size_t kMostAddresses = 8;

    RouteTally(const IpAddress& destination, std::uint8_t maxHops);

    void lost(std::uint8_t ttl);
    void answered(std::uint8_t ttl, Answer answer, const IpAddress& from, std::uint32_t roundTripUs);

    // Whether an answer has told where the path ends (the destination, or a router refusing).
    [[nodiscard]] bool endKnown() const { return reachedAt_ != 0 || unreachableAt_ != 0; }
    // How many TTLs a round covers: up to the end of the path once it is known, else up to the limit.
    [[nodiscard]] std::uint8_t hopsToProbe() const;
    // The hops up to the end of the path; when the path has no known end, the hops up to the last one that
    // answered and one more that never did (where the destination should have been).
    [[nodiscard]] RouteResult result(std::uint32_t rounds) const;

private:
    // A hop's figures as they are reported, and the running sums its average and deviation come from.
    struct Running {
        RouteHop hop;
        double mean = 0; // Welford's running mean and sum of squared deviations
        double squares = 0;
    };

    IpAddress destination_;
    std::uint8_t maxHops_;
    std::uint8_t reachedAt_ = 0;     // lowest TTL the destination answered; 0: not yet
    std::uint8_t unreachableAt_ = 0; // lowest TTL a router refused; 0: none
    std::array<Running, kMostHops + 1> hops_{};
};
