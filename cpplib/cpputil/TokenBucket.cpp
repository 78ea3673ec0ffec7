#include "cpputil/TokenBucket.h"

#include <algorithm>

TokenBucket::TokenBucket(int rate, int burst, Clock::time_point now)
    : m_rate(std::max(rate, 0)), m_burst(std::max(burst, 1)), m_tokens(m_burst), m_last(now) {}

double TokenBucket::tokensAt(Clock::time_point now) const {
    // A clock that seems to go back (a caller mixing readings) refills nothing.
    const double elapsed = std::max(std::chrono::duration<double>(now - m_last).count(), 0.0);
    return std::min(m_burst, m_tokens + elapsed * m_rate);
}

bool TokenBucket::take(Clock::time_point now) {
    if (off()) return true;
    m_tokens = tokensAt(now);
    m_last = std::max(m_last, now);
    if (m_tokens < 1) return false;
    m_tokens -= 1;
    return true;
}

bool TokenBucket::full(Clock::time_point now) const {
    return off() || tokensAt(now) >= m_burst;
}
