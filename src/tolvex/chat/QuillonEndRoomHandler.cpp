#include "tolvex/chat/QuillonEndRoomHandler.h"

#include <cerrno>
#include <cstring>
#include <exception>

#include "tolvex/util/Globals.h"
#include "tolvex/chat/QuillonJob.h"
#include "tolvex/util/ChatCodes.h"

void QuillonEndRoomHandler::doit(ChatSession* pFrom, const P2PPacket* pk) {
    // An unended room stays open on the WAS for good: worth several servers.
    retryDoWas = true;
    retryCount = 5;
    JobHandler::doit(pFrom, pk);
}

int QuillonEndRoomHandler::getWASInfo(const P2PPacket* pk, std::string* page, URLEncode* form) {
    QuillonInput in(pk);
    const uint32_t roomId = in.u32();
    const std::string tenantId = in.str16(MAX_ID_LEN);
    const uint32_t endTime = in.u32();

    const std::shared_ptr<const ConfigValues> settings = QuillonSettings::values();
    *page = settings->was_endroom;
    try {
        using namespace QuillonForm;
        number(form, "room_id", roomId);
        text(form, "tenant_id", tenantId);
        number(form, "time", endTime);
        text(form, "svr_ip", settings->service_ip);
        number(form, "svr_port", g_service_port);
    } catch (const std::exception&) {
        logErrno("QuillonEndRoomHandler Exception");
    }
    g_Logger.log("EndRoom %s,%s", page->c_str(), QuillonForm::textOf(*form).c_str());
    return 0;
}

void QuillonEndRoomHandler::done(uint16_t rescode) {
    g_Logger.log("QuillonEndRoomHandler done");
    releaseCompanion();
    JobHandler::done(rescode);
}
