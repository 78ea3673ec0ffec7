#pragma once
// Latency samples in microseconds, kept in log-linear buckets: exact below
// 64 us, within 1/32 of the value above, in a fixed amount of memory however
// long a run lasts. A value owned by the load runner; one thread at a time.

#include <array>
#include <cstddef>
#include <cstdint>

namespace bench {

class LatencyHistogram {
public:
    void record(uint64_t micros);
    void merge(const LatencyHistogram& other);

    uint64_t count() const { return m_count; }
    uint64_t min() const { return m_count ? m_min : 0; }
    uint64_t max() const { return m_max; }
    double mean() const { return m_count ? static_cast<double>(m_sum) / static_cast<double>(m_count) : 0; }
    // The smallest recorded bucket value at or below which at least
    // percent% of the samples lie (its upper bound, never above max());
    // 0 without samples. percent is clamped to 0..100.
    uint64_t percentile(double percent) const;

    // Bucket arithmetic, exposed for tests.
    static size_t bucketOf(uint64_t micros);
    static uint64_t bucketUpperBound(size_t bucket);

private:
    static constexpr unsigned kSubBits = 5;                 // 32 sub-buckets per power of two
    static constexpr uint64_t kSub = uint64_t{1} << kSubBits;
    static constexpr unsigned kMaxExponent = 40;            // about 12 days in microseconds
    static constexpr size_t kBuckets = 2 * kSub + (kMaxExponent - kSubBits) * kSub;

    std::array<uint64_t, kBuckets> m_buckets{};
    uint64_t m_count = 0;
    uint64_t m_sum = 0;
    uint64_t m_min = UINT64_MAX;
    uint64_t m_max = 0;
};

}  // namespace bench
