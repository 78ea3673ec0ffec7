#include "cpputil/Histogram.h"

#include <algorithm>

Histogram::Histogram(std::vector<double> bounds)
    : m_bounds(std::move(bounds)), m_buckets(new std::atomic<uint64_t>[m_bounds.size() + 1]) {
    for (size_t i = 0; i <= m_bounds.size(); ++i) m_buckets[i].store(0, std::memory_order_relaxed);
}

void Histogram::observe(double value) {
    // A bound is inclusive: le="0.001" counts 0.001 itself.
    const size_t i = static_cast<size_t>(std::lower_bound(m_bounds.begin(), m_bounds.end(), value) - m_bounds.begin());
    m_buckets[i].fetch_add(1, std::memory_order_relaxed);
    m_count.fetch_add(1, std::memory_order_relaxed);
    m_sum.fetch_add(value, std::memory_order_relaxed);
}

Histogram::snapshot_t Histogram::snapshot() const {
    snapshot_t s;
    s.bounds = m_bounds;
    uint64_t running = 0;
    for (size_t i = 0; i < m_bounds.size(); ++i) {
        running += m_buckets[i].load(std::memory_order_relaxed);
        s.cumulative.push_back(running);
    }
    running += m_buckets[m_bounds.size()].load(std::memory_order_relaxed);
    // The count is the buckets' total, so +Inf and _count always agree
    // however the adds of a concurrent observation interleave.
    s.count = running;
    s.sum = m_sum.load(std::memory_order_relaxed);
    return s;
}
