#pragma once
// A token bucket: at most `burst` events at once and `rate` a second on
// average. The caller passes the time in, so one clock reading can serve a
// whole loop pass and tests can step the clock themselves. A plain value,
// owned by whatever it limits; one thread at a time.

#include <chrono>

class TokenBucket {
public:
    using Clock = std::chrono::steady_clock;

    // Off: every take() succeeds.
    TokenBucket() = default;
    // rate events a second, at most burst at once; rate 0 is off. Starts full.
    TokenBucket(int rate, int burst, Clock::time_point now);

    // Spends one token if there is one; false when the limit is reached.
    bool take(Clock::time_point now);
    // Whether the bucket has refilled to its burst by now: it then holds no
    // history, and a fresh bucket would act the same.
    bool full(Clock::time_point now) const;
    bool off() const { return m_rate <= 0; }

private:
    double tokensAt(Clock::time_point now) const;

    double m_rate = 0;  // tokens a second
    double m_burst = 0;
    double m_tokens = 0;
    Clock::time_point m_last{};
};
