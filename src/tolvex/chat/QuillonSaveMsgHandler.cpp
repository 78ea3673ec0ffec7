#include "tolvex/chat/QuillonSaveMsgHandler.h"

#include <string>

#include "tolvex/chat/MsgText.h"

std::string QuillonSaveMsgHandler::describeInput(const P2PPacket* pk) const {
    // The input fields in order, with the limits the WAS page accepts.
    JobInput in(pk);
    const uint32_t roomId = in.u32();
    const std::string userId = in.str16(255);
    const std::string userNickName = in.str16(255);
    const std::string msg = in.str16(8191);
    const uint32_t msgSeq = in.u32();
    const uint8_t msgType = in.u8();
    const uint32_t talkTime = in.u32();
    const std::string recvUserList = in.str16();
    const std::string recvUserNickNmList = in.str16();
    const std::string recvUserJoinSeqList = in.str16(255);
    const std::string readYnList = in.str16(255);
    const uint32_t memberCount = in.u32();
    const uint32_t trid = in.u32();
    const uint16_t osType = in.u16();
    const uint16_t roomType = in.u16();
    const std::string fileName = in.str16(2047);
    const uint32_t fileSize = in.u32();
    const std::string fileUrl = in.str16(4095);

    return "room_id=" + std::to_string(roomId) + " send_user_id=" + logText(userId) +
           " send_user_nick_name=" + logText(userNickName) + " msg_seq=" + std::to_string(msgSeq) +
           " msg_type=" + std::to_string(msgType == 0 ? 1 : msgType) +
           " recv_user_list=" + logText(recvUserList) +
           " recv_user_nick_nm_list=" + logText(recvUserNickNmList) +
           " recv_user_join_seq_list=" + logText(recvUserJoinSeqList) +
           " read_yn_list=" + logText(readYnList) + " time=" + std::to_string(talkTime) +
           " data_size=" + std::to_string(msg.size()) + " member_count=" + std::to_string(memberCount) +
           " trid=" + std::to_string(trid) + " os_type=" + std::to_string(osType) +
           " room_type=" + std::to_string(roomType == 0 ? 1 : roomType) + " file_name=" + logText(fileName) +
           " file_size=" + std::to_string(fileSize) + " file_url=" + logText(fileUrl);
}
