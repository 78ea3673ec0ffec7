#include "tolvex/chat/QuillonRequestFailUserHandler.h"

#include <string>

#include "tolvex/chat/MsgText.h"

std::string QuillonRequestFailUserHandler::describeInput(const P2PPacket* pk) const {
    JobInput in(pk);
    const uint32_t roomId = in.u32();
    const uint32_t msgNum = in.u32();
    const std::string tenantId = in.str16(255);
    return "room_id=" + std::to_string(roomId) + " msg_num=" + std::to_string(msgNum) +
           " tenant_id=" + logText(tenantId);
}
