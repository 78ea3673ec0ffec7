#include "net/AddressRateLimiter.h"

#include <netinet/in.h>

namespace {

bool isLoopback(uint32_t addr) {
    return (ntohl(addr) >> 24) == 127;
}

// A sweep walks the whole table; once a second keeps that cheap next to the
// accepts it serves.
constexpr auto kSweepInterval = std::chrono::seconds(1);

}  // namespace

void AddressRateLimiter::configure(int rate, int burst, bool limitLoopback) {
    if (rate == m_rate && burst == m_burst && limitLoopback == m_limitLoopback) return;
    m_rate = rate;
    m_burst = burst;
    m_limitLoopback = limitLoopback;
    m_entries.clear();
}

AddressRateLimiter::verdict_t AddressRateLimiter::admit(uint32_t addr, Clock::time_point now) {
    if (m_rate <= 0 || (!m_limitLoopback && isLoopback(addr))) return ADMIT;
    if (now >= m_nextSweep) {
        expireIdle(now);
        m_nextSweep = now + kSweepInterval;
    }
    auto it = m_entries.find(addr);
    if (it == m_entries.end()) {
        if (m_entries.size() >= kMaxAddresses) return ADMIT;
        it = m_entries.emplace(addr, entry_t{TokenBucket(m_rate, m_burst, now), false}).first;
    }
    entry_t& e = it->second;
    // An episode ends once the address has slowed down long enough to earn
    // its whole burst back; a connection let in now and then at the rate
    // does not end it, or a steady flood would log a line per token.
    if (e.refusing && e.bucket.full(now)) e.refusing = false;
    if (e.bucket.take(now)) return ADMIT;
    if (e.refusing) return REFUSE;
    e.refusing = true;
    return REFUSE_FIRST;
}

// A full bucket remembers nothing a fresh one would not (its episode, if
// any, is over), so the entry can go.
void AddressRateLimiter::expireIdle(Clock::time_point now) {
    std::erase_if(m_entries, [now](const auto& kv) { return kv.second.bucket.full(now); });
}
