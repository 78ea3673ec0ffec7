#pragma once
// New connections per second per peer IPv4 address, for a listener's accept
// path: a token bucket per address, kept only while it holds history, so the
// table stays bounded by the addresses seen within one refill time (and by
// kMaxAddresses). Owned by the application object; event-loop thread only.

#include <cstdint>
#include <unordered_map>

#include "cpputil/TokenBucket.h"

class AddressRateLimiter {
public:
    using Clock = TokenBucket::Clock;

    // Addresses tracked at most. Past this a new address is let in
    // untracked, as it would be with a fresh, full bucket, until idle
    // entries expire: refusing it would punish whoever came last.
    static constexpr size_t kMaxAddresses = 65536;

    enum verdict_t {
        ADMIT,
        REFUSE_FIRST,  // refused, and the first refusal of an episode: worth a log line
        REFUSE,        // refused again in the same episode
    };

    AddressRateLimiter() = default;
    AddressRateLimiter(const AddressRateLimiter&) = delete;
    AddressRateLimiter& operator=(const AddressRateLimiter&) = delete;

    // rate connections a second per address, burst at once; rate 0 is off.
    // Loopback peers (127.0.0.0/8, a local proxy or tool) are limited only
    // when limitLoopback. A change forgets what was counted.
    void configure(int rate, int burst, bool limitLoopback);
    // addr in network order, as accept() gives it.
    verdict_t admit(uint32_t addr, Clock::time_point now);
    size_t trackedAddresses() const { return m_entries.size(); }

private:
    struct entry_t {
        TokenBucket bucket;
        bool refusing = false;  // in an episode: refused, and not refilled since
    };
    void expireIdle(Clock::time_point now);

    int m_rate = 0;
    int m_burst = 1;
    bool m_limitLoopback = false;
    std::unordered_map<uint32_t, entry_t> m_entries;
    Clock::time_point m_nextSweep{};
};
