#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Round-trip figures of a stretch of time that can be merged with the next stretch: counts, extremes, sum,
// jitter parts and a log-scaled histogram for the median and percentiles. The ledger stores one per host and
// minute and per host and hour, so a long view merges a few hundred of them instead of reading every probe.
//
// Percentiles come from the histogram: exact below 128 us, otherwise within 1/128 of the true value (64
// buckets per octave, the middle of the bucket is returned). Everything else is exact.
class RttStats {
public:
    // Adds the next probe in time order.
    void add(std::optional<std::int64_t> rttUs);
    // Appends a stretch that follows this one in time.
    void merge(const RttStats& later);

    [[nodiscard]] std::uint64_t sent() const { return sent_; }
    [[nodiscard]] std::uint64_t lost() const { return lost_; }
    [[nodiscard]] std::uint64_t replies() const { return sent_ - lost_; }
    [[nodiscard]] bool empty() const { return sent_ == 0; }
    // These need at least one reply.
    [[nodiscard]] std::int64_t minUs() const { return min_; }
    [[nodiscard]] std::int64_t maxUs() const { return max_; }
    [[nodiscard]] double meanUs() const;
    // Nearest-rank quantile, q in [0, 1]: the value at rank ceil(q * replies) of the sorted replies.
    [[nodiscard]] std::int64_t quantileUs(double q) const;
    // Mean absolute difference of consecutive replies; 0 with fewer than two.
    [[nodiscard]] double jitterUs() const;

    // Histogram as a compact blob (varint pairs of bucket gap and count) and back. A damaged blob gives
    // false and leaves the histogram empty, never a crash.
    [[nodiscard]] std::string histogramBlob() const;
    [[nodiscard]] bool setHistogramBlob(const std::string& blob);

    // Raw fields, for the database row.
    struct Parts {
        std::uint64_t sent = 0, lost = 0;
        std::int64_t min = 0, max = 0, sum = 0;
        std::int64_t first = 0, last = 0; // first and last reply, for jitter across a merge
        std::int64_t jitterSum = 0;
        std::uint64_t jitterCount = 0;
    };
    [[nodiscard]] Parts parts() const;
    void setParts(const Parts& p);

    [[nodiscard]] static std::uint32_t bucketOf(std::int64_t rttUs);
    [[nodiscard]] static std::int64_t bucketMiddle(std::uint32_t bucket);

private:
    void mergeBuckets(const std::vector<std::pair<std::uint32_t, std::uint64_t>>& later);

    std::uint64_t sent_ = 0;
    std::uint64_t lost_ = 0;
    std::int64_t min_ = 0;
    std::int64_t max_ = 0;
    std::int64_t sum_ = 0;
    std::int64_t first_ = 0;
    std::int64_t last_ = 0;
    std::int64_t jitterSum_ = 0;
    std::uint64_t jitterCount_ = 0;
    // (bucket, count) in bucket order: a long view merges hundreds of these, and flat arrays merge in one pass
    // without a node per bucket.
    std::vector<std::pair<std::uint32_t, std::uint64_t>> buckets_;
};
