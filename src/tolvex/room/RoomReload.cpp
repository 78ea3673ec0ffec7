#include "tolvex/room/RoomReload.h"

#include "tolvex/chat/OutPacket.h"
#include "tolvex/chat/QuillonRoomReloadHandler.h"
#include "tolvex/room/RoomEndSession.h"
#include "tolvex/util/ChatCodes.h"
#include "tolvex/util/ChatUtil.h"

std::vector<char> RoomReload::createRoomReloadPacket(uint32_t roomId, const std::string& userId) {
    // The same layout as the end-room input, with the tenant of the user.
    return RoomEndSession::createRoomEndPacket(roomId, ChatUtil::getTenantId(userId));
}

void RoomReload::callReloadRoomPage(const P2PPacket* pk, uint32_t roomId, const std::string& userId,
                                    ChatSession* session) {
    if (roomId == 0) {
        setExpired();
        return;
    }
    const OutPacket input(WAS_JOB, createRoomReloadPacket(roomId, userId));
    (new QuillonRoomReloadHandler(pk, userId, session))->doit(this, input.get());
}

void RoomReload::setExpired() {
    delete this;
}
