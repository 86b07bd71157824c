#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "engine/RoundTrip.h"

namespace {

constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kSent = 5'000 * kMs; // monotonic: some uptime
constexpr std::int64_t kWall = 1'800'000'000'000 * kMs;

struct Case {
    const char* name;
    std::int64_t woken;                 // monotonic time from the send to the wake-up after the receive
    std::optional<std::int64_t> queued; // wall clock at the wake-up minus the kernel's stamp
    std::uint32_t expectedMs;
};

TEST(RoundTrip, PrefersTheKernelStampUnlessTheWallClockJumped) {
    const Case cases[] = {
        {"no stamp: the wake-up counts", 20 * kMs + 900'000, std::nullopt, 20},
        {"a late wake-up does not count", 21 * kMs + 100'000, 1 * kMs + 50'000, 20},
        {"stamp right at the wake-up", 20 * kMs + 400'000, 0, 20},
        {"truncated, not rounded", 20 * kMs + 999'999, 0, 20},
        {"stamp exactly at the send", 3 * kMs, 3 * kMs, 0},
        {"wall clock set back while waiting", 21 * kMs, -3'600'000 * kMs, 21},
        {"wall clock set back by a hair", 21 * kMs, -1, 21},
        {"wall clock set forward while waiting", 21 * kMs, 3'600'000 * kMs, 21},
        {"stamp older than the send", 21 * kMs, 21 * kMs + 1, 21},
        {"monotonic reading before the send never goes negative", -5 * kMs, std::nullopt, 0},
        {"nor with a stamp", -5 * kMs, 0, 0},
    };
    for (const Case& c : cases) {
        RoundTrip::Readings readings;
        readings.sentMono = kSent;
        readings.receivedMono = kSent + c.woken;
        readings.receivedReal = kWall;
        if (c.queued)
            readings.kernelReal = kWall - *c.queued;
        EXPECT_EQ(RoundTrip::milliseconds(readings), c.expectedMs) << c.name;
        EXPECT_GE(RoundTrip::elapsedNanos(readings), 0) << c.name;
    }
}

TEST(RoundTrip, NanosOfATimespec) {
    EXPECT_EQ(RoundTrip::nanos(timespec{2, 500}), 2'000'000'500);
    EXPECT_EQ(RoundTrip::nanos(timespec{0, 0}), 0);
}

} // namespace
