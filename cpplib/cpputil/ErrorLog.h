#pragma once
// Failures the framework meets on its own — a posted task or a timer that
// threw, a client cut off at its send limit, a connection refused for want
// of descriptors, a framing error — reach the operator through the line sink
// the application installs (tolvexd points it at its command log). Without a
// sink they are dropped, as in the tools. Each site writes at most
// kLinesPerSecond lines a second; the lines left out are counted in the next
// line it writes. Any thread.

#include <functional>
#include <string>

#include "cpputil/Trace.h"

namespace errorlog {

inline constexpr int kLinesPerSecond = 10;

using Sink = std::function<void(const std::string& line)>;
// An empty sink turns reporting off.
void setSink(Sink sink);
// site tells lines of different places apart for the rate limit.
void report(const char* site, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace errorlog

#define ERRORLOG_STR2(x) #x
#define ERRORLOG_STR(x) ERRORLOG_STR2(x)
// A trace point that also reaches the operator.
#define REPORT_ERROR(level, ...)                                                  \
    do {                                                                          \
        TRACE(level, __VA_ARGS__);                                                \
        errorlog::report(__FILE__ ":" ERRORLOG_STR(__LINE__), __VA_ARGS__);       \
    } while (0)
