#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

namespace skirmish {

// Milliseconds in fixed buckets of 0.05 ms up to 500 ms (later ones share the last
// bucket; the maximum is kept exactly): constant memory, however many samples.
class LatencyHistogram {
public:
    void record(double ms)
    {
        ms = std::max(ms, 0.0);
        auto bucket = std::min<size_t>(static_cast<size_t>(ms / kBucketMs), kBuckets - 1);
        ++counts_[bucket];
        ++total_;
        max_ = std::max(max_, ms);
    }

    void merge(const LatencyHistogram& other)
    {
        for (size_t i = 0; i < kBuckets; ++i)
            counts_[i] += other.counts_[i];
        total_ += other.total_;
        max_ = std::max(max_, other.max_);
    }

    // The upper edge of the bucket holding the p-th percentile (p from 0 to 100).
    double percentile(double p) const
    {
        if (total_ == 0)
            return 0;
        auto rank = static_cast<uint64_t>(p / 100.0 * static_cast<double>(total_ - 1)) + 1;
        uint64_t seen = 0;
        for (size_t i = 0; i < kBuckets; ++i) {
            seen += counts_[i];
            if (seen >= rank)
                return i + 1 == kBuckets ? max_ : std::min((static_cast<double>(i) + 1) * kBucketMs, max_);
        }
        return max_;
    }

    double max() const { return max_; }
    uint64_t count() const { return total_; }

private:
    static constexpr double kBucketMs = 0.05;
    static constexpr size_t kBuckets = 10000;
    std::array<uint64_t, kBuckets> counts_{};
    uint64_t total_ = 0;
    double max_ = 0;
};

} // namespace skirmish
