#include "tolvex/chat/QuillonNPushHandler.h"

#include <string>

#include "tolvex/chat/MsgText.h"

std::string QuillonNPushHandler::describeInput(const P2PPacket* pk) const {
    // The input fields in order, with the limits the WAS page accepts. The
    // message itself stays out of the log: only its size is shown.
    JobInput in(pk);
    const uint32_t roomId = in.u32();
    const std::string senderId = in.str16(255);
    const std::string senderNickNm = in.str16(255);
    const std::string msg = in.str16(8191);
    const uint32_t msgSeq = in.u32();
    const uint8_t msgType = in.u8();
    const uint32_t talkTime = in.u32();
    const std::string toUserId = in.str16();
    const std::string serviceIp = in.str16(29);
    const uint32_t servicePort = in.u32();
    const uint32_t memberCount = in.u32();

    return "room_id=" + std::to_string(roomId) + " userid=" + logText(toUserId) + " senderId=" + logText(senderId) +
           " senderNickNm=" + logText(senderNickNm) + " data_size=" + std::to_string(msg.size()) +
           " msgSeq=" + std::to_string(msgSeq) + " msgType=" + std::to_string(msgType == 0 ? 1 : msgType) +
           " time=" + std::to_string(talkTime) + " conn=" + logText(serviceIp) + ":" + std::to_string(servicePort) +
           " mbCnt=" + std::to_string(memberCount);
}
