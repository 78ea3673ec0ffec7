#include "tolvex/chat/QuillonNotEndRoomListHandler.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>

#include "tolvex/util/Globals.h"
#include "tolvex/chat/QuillonJob.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/SessionContainer.h"
#include "tolvex/util/ChatTypes.h"

std::string QuillonNotEndRoomListHandler::requestLoadMode(const std::string& setting) {
    return (setting.empty() || setting == "s") ? "all" : setting;
}

namespace {

std::unique_ptr<User> loadedUser(const RoomNotEnd& row, uint32_t joinState) {
    auto user = std::make_unique<User>(row.userId, row.userNameInfo);
    user->setJoinSeq(row.joinSeq);
    user->setJoinState(joinState);
    user->setLastJoinOsType(0);
    user->setLastSendActionOsType(0);
    return user;
}

}  // namespace

void QuillonNotEndRoomListHandler::addLoadedMember(const RoomNotEnd& row, uint32_t joinState) {
    RoomManager& rooms = RoomManager::getInst();
    const std::string& userId = row.userId;
    rooms.addRoomUser(row.roomId, loadedUser(row, joinState));
    rooms.setMaxMsgSeq(row.roomId, userId, row.maxMsgSeq);
    rooms.setMaxJoinSeq(row.roomId, userId, row.maxJoinSeq);
    rooms.updateActionTime(row.roomId, userId, row.last_recv_time);
}

void QuillonNotEndRoomListHandler::doit(ChatSession* pFrom, const P2PPacket* pk) {
    try {
        g_Logger.log("Quillon QuillonNotEndRoomListHandler");
        RoomManager::getInst().setCallNextRoomListAvailable(false);
        retryDoWas = false;
    } catch (const std::exception&) {
        logErrno("QuillonNotEndRoomListHandler Exception");
    }
    JobHandler::doit(pFrom, pk);  // may delete this
}

int QuillonNotEndRoomListHandler::getWASInfo(const P2PPacket*, std::string* page, URLEncode* form) {
    try {
        const std::shared_ptr<const ConfigValues> v = QuillonSettings::values();
        *page = v->was_not_endroom;
        m_loadSetting = v->room_load_mode;
        QuillonForm::text(form, "svr_ip", v->service_ip);
        QuillonForm::number(form, "svr_port", g_service_port);
        m_startId = RoomManager::getInst().getMaxLoadedRoomId();
        QuillonForm::number(form, "start_roomid", m_startId);
        QuillonForm::text(form, "load_mode", requestLoadMode(m_loadSetting));
        const std::string text = QuillonForm::textOf(*form);
        g_Logger.log("Quillon NotEndRoomListHandler. %s,%s", page->c_str(), text.c_str());
    } catch (const std::exception&) {
        logErrno("Quillon NotEndRoomList Exception");
        return -1;
    }
    return 0;
}

void QuillonNotEndRoomListHandler::applyRow(const RoomNotEnd& row) {
    if (row.roomId == 0 || row.userId.empty()) return;  // no room or member to store
    ++m_stored;
    // The WAS sends rows by room id; the highest id is the next start even
    // if it did not, so a page is never asked for twice.
    m_lastId = std::max(m_lastId, row.roomId);
    const bool left = !row.endYmdt.empty();
    RoomManager::getInst().loadMember(row.roomId, row.roomType, loadedUser(row, left ? JOIN_LEFT : JOIN_JOIN),
                                      row.maxMsgSeq, row.maxJoinSeq, row.last_recv_time);
    if (!left) SessionContainer::getInstance().addEmptySession(row.roomId, row.userId);
}

void QuillonNotEndRoomListHandler::rowsEnd() {
    g_Logger.log("Quillon NotEndRoomList:%s,", payloadForLog().c_str());
}

void QuillonNotEndRoomListHandler::finishPage() {
    RoomManager& rooms = RoomManager::getInst();
    // A page that does not move past its start would be asked for forever.
    const bool advanced = m_stored > 0 && m_lastId > m_startId;
    if (advanced && m_loadSetting != "all") {
        rooms.setMaxLoadedRoomId(m_lastId);
        rooms.setCallNextRoomListAvailable(true);
        if (m_nextPageWanted) m_nextPageWanted();
        return;
    }
    if (m_stored > 0 && !advanced && m_loadSetting != "all")
        g_Logger.log("Quillon NotEndRoomList: page from room %u did not advance; loading ends", m_startId);
    rooms.setRoomInitComplete();
    rooms.setCallNextRoomListAvailable(false);
    rooms.setMaxLoadedRoomId(m_stored > 0 ? m_lastId : 0);
}

void QuillonNotEndRoomListHandler::done(uint16_t rescode) {
    // A page that broke off (a WAS that closed mid-reply, broken XML) is
    // asked for again, as one that never came: taken as the whole list it
    // would leave the rest of the rooms unloaded for good. Rows read before
    // stay stored; storing them again changes nothing.
    if (rescode == RES_OK && reader().error().empty()) finishPage();
    const std::string cause = failure(rescode);
    if (!cause.empty())
        g_Logger.log("Quillon NotEndRoomList: page from room %u failed (%s): %s", m_startId, m_wasPage.c_str(),
                     cause.c_str());
    releaseCompanion();
    JobHandler::done(rescode);
}
