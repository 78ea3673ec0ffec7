#pragma once
// Hands work that belongs to the event-loop thread (WAS job starts, room
// and session lookups) from a worker thread to the loop. Any thread.

#include <functional>

namespace LoopPost {

// Runs task now when called on the loop thread, or when there is no
// application (unit tests driving handlers on their own thread); otherwise
// posts it to the loop, which runs it at its next pass.
void toLoop(std::function<void()> task);

// Tests: route posted tasks to sink instead of the application; an empty
// function restores the default.
using Sink = std::function<void(std::function<void()>)>;
void setSink(Sink sink);

}  // namespace LoopPost
