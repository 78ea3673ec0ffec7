#include "tolvex/chat/QuillonLeaveHandler.h"

#include <cerrno>
#include <cstring>
#include <exception>

#include "tolvex/util/Globals.h"
#include "tolvex/chat/QuillonJob.h"
#include "tolvex/util/ChatCodes.h"

namespace {

// A join sequence that leaves all of the member's history, not only the
// current stay.
constexpr int32_t kLeaveAllHistory = -100;

}  // namespace

void QuillonLeaveHandler::doit(ChatSession* pFrom, const P2PPacket* pk) {
    retryDoWas = true;
    retryCount = 1;
    JobHandler::doit(pFrom, pk);
}

int QuillonLeaveHandler::getWASInfo(const P2PPacket* pk, std::string* page, URLEncode* form) {
    // The leave notice as the members got it; what follows joinSeq is not read.
    QuillonInput in(pk);
    const uint32_t roomId = in.u32();
    const std::string userId = in.str16(MAX_ID_LEN);
    in.str16(MAX_ID_LEN);  // talk name
    const uint16_t osType = in.u16();
    in.u32();       // message number
    const uint32_t leaveTime = in.u32();
    in.u32();       // member count
    const int32_t joinSeq = static_cast<int32_t>(in.u32());

    const std::shared_ptr<const ConfigValues> settings = QuillonSettings::values();
    *page = settings->was_leave;
    try {
        using namespace QuillonForm;
        number(form, "room_id", roomId);
        text(form, "user_id", userId);
        number(form, "os_type", osType);
        number(form, "time", leaveTime);
        number(form, "join_seq", joinSeq);
        literal(form, "leave_current_join_seq", joinSeq == kLeaveAllHistory ? "no" : "yes");
        text(form, "svr_ip", settings->service_ip);
        number(form, "svr_port", g_service_port);
    } catch (const std::exception&) {
        logErrno("Quillon leave Exception");
    }
    g_Logger.log("leave %s,%s", page->c_str(), QuillonForm::textOf(*form).c_str());
    return 0;
}

void QuillonLeaveHandler::done(uint16_t rescode) {
    releaseCompanion();
    JobHandler::done(rescode);
}
