#include "tolvex/chat/QuillonRequestInviteHandler.h"

#include <cerrno>
#include <cstring>
#include <exception>

#include "tolvex/util/Globals.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/chat/QuillonJob.h"
#include "tolvex/util/ChatCodes.h"

void QuillonRequestInviteHandler::doit(ChatSession* pFrom, const P2PPacket* pk) {
    retryDoWas = false;
    JobHandler::doit(pFrom, pk);
}

int QuillonRequestInviteHandler::getWASInfo(const P2PPacket* pk, std::string* page, URLEncode* form) {
    QuillonInput in(pk);
    const std::string fromId = in.str16(MAX_ID_LEN);
    const std::string toId = in.str16(MAX_ID_LEN);
    const std::string contents = in.str16(8191);

    *page = QuillonSettings::values()->was_invite_request;
    g_Logger.log("SENDMEMOEX:%s->%s", logText(fromId).c_str(), logText(toId).c_str());
    try {
        using namespace QuillonForm;
        text(form, "from_id", fromId);
        text(form, "to_id", toId);
        // The WAS addresses the memo by target_ids; to_id names the invitee.
        text(form, "target_ids", toId);
        text(form, "contents", contents);
    } catch (const std::exception&) {
        logErrno("Quillon saveMsg Exception");
    }
    return 0;
}

void QuillonRequestInviteHandler::done(uint16_t rescode) {
    releaseCompanion();
    JobHandler::done(rescode);
}
