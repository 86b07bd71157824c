#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <vector>

#include "history/RttStats.h"

namespace {

using Probe = std::optional<std::int64_t>;

std::vector<Probe> randomProbes(std::mt19937& rng, std::size_t n) {
    // Mostly a few milliseconds, some sub-128 us, a tail up to the timeout, and losses in bursts.
    std::lognormal_distribution<double> typical(std::log(8000.0), 0.8);
    std::uniform_int_distribution<int> pick(0, 99);
    std::vector<Probe> probes;
    bool losing = false;
    for (std::size_t i = 0; i < n; ++i) {
        const int p = pick(rng);
        losing = losing ? p < 70 : p < 5;
        if (losing)
            probes.emplace_back(std::nullopt);
        else if (p < 15)
            probes.emplace_back(p * 9);
        else
            probes.emplace_back(std::min<std::int64_t>(static_cast<std::int64_t>(typical(rng)), 2'000'000));
    }
    return probes;
}

std::int64_t nearestRank(std::vector<std::int64_t> sorted, double q) {
    std::sort(sorted.begin(), sorted.end());
    const auto rank =
        std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size()))));
    return sorted[rank - 1];
}

// Stored stretches merged in any split must give what a brute-force pass over all probes gives.
TEST(RttStatsConsolidation, MergedStretchesMatchBruteForce) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 40; ++round) {
        const std::vector<Probe> probes = randomProbes(rng, 50 + static_cast<std::size_t>(round) * 97);
        RttStats merged;
        RttStats stretch;
        std::uniform_int_distribution<int> cut(0, 30);
        for (const Probe& p : probes) {
            stretch.add(p);
            if (cut(rng) == 0) {
                // Through the stored form, as the ledger keeps it.
                RttStats stored;
                stored.setParts(stretch.parts());
                ASSERT_TRUE(stored.setHistogramBlob(stretch.histogramBlob()));
                merged.merge(stored);
                stretch = RttStats();
            }
        }
        merged.merge(stretch);

        std::vector<std::int64_t> replies;
        for (const Probe& p : probes)
            if (p)
                replies.push_back(*p);
        ASSERT_EQ(merged.sent(), probes.size());
        ASSERT_EQ(merged.lost(), probes.size() - replies.size());
        if (replies.empty())
            continue;
        double absDiffs = 0;
        for (std::size_t i = 1; i < replies.size(); ++i)
            absDiffs += static_cast<double>(std::llabs(replies[i] - replies[i - 1]));
        const double jitter = replies.size() > 1 ? absDiffs / static_cast<double>(replies.size() - 1) : 0.0;
        double sum = 0;
        for (std::int64_t r : replies)
            sum += static_cast<double>(r);

        EXPECT_EQ(merged.minUs(), *std::min_element(replies.begin(), replies.end())) << "round " << round;
        EXPECT_EQ(merged.maxUs(), *std::max_element(replies.begin(), replies.end())) << "round " << round;
        EXPECT_DOUBLE_EQ(merged.meanUs(), sum / static_cast<double>(replies.size())) << "round " << round;
        EXPECT_NEAR(merged.jitterUs(), jitter, 1e-6 * std::max(1.0, jitter)) << "round " << round;
        for (double q : {0.0, 0.1, 0.5, 0.9, 0.95, 1.0}) {
            const std::int64_t exact = nearestRank(replies, q);
            const std::int64_t got = merged.quantileUs(q);
            EXPECT_LE(std::llabs(got - exact), exact / 128) << "round " << round << " q " << q << " exact " << exact;
        }
    }
}

TEST(RttStatsConsolidation, SmallValuesAreExactAndLossesDoNotBreakJitter) {
    RttStats stats;
    for (Probe p : {Probe(10), Probe(), Probe(), Probe(30), Probe(20), Probe()})
        stats.add(p);
    EXPECT_EQ(stats.sent(), 6u);
    EXPECT_EQ(stats.lost(), 3u);
    EXPECT_EQ(stats.quantileUs(0.5), 20);
    EXPECT_EQ(stats.quantileUs(1.0), 30);
    // |30-10| and |20-30|: a loss between two replies does not count as a difference.
    EXPECT_DOUBLE_EQ(stats.jitterUs(), 15.0);
}

TEST(RttStatsStorage, DamagedHistogramIsRejectedWithoutHarm) {
    RttStats good;
    for (std::int64_t v : {5, 500, 50'000, 1'999'999})
        good.add(v);
    const std::string blob = good.histogramBlob();
    const std::vector<std::string> damaged = {
        blob.substr(0, blob.size() - 1),            // cut inside the last pair
        std::string(12, '\xff'),                    // a varint that never ends
        std::string("\xff\xff\xff\xff\x0f\x01", 6), // a bucket far past the largest
    };
    for (const std::string& bad : damaged) {
        RttStats stats;
        stats.setParts(good.parts());
        EXPECT_FALSE(stats.setHistogramBlob(bad));
        EXPECT_EQ(stats.quantileUs(0.5), 0);
    }
    RttStats copy;
    copy.setParts(good.parts());
    ASSERT_TRUE(copy.setHistogramBlob(blob));
    EXPECT_EQ(copy.quantileUs(0.5), good.quantileUs(0.5));
    EXPECT_EQ(copy.quantileUs(1.0), 1'999'999);
}

} // namespace
