#pragma once
// The socketless companion of a room-reload job, started when a client joins
// a room the daemon does not hold. Heap-only: made with new by the join
// handling on the event-loop thread; deletes itself in setExpired(), which
// the job calls once (callReloadRoomPage does it when no job starts).

#include <cstdint>
#include <string>
#include <vector>

#include "tolvex/session/ChatSession.h"

class P2PPacket;

class RoomReload : public ChatSession {
public:
    RoomReload() = default;

    // Starts the reload job for roomId on behalf of userId, whose request pk
    // and session caused it (the job keeps them for the log only). The job
    // owns this dummy from here on; with roomId 0 no job starts and the
    // dummy is released at once. Touch nothing of this after the call.
    void callReloadRoomPage(const P2PPacket* pk, uint32_t roomId, const std::string& userId, ChatSession* session);

    // The job input: room id, the tenant of userId, the current UTC seconds.
    static std::vector<char> createRoomReloadPacket(uint32_t roomId, const std::string& userId);

    void setExpired() override;
    void destroy() override {}

protected:
    ~RoomReload() override = default;
};
