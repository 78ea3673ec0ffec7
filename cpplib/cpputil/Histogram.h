#pragma once
// A histogram with fixed upper bounds that any thread may add to: relaxed
// atomics, so an observation costs a bucket search and three atomic adds,
// and a reader may see one observation in the count before it is in the
// sum. Made once by its owner (a metrics registry) and never resized.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

class Histogram {
public:
    // bounds: the buckets' upper bounds, ascending; +Inf is implied.
    explicit Histogram(std::vector<double> bounds);
    Histogram(const Histogram&) = delete;
    Histogram& operator=(const Histogram&) = delete;

    void observe(double value);

    struct snapshot_t {
        std::vector<double> bounds;
        std::vector<uint64_t> cumulative;  // observations <= each bound
        uint64_t count = 0;                // every observation (the +Inf bucket)
        double sum = 0;
    };
    snapshot_t snapshot() const;

private:
    const std::vector<double> m_bounds;
    // One per bound plus one past the last; counted per bucket, summed up
    // only when read, so an observation touches one of them.
    std::unique_ptr<std::atomic<uint64_t>[]> m_buckets;
    std::atomic<uint64_t> m_count{0};
    std::atomic<double> m_sum{0};
};
