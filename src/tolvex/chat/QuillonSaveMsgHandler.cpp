#include "tolvex/chat/QuillonSaveMsgHandler.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>

#include "tolvex/util/Globals.h"
#include "tolvex/chat/QuillonJob.h"
#include "tolvex/util/ChatCodes.h"

void QuillonSaveMsgHandler::doit(ChatSession* pFrom, const P2PPacket* pk) {
    retryDoWas = false;
    JobHandler::doit(pFrom, pk);
}

int QuillonSaveMsgHandler::getWASInfo(const P2PPacket* pk, std::string* page, URLEncode* form) {
    // The input fields in order, each cut to what the WAS page accepts.
    QuillonInput in(pk);
    const uint32_t roomId = in.u32();
    const std::string userId = in.str16(MAX_ID_LEN);
    const std::string userNickName = in.str16(MAX_ID_LEN);
    const std::string msg = in.str16(MAX_MSG_LEN);
    const uint32_t msgSeq = in.u32();
    const uint8_t msgType = in.u8();
    const bool hasMsgType = !in.ended();
    const uint32_t talkTime = in.u32();
    const std::string recvUserList = in.str16();
    const std::string recvUserNickNmList = in.str16();
    const std::string recvUserJoinSeqList = in.str16(255);
    const std::string readYnList = in.str16(255);
    const uint32_t memberCount = in.u32();
    const uint32_t trid = in.u32();
    const uint16_t osType = in.u16();
    const uint16_t roomType = in.u16();
    const bool hasRoomType = !in.ended();
    const std::string fileName = in.str16(MAX_FILE_NAME_LEN);
    const uint32_t fileSize = in.u32();
    const std::string fileUrl = in.str16(MAX_URL_LEN);

    const std::shared_ptr<const ConfigValues> settings = QuillonSettings::values();
    *page = settings->was_save_msg;
    try {
        using namespace QuillonForm;
        number(form, "room_id", roomId);
        text(form, "send_user_id", userId);
        text(form, "send_user_nick_name", userNickName);
        text(form, "msg", msg);
        number(form, "msg_seq", msgSeq);
        number(form, "msg_type", hasMsgType ? msgType : 1);
        text(form, "recv_user_list", recvUserList);
        text(form, "recv_user_nick_nm_list", recvUserNickNmList);
        text(form, "recv_user_join_seq_list", recvUserJoinSeqList);
        text(form, "read_yn_list", readYnList);
        number(form, "time", talkTime);
        number(form, "data_size", static_cast<int64_t>(msg.size()));
        number(form, "member_count", memberCount);
        number(form, "trid", trid);
        number(form, "os_type", osType);
        number(form, "room_type", hasRoomType ? roomType : 1);
        text(form, "file_name", fileName);
        number(form, "file_size", fileSize);
        text(form, "file_url", fileUrl);
        // Last, after every field a WAS already reads: the WAS assigns a
        // room that no daemon holds to the daemon that saves into it.
        text(form, "svr_ip", settings->service_ip);
        number(form, "svr_port", g_service_port);
    } catch (const std::exception&) {
        logErrno("Quillon saveMsg Exception");
    }
    return 0;
}
