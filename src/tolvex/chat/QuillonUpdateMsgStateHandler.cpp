#include "tolvex/chat/QuillonUpdateMsgStateHandler.h"

#include <cerrno>
#include <cstring>
#include <exception>

#include "tolvex/util/Globals.h"
#include "tolvex/chat/QuillonJob.h"
#include "tolvex/util/ChatCodes.h"

void QuillonUpdateMsgStateHandler::doit(ChatSession* pFrom, const P2PPacket* pk) {
    retryDoWas = true;
    retryCount = 1;
    JobHandler::doit(pFrom, pk);
}

int QuillonUpdateMsgStateHandler::getWASInfo(const P2PPacket* pk, std::string* page, URLEncode* form) {
    // This input alone has 4-byte string lengths.
    QuillonInput in(pk);
    const uint32_t roomId = in.u32();
    const uint32_t msgSeq = in.u32();
    const std::string tenantId = in.str32(MAX_ID_LEN);
    const std::string userList = in.str32();
    const std::string joinSeqList = in.str32(1023);

    *page = QuillonSettings::values()->was_update_msgsend;
    try {
        using namespace QuillonForm;
        number(form, "room_id", roomId);
        number(form, "msg_seq", msgSeq);
        text(form, "tenant_id", tenantId);
        text(form, "userids", userList);
        text(form, "join_seqs", joinSeqList);
        literal(form, "send_yn", "y");
    } catch (const std::exception&) {
        logErrno("Quillon saveMsg Exception");
    }
    return 0;
}

void QuillonUpdateMsgStateHandler::done(uint16_t rescode) {
    releaseCompanion();
    JobHandler::done(rescode);
}
