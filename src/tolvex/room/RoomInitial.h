#pragma once
// The socketless companion of a room-list job (loading the rooms that have
// not ended). Heap-only: made with new by RoomInitTask on the event-loop
// thread, it deletes itself in setExpired(), which the job calls once.

#include "tolvex/session/ChatSession.h"

class RoomInitial : public ChatSession {
public:
    RoomInitial() = default;

    // Deletes this: nothing may use the session afterwards.
    void setExpired() override;
    // There is no socket and no factory behind it: nothing to tear down.
    void destroy() override {}

protected:
    // Only setExpired() deletes it.
    ~RoomInitial() override = default;
};
