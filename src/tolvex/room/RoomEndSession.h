#pragma once
// The socketless companion of an end-room job, started for a room that was
// idle too long. Heap-only: made with new on the event-loop thread (worker
// threads post the start there); deletes itself in setExpired(), which the
// job calls once (callEndRoomPage does it when no job starts).

#include <cstdint>
#include <string>
#include <vector>

#include "tolvex/session/ChatSession.h"

class RoomEndSession : public ChatSession {
public:
    RoomEndSession() = default;

    // Starts the end-room job for roomId of tenantId. The job owns this dummy
    // from here on; with roomId 0 no job starts and the dummy is released at
    // once. Touch nothing of this after the call.
    void callEndRoomPage(uint32_t roomId, const std::string& tenantId);

    // The job input: room id, tenantId as given, the current UTC seconds.
    static std::vector<char> createRoomEndPacket(uint32_t roomId, const std::string& tenantId);

    void setExpired() override;

protected:
    ~RoomEndSession() override = default;
};
