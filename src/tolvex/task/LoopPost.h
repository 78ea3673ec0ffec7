#pragma once
// Hands work that belongs to the event-loop thread (WAS job starts, room
// and session lookups) from a worker thread to the loop. Any thread.

#include <cstddef>
#include <functional>

namespace LoopPost {

// Runs task now when called on the loop thread, or when there is no
// application (unit tests driving handlers on their own thread); otherwise
// posts it to the loop, which runs it at its next pass.
void toLoop(std::function<void()> task);

// Like toLoop, but from the loop thread too the task waits for the next
// pass (so the loop gets to its sockets first).
void nextPass(std::function<void()> task);

// Calls each(0) .. each(count - 1) in order on the loop thread, as many as
// fit about two milliseconds a pass, so that a batch of thousands of
// notices never holds relays up for longer than that. Any thread.
void inSlices(size_t count, std::function<void(size_t)> each);

// Tests: route posted tasks to sink instead of the application; an empty
// function restores the default.
using Sink = std::function<void(std::function<void()>)>;
void setSink(Sink sink);

}  // namespace LoopPost
