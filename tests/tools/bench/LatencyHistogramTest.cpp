// Percentiles of the latency histogram: exact where it promises to be,
// within its stated relative error elsewhere, and sane at the edges.

#include <gtest/gtest.h>

#include <cstdint>

#include "bench/LatencyHistogram.h"

namespace {

using bench::LatencyHistogram;

class LatencyHistogramTest : public ::testing::Test {
protected:
    // Records every value in [from, to].
    void recordRange(uint64_t from, uint64_t to) {
        for (uint64_t v = from; v <= to; ++v) m_h.record(v);
    }

    // The histogram promises 1/32 relative error above 64 us.
    static void expectNear(uint64_t expected, uint64_t actual) {
        EXPECT_GE(actual, expected);
        EXPECT_LE(static_cast<double>(actual), static_cast<double>(expected) * (1 + 1.0 / 32)) << expected;
    }

    LatencyHistogram m_h;
};

TEST_F(LatencyHistogramTest, EmptyHistogramReportsZeros) {
    EXPECT_EQ(0u, m_h.count());
    EXPECT_EQ(0u, m_h.percentile(50));
    EXPECT_EQ(0u, m_h.min());
    EXPECT_EQ(0u, m_h.max());
    EXPECT_EQ(0.0, m_h.mean());
}

TEST_F(LatencyHistogramTest, SmallValuesAreExact) {
    recordRange(1, 50);
    EXPECT_EQ(25u, m_h.percentile(50));
    EXPECT_EQ(45u, m_h.percentile(90));
    EXPECT_EQ(50u, m_h.percentile(99));
    EXPECT_EQ(50u, m_h.percentile(100));
    EXPECT_EQ(1u, m_h.min());
    EXPECT_DOUBLE_EQ(25.5, m_h.mean());
}

TEST_F(LatencyHistogramTest, LargeValuesStayWithinTheRelativeError) {
    recordRange(1, 100000);
    expectNear(50000, m_h.percentile(50));
    expectNear(90000, m_h.percentile(90));
    expectNear(99000, m_h.percentile(99));
    expectNear(99900, m_h.percentile(99.9));
}

TEST_F(LatencyHistogramTest, PercentileNeverExceedsTheLargestSample) {
    m_h.record(1000);
    m_h.record(1001);
    EXPECT_EQ(1001u, m_h.percentile(100));
    EXPECT_EQ(1001u, m_h.max());
}

TEST_F(LatencyHistogramTest, TailPercentileSeesASingleOutlier) {
    for (int i = 0; i < 999; ++i) m_h.record(100);
    m_h.record(50000);
    EXPECT_LE(m_h.percentile(99.9), 103u);
    expectNear(50000, m_h.percentile(100));
}

TEST_F(LatencyHistogramTest, HugeValuesShareTheLastBucketWithoutOverflow) {
    m_h.record(UINT64_MAX / 4);
    m_h.record(5);
    EXPECT_EQ(2u, m_h.count());
    EXPECT_EQ(UINT64_MAX / 4, m_h.max());
    EXPECT_EQ(5u, m_h.percentile(50));
}

TEST_F(LatencyHistogramTest, EveryValueLiesWithinItsBucket) {
    uint64_t previousBound = 0;
    for (uint64_t v = 1; v < (uint64_t{1} << 30); v = v * 3 / 2 + 1) {
        const size_t b = LatencyHistogram::bucketOf(v);
        EXPECT_GE(LatencyHistogram::bucketUpperBound(b), v);
        if (b > 0) {
            EXPECT_LT(LatencyHistogram::bucketUpperBound(b - 1), v) << v;
        }
        EXPECT_GE(LatencyHistogram::bucketUpperBound(b), previousBound);
        previousBound = LatencyHistogram::bucketUpperBound(b);
    }
}

TEST_F(LatencyHistogramTest, MergeAddsBothSides) {
    LatencyHistogram other;
    recordRange(1, 10);
    for (uint64_t v = 11; v <= 20; ++v) other.record(v);
    m_h.merge(other);
    EXPECT_EQ(20u, m_h.count());
    EXPECT_EQ(10u, m_h.percentile(50));
    EXPECT_EQ(20u, m_h.max());
    EXPECT_EQ(1u, m_h.min());
}

}  // namespace
