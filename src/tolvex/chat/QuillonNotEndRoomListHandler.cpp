#include "tolvex/chat/QuillonNotEndRoomListHandler.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>

#include "tolvex/Globals.h"
#include "tolvex/chat/QuillonJob.h"
#include "tolvex/chat/WasXmlReader.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/SessionContainer.h"
#include "tolvex/util/ChatTypes.h"

std::string QuillonNotEndRoomListHandler::requestLoadMode(const std::string& setting) {
    return (setting.empty() || setting == "s") ? "all" : setting;
}

void QuillonNotEndRoomListHandler::addLoadedMember(const RoomNotEnd& row, uint32_t joinState) {
    RoomManager& rooms = RoomManager::getInst();
    const std::string& userId = row.userId;
    auto user = std::make_unique<User>(userId, row.userNameInfo);
    user->setJoinSeq(row.joinSeq);
    user->setJoinState(joinState);
    user->setLastJoinOsType(0);
    user->setLastSendActionOsType(0);
    rooms.addRoomUser(row.roomId, std::move(user));
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
        g_Logger.log("QuillonNotEndRoomListHandler Exception ERROR:%d(%s)", errno, std::strerror(errno));
        errno = 0;
    }
    JobHandler::doit(pFrom, pk);  // may delete this
}

int QuillonNotEndRoomListHandler::getWASInfo(const P2PPacket*, std::string* page, URLEncode* form) {
    try {
        const ConfigValues v = QuillonSettings::values();
        *page = v.was_not_endroom;
        m_loadSetting = v.room_load_mode;
        QuillonForm::text(form, "svr_ip", v.service_ip);
        QuillonForm::number(form, "svr_port", g_service_port);
        QuillonForm::number(form, "start_roomid", RoomManager::getInst().getMaxLoadedRoomId());
        QuillonForm::text(form, "load_mode", requestLoadMode(m_loadSetting));
        const std::string text = QuillonForm::textOf(*form);
        g_Logger.log("Quillon NotEndRoomListHandler. %s,%s", page->c_str(), text.c_str());
    } catch (const std::exception&) {
        g_Logger.log("Quillon NotEndRoomList Exception ERROR:%d(%s)", errno, std::strerror(errno));
        errno = 0;
        return -1;
    }
    return 0;
}

void QuillonNotEndRoomListHandler::processP2PPacket(const char* body, int blen) {
    const std::string text(body ? body : "", body && blen > 0 ? static_cast<size_t>(blen) : 0);
    g_Logger.log("Quillon NotEndRoomList:%s,", text.c_str());
    std::vector<RoomNotEnd> rows;
    if (parseNotEndRoom(body, body ? blen : 0, &rows) == -1)
        g_Logger.log("%s:%s:%d, Failed to parse XML data...", __FILE__, __func__, __LINE__);
    applyRows(rows);
}

void QuillonNotEndRoomListHandler::applyRows(const std::vector<RoomNotEnd>& rows) {
    RoomManager& rooms = RoomManager::getInst();
    SessionContainer& sessions = SessionContainer::getInstance();
    const uint32_t startId = rooms.getMaxLoadedRoomId();
    uint32_t lastId = 0;
    size_t count = 0;
    for (const RoomNotEnd& row : rows) {
        const std::string& userId = row.userId;
        if (row.roomId == 0 || userId.empty()) continue;  // no room or member to store
        ++count;
        // The WAS sends rows by room id; the highest id is the next start
        // even if it did not, so a page is never asked for twice.
        lastId = std::max(lastId, row.roomId);
        rooms.addRoom(row.roomId, userId);
        rooms.setRoomType(row.roomId, userId, row.roomType);
        const bool left = !row.endYmdt.empty();
        addLoadedMember(row, left ? JOIN_LEFT : JOIN_JOIN);
        if (!left) sessions.addEmptySession(row.roomId, userId);
    }
    // A page that does not move past its start would be asked for forever.
    const bool advanced = count > 0 && lastId > startId;
    if (advanced && m_loadSetting != "all") {
        rooms.setMaxLoadedRoomId(lastId);
        rooms.setCallNextRoomListAvailable(true);
        return;
    }
    if (count > 0 && !advanced && m_loadSetting != "all")
        g_Logger.log("Quillon NotEndRoomList: page from room %u did not advance; loading ends", startId);
    rooms.setRoomInitComplete();
    rooms.setCallNextRoomListAvailable(false);
    rooms.setMaxLoadedRoomId(count > 0 ? lastId : 0);
}

void QuillonNotEndRoomListHandler::done(uint16_t rescode) {
    releaseCompanion();
    JobHandler::done(rescode);
}
