#include "tolvex/chat/QuillonRoomReloadHandler.h"

#include "p2p/Maker.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/util/ChatUtil.h"

std::vector<char> QuillonRoomReloadHandler::makeRoomReloadBody(uint32_t roomId, const std::string& userId) {
    std::vector<char> body(4096);
    Maker mk(body.data(), 4095);
    const std::string tenant = ChatUtil::getTenantId(userId);
    const uint32_t now = ChatUtil::getUTCTimeSecond();
    mk.mem(&roomId, sizeof roomId);
    mk.mem16(tenant.data(), static_cast<int>(tenant.size()));
    mk.mem(&now, sizeof now);
    body.resize(mk.len());
    return body;
}

std::string QuillonRoomReloadHandler::describeInput(const P2PPacket* pk) const {
    JobInput in(pk);
    const uint32_t roomId = in.u32();
    const std::string tenantId = in.str16(255);
    const uint32_t time = in.u32();
    return "room_id=" + std::to_string(roomId) + " tenant_id=" + logText(tenantId) +
           " time=" + std::to_string(time) + " user_id=" + logText(m_userId);
}
