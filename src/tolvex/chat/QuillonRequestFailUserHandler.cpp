#include "tolvex/chat/QuillonRequestFailUserHandler.h"

#include "tolvex/chat/WasXmlReader.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <list>

#include "tolvex/util/Globals.h"
#include "tolvex/chat/MsgEventHandler.h"
#include "tolvex/chat/QuillonJob.h"
#include "tolvex/session/ChatSessionDummy.h"
#include "tolvex/util/ChatCodes.h"

void QuillonRequestFailUserHandler::doit(ChatSession* pFrom, const P2PPacket* pk) {
    retryDoWas = false;
    JobHandler::doit(pFrom, pk);
}

int QuillonRequestFailUserHandler::getWASInfo(const P2PPacket* pk, std::string* page, URLEncode* form) {
    QuillonInput in(pk);
    const uint32_t roomId = in.u32();
    const uint32_t msgNum = in.u32();
    const std::string tenantId = in.str16(MAX_ID_LEN);

    *page = QuillonSettings::values()->was_sendfailuser_request;
    try {
        using namespace QuillonForm;
        number(form, "room_id", roomId);
        number(form, "msg_num", msgNum);
        text(form, "tenant_id", tenantId);
    } catch (const std::exception&) {
        logErrno("Quillon saveMsg Exception");
    }
    g_Logger.log("Quillon. %s,%s", page->c_str(), QuillonForm::textOf(*form).c_str());
    return 0;
}

void QuillonRequestFailUserHandler::processP2PPacket(const char* body, int blen) {
    std::vector<sendfail_user> rows;
    if (body && blen > 0) parseSendFailUserList(body, blen, &rows);  // rows before a fault still count
    std::vector<std::string> ids;
    for (const sendfail_user& row : rows) ids.push_back(row.failUserId);
    // The dummy carries the message; without it there is nothing to resend.
    auto* dummy = dynamic_cast<ChatSessionDummy*>(companion());
    if (!dummy) {
        g_Logger.log("QuillonRequestFailUserHandler: the message's session is gone; %zu member(s) not resent",
                     ids.size());
        return;
    }
    MsgEventHandler::resendMsgProcess(dummy, std::list<std::string>(ids.begin(), ids.end()));
    releaseCompanion();
}

void QuillonRequestFailUserHandler::done(uint16_t rescode) {
    // After a timeout or a refused request the dummy is still ours.
    releaseCompanion();
    JobHandler::done(rescode);
}
