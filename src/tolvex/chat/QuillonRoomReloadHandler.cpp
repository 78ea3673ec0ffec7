#include "tolvex/chat/QuillonRoomReloadHandler.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>

#include "p2p/P2PPacket.h"
#include "tolvex/util/Globals.h"
#include "tolvex/chat/QuillonJob.h"
#include "tolvex/chat/QuillonNotEndRoomListHandler.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/SessionContainer.h"
#include "tolvex/util/ChatTypes.h"

QuillonRoomReloadHandler::QuillonRoomReloadHandler(const P2PPacket* pk, std::string userId, ChatSession*)
    : m_userId(std::move(userId)), m_joinTrid(pk ? pk->m_h.trid : 0) {}

void QuillonRoomReloadHandler::doit(ChatSession* pFrom, const P2PPacket* pk) {
    retryDoWas = false;
    JobHandler::doit(pFrom, pk);  // may delete this
}

int QuillonRoomReloadHandler::getWASInfo(const P2PPacket* pk, std::string* page, URLEncode* form) {
    try {
        QuillonInput in(pk);
        const uint32_t roomId = in.u32();
        const std::string tenantId = in.str16(MAX_ID_LEN);
        const std::shared_ptr<const ConfigValues> settings = QuillonSettings::values();
        *page = settings->was_load_room;
        if (in.ended()) return 0;  // no room to ask for: an empty form
        m_roomId = roomId;
        QuillonForm::number(form, "room_id", roomId);
        QuillonForm::text(form, "tenant_id", tenantId);
        // Last: the WAS refuses a room that another daemon holds.
        QuillonForm::text(form, "svr_ip", settings->service_ip);
        QuillonForm::number(form, "svr_port", g_service_port);
        const std::string text = QuillonForm::textOf(*form);
        g_Logger.log("Quillon RoomReloadHandler. %s,%s user_id=%s trid=%u", page->c_str(), text.c_str(),
                     m_userId.c_str(), m_joinTrid);
    } catch (const std::exception&) {
        logErrno("Quillon RoomReload Exception");
    }
    return 0;
}

void QuillonRoomReloadHandler::applyRow(const RoomNotEnd& row) {
    const std::string& userId = row.userId;
    if (row.roomId == 0 || userId.empty() || !row.endYmdt.empty()) return;
    RoomManager& rooms = RoomManager::getInst();
    if (!rooms.getRoom(row.roomId, userId)) {
        rooms.addRoom(row.roomId, userId);
        rooms.setRoomType(row.roomId, userId, row.roomType);
    }
    if (rooms.getRoomUser(row.roomId, userId)) return;  // present members stay as they are
    QuillonNotEndRoomListHandler::addLoadedMember(row, JOIN_INVITED);
    SessionContainer& sessions = SessionContainer::getInstance();
    if (!sessions.getSession(row.roomId, userId, 0)) sessions.addEmptySession(row.roomId, userId);
}

void QuillonRoomReloadHandler::done(uint16_t rescode) {
    const std::string cause = failure(rescode);
    if (!cause.empty())
        g_Logger.log("Quillon RoomReload: room %u failed (%s): %s", m_roomId, m_wasPage.c_str(), cause.c_str());
    releaseCompanion();
    JobHandler::done(rescode);
}
