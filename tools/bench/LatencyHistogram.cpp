#include "bench/LatencyHistogram.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace bench {

size_t LatencyHistogram::bucketOf(uint64_t micros) {
    if (micros < 2 * kSub) return static_cast<size_t>(micros);
    // Anything beyond the last power of two shares the last bucket.
    const uint64_t top = (uint64_t{1} << (kMaxExponent + 1)) - 1;
    const uint64_t v = std::min(micros, top);
    const unsigned exponent = static_cast<unsigned>(std::bit_width(v)) - 1;  // >= kSubBits + 1
    const uint64_t sub = v >> (exponent - kSubBits);                          // kSub .. 2*kSub-1
    return static_cast<size_t>(2 * kSub + (exponent - kSubBits - 1) * kSub + (sub - kSub));
}

uint64_t LatencyHistogram::bucketUpperBound(size_t bucket) {
    if (bucket < 2 * kSub) return bucket;
    const size_t above = bucket - 2 * kSub;
    const unsigned exponent = static_cast<unsigned>(above / kSub) + kSubBits + 1;
    const uint64_t sub = kSub + above % kSub;
    return ((sub + 1) << (exponent - kSubBits)) - 1;
}

void LatencyHistogram::record(uint64_t micros) {
    ++m_buckets[bucketOf(micros)];
    ++m_count;
    m_sum += micros;
    m_min = std::min(m_min, micros);
    m_max = std::max(m_max, micros);
}

void LatencyHistogram::merge(const LatencyHistogram& other) {
    for (size_t i = 0; i < kBuckets; ++i) m_buckets[i] += other.m_buckets[i];
    m_count += other.m_count;
    m_sum += other.m_sum;
    m_min = std::min(m_min, other.m_min);
    m_max = std::max(m_max, other.m_max);
}

uint64_t LatencyHistogram::percentile(double percent) const {
    if (m_count == 0) return 0;
    const double p = std::clamp(percent, 0.0, 100.0);
    // The rank of the sample that percent% of the samples do not exceed. The
    // slack keeps 99.9% of 1000 at rank 999: 0.999 * 1000 is 999.0000000000001.
    const double exact = p / 100.0 * static_cast<double>(m_count);
    const auto rank = std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(exact - 1e-9)));
    uint64_t seen = 0;
    for (size_t i = 0; i < kBuckets; ++i) {
        seen += m_buckets[i];
        if (seen >= rank) return std::min(bucketUpperBound(i), m_max);
    }
    return m_max;
}

}  // namespace bench
