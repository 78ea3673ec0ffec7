#pragma once
// The thread that runs the event loop, so that code meant for the loop
// alone (session pushes and events, timers, WAS jobs, registry reads that
// hand out pointers) can check its caller. The poller claims its thread at
// each dispatch and gives it up when it is destroyed. Before any loop ran,
// every thread passes: start-up code and tests that drive no loop.
// ASSERT_IN_LOOP_THREAD aborts in debug and sanitizer builds (no NDEBUG) and
// costs nothing in release builds.

#include <cassert>

namespace loopthread {

// The calling thread runs the event loop from now on.
void claim();
// No thread runs the event loop.
void release();
// True when no loop is claimed or the calling thread runs it.
bool isCurrent();

}  // namespace loopthread

#define ASSERT_IN_LOOP_THREAD() \
    assert(loopthread::isCurrent() && "event-loop operation called from another thread")
