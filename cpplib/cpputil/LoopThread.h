#pragma once
// The thread that runs the event loop, so that code meant for the loop
// alone (session pushes and events, timers, WAS jobs, registry reads that
// hand out pointers) can check its caller. The poller claims its thread at
// each dispatch and gives it up when it is destroyed. Before any loop ran,
// every thread passes: start-up code and tests that drive no loop.
// ASSERT_IN_LOOP_THREAD aborts in debug builds and builds with
// TOLVEX_LOOP_CHECKS (every test run), and costs nothing elsewhere.

namespace loopthread {

// The calling thread runs the event loop from now on.
void claim();
// No thread runs the event loop.
void release();
// True when no loop is claimed or the calling thread runs it.
bool isCurrent();
// Says which check failed, and aborts.
[[noreturn]] void violated(const char* file, int line);

}  // namespace loopthread

#if defined(TOLVEX_LOOP_CHECKS) || !defined(NDEBUG)
#define ASSERT_IN_LOOP_THREAD() \
    (loopthread::isCurrent() ? (void)0 : loopthread::violated(__FILE__, __LINE__))
#else
#define ASSERT_IN_LOOP_THREAD() ((void)0)
#endif
