#pragma once
// The WAS job that loads one room a client asked for but the daemon does not
// hold (page was_load_room): members missing from memory are added, those
// present are left alone, and nobody is answered. Owns itself: made with new
// by RoomReload::callReloadRoomPage() with that RoomReload as companion,
// which done() releases. Event-loop thread.

#include <cstdint>
#include <string>

#include "tolvex/chat/QuillonJob.h"
#include "tolvex/chat/RoomRowsJob.h"

class QuillonRoomReloadHandler : public RoomRowsJob {
public:
    // pk and session are the join that caused the reload; the job keeps only
    // the request's transaction id, for its log line (the session may be
    // gone long before the reply).
    QuillonRoomReloadHandler(const P2PPacket* pk, std::string userId, ChatSession* session);

    void doit(ChatSession* pFrom, const P2PPacket* pk) override;

protected:
    ~QuillonRoomReloadHandler() override = default;

    int getWASInfo(const P2PPacket* pk, std::string* page, URLEncode* form) override;
    // Adds the row's member unless the room already holds it.
    void applyRow(const RoomNotEnd& row) override;
    void done(uint16_t rescode) override;

private:
    std::string m_userId;  // the joining user
    uint32_t m_roomId = 0;
    uint32_t m_joinTrid = 0;
};
