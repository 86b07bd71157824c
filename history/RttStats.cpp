#include "history/RttStats.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace {

constexpr unsigned kSubBits = 6;
constexpr std::uint64_t kSub = 1u << kSubBits;           // buckets per octave
constexpr std::uint64_t kExactBelow = 2 * kSub;          // values below this have a bucket each
constexpr std::int64_t kLargest = std::int64_t{1} << 40; // far beyond any echo timeout

void putVarint(std::string& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7f) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

bool getVarint(const std::string& in, std::size_t& pos, std::uint64_t& v) {
    v = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
        if (pos >= in.size())
            return false;
        const auto byte = static_cast<unsigned char>(in[pos++]);
        v |= std::uint64_t{byte & 0x7fu} << shift;
        if ((byte & 0x80) == 0)
            return true;
    }
    return false;
}

} // namespace

std::uint32_t RttStats::bucketOf(std::int64_t rttUs) {
    const auto v = static_cast<std::uint64_t>(std::clamp<std::int64_t>(rttUs, 0, kLargest));
    if (v < kExactBelow)
        return static_cast<std::uint32_t>(v);
    const auto octave = static_cast<unsigned>(std::bit_width(v)) - 1; // >= kSubBits + 1
    const std::uint64_t sub = (v >> (octave - kSubBits)) & (kSub - 1);
    return static_cast<std::uint32_t>(kExactBelow + (octave - kSubBits - 1) * kSub + sub);
}

std::int64_t RttStats::bucketMiddle(std::uint32_t bucket) {
    if (bucket < kExactBelow)
        return bucket;
    const std::uint64_t octave = (bucket - kExactBelow) / kSub + kSubBits + 1;
    const std::uint64_t sub = (bucket - kExactBelow) % kSub;
    const std::uint64_t width = std::uint64_t{1} << (octave - kSubBits);
    return static_cast<std::int64_t>(((kSub + sub) << (octave - kSubBits)) + width / 2);
}

void RttStats::add(std::optional<std::int64_t> rttUs) {
    ++sent_;
    if (!rttUs) {
        ++lost_;
        return;
    }
    const std::int64_t v = std::clamp<std::int64_t>(*rttUs, 0, kLargest);
    if (replies() == 1) {
        min_ = max_ = first_ = v;
    } else {
        min_ = std::min(min_, v);
        max_ = std::max(max_, v);
        jitterSum_ += v > last_ ? v - last_ : last_ - v;
        ++jitterCount_;
    }
    last_ = v;
    sum_ += v;
    const std::uint32_t bucket = bucketOf(v);
    auto at = std::lower_bound(buckets_.begin(), buckets_.end(), bucket,
                               [](const auto& entry, std::uint32_t b) { return entry.first < b; });
    if (at != buckets_.end() && at->first == bucket)
        ++at->second;
    else
        buckets_.insert(at, {bucket, 1});
}

void RttStats::merge(const RttStats& later) {
    if (later.replies() > 0) {
        if (replies() == 0) {
            min_ = later.min_;
            max_ = later.max_;
            first_ = later.first_;
        } else {
            min_ = std::min(min_, later.min_);
            max_ = std::max(max_, later.max_);
            jitterSum_ += later.first_ > last_ ? later.first_ - last_ : last_ - later.first_;
            ++jitterCount_;
        }
        last_ = later.last_;
        sum_ += later.sum_;
        jitterSum_ += later.jitterSum_;
        jitterCount_ += later.jitterCount_;
        mergeBuckets(later.buckets_);
    }
    sent_ += later.sent_;
    lost_ += later.lost_;
}

void RttStats::mergeBuckets(const std::vector<std::pair<std::uint32_t, std::uint64_t>>& later) {
    if (buckets_.empty()) {
        buckets_ = later;
        return;
    }
    std::vector<std::pair<std::uint32_t, std::uint64_t>> merged;
    merged.reserve(buckets_.size() + later.size());
    auto a = buckets_.begin();
    auto b = later.begin();
    while (a != buckets_.end() && b != later.end()) {
        if (a->first < b->first) {
            merged.push_back(*a++);
        } else if (b->first < a->first) {
            merged.push_back(*b++);
        } else {
            merged.emplace_back(a->first, a->second + b->second);
            ++a;
            ++b;
        }
    }
    merged.insert(merged.end(), a, buckets_.end());
    merged.insert(merged.end(), b, later.end());
    buckets_ = std::move(merged);
}

double RttStats::meanUs() const {
    return replies() == 0 ? 0.0 : static_cast<double>(sum_) / static_cast<double>(replies());
}

double RttStats::jitterUs() const {
    return jitterCount_ == 0 ? 0.0 : static_cast<double>(jitterSum_) / static_cast<double>(jitterCount_);
}

std::int64_t RttStats::quantileUs(double q) const {
    std::uint64_t total = 0;
    for (const auto& entry : buckets_)
        total += entry.second;
    if (total == 0)
        return 0;
    const double wanted = std::ceil(std::clamp(q, 0.0, 1.0) * static_cast<double>(total));
    const std::uint64_t rank = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(wanted));
    std::uint64_t seen = 0;
    for (const auto& [bucket, count] : buckets_) {
        seen += count;
        if (seen >= rank)
            return std::clamp(bucketMiddle(bucket), min_, max_);
    }
    return max_;
}

std::string RttStats::histogramBlob() const {
    std::string out;
    std::uint32_t previous = 0;
    for (const auto& [bucket, count] : buckets_) {
        putVarint(out, bucket - previous);
        putVarint(out, count);
        previous = bucket;
    }
    return out;
}

bool RttStats::setHistogramBlob(const std::string& blob) {
    buckets_.clear();
    std::uint64_t bucket = 0;
    std::size_t pos = 0;
    while (pos < blob.size()) {
        std::uint64_t gap = 0;
        std::uint64_t count = 0;
        if (!getVarint(blob, pos, gap) || !getVarint(blob, pos, count) || gap > bucketOf(kLargest) ||
            bucket + gap > bucketOf(kLargest)) {
            buckets_.clear();
            return false;
        }
        bucket += gap;
        // Gaps never go back, so the buckets arrive in order; a zero gap adds to the bucket before.
        if (!buckets_.empty() && buckets_.back().first == bucket)
            buckets_.back().second += count;
        else
            buckets_.emplace_back(static_cast<std::uint32_t>(bucket), count);
    }
    return true;
}

RttStats::Parts RttStats::parts() const {
    return Parts{sent_, lost_, min_, max_, sum_, first_, last_, jitterSum_, jitterCount_};
}

void RttStats::setParts(const Parts& p) {
    sent_ = p.sent;
    lost_ = std::min(p.lost, p.sent);
    min_ = p.min;
    max_ = p.max;
    sum_ = p.sum;
    first_ = p.first;
    last_ = p.last;
    jitterSum_ = p.jitterSum;
    jitterCount_ = p.jitterCount;
}
