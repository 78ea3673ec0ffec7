#pragma once
// Small conversions both load drivers (tolvexd and the Redis peer) use.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "bench/BenchConnection.h"

namespace bench {

inline double seconds(BenchConnection::Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Whole microseconds of d; 0 for a negative duration.
inline uint64_t micros(BenchConnection::Clock::duration d) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(d).count();
    return us > 0 ? static_cast<uint64_t>(us) : 0;
}

inline BenchConnection::Clock::duration toDuration(double sec) {
    return std::chrono::duration_cast<BenchConnection::Clock::duration>(std::chrono::duration<double>(sec));
}

// Lower-case hex digits text[from, from + digits) into *out; false on any
// other character or when text is too short.
inline bool parseHex(const std::string& text, size_t from, size_t digits, uint64_t* out) {
    if (text.size() < from + digits) return false;
    uint64_t value = 0;
    for (size_t i = from; i < from + digits; ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else return false;
        value = value << 4 | static_cast<uint64_t>(digit);
    }
    *out = value;
    return true;
}

}  // namespace bench
