#include "tolvex/room/RoomEndSession.h"

#include "p2p/Maker.h"
#include "tolvex/chat/OutPacket.h"
#include "tolvex/chat/QuillonEndRoomHandler.h"
#include "tolvex/util/ChatCodes.h"
#include "tolvex/util/ChatUtil.h"

std::vector<char> RoomEndSession::createRoomEndPacket(uint32_t roomId, const std::string& tenantId) {
    std::vector<char> body(4096);
    Maker mk(body.data(), 4095);
    const uint32_t now = ChatUtil::getUTCTimeSecond();
    mk.mem(&roomId, sizeof roomId);
    mk.mem16(tenantId.data(), static_cast<int>(tenantId.size()));
    mk.mem(&now, sizeof now);
    body.resize(mk.len());
    return body;
}

void RoomEndSession::callEndRoomPage(uint32_t roomId, const std::string& tenantId) {
    if (roomId == 0) {
        setExpired();
        return;
    }
    const OutPacket input(WAS_JOB, createRoomEndPacket(roomId, tenantId));
    (new QuillonEndRoomHandler())->doit(this, input.get());
}

void RoomEndSession::setExpired() {
    delete this;
}
