#include "tolvex/chat/RoomEventHandler.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <utility>

#include "p2p/P2PPacket.h"
#include "p2p/Parser2.h"
#include "tolvex/util/Globals.h"
#include "tolvex/chat/BodyWriter.h"
#include "tolvex/chat/Broadcast.h"
#include "tolvex/chat/CommonHandler.h"
#include "tolvex/chat/MobilePush.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/chat/OutPacket.h"
#include "tolvex/chat/RoomEventHandlerFields.h"
#include "tolvex/chat/SessionGuard.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/room/RoomReload.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/session/SessionContainer.h"
#include "tolvex/util/ChatUtil.h"

namespace {

using roomfields::container;
using roomfields::field_t;
using roomfields::readString;
using roomfields::rooms;

uint16_t roomKind(const Room& room) {
    return room.isGroupRoom() ? ROOM_TYPE_GROUP : ROOM_TYPE_COUPLE;
}

msg_info setJoinInfo(const RoomEventHandler::join_user_info& info) {
    msg_info msg;
    msg.roomId = info.roomId;
    setMsgText(msg.fromId, msg.fromIdLen, info.userId);
    setMsgText(msg.fromIdTalkName, msg.fromIdTalkNameLen, info.nameInfos);
    msg.fromOsType = info.osType;
    return msg;
}

}  // namespace

void RoomEventHandler::eventHandle(const P2PPacket* pk, ChatSession* session) {
    try {
        switch (pk->m_h.code) {
            case ROOM_CREATE: roomInitReq(pk, session); break;
            case USER_JOIN: joinReq(pk, session); break;
            case USER_ADD: inviteUserReq(pk, session); break;
            case USER_REJOIN: rejoinReq(pk, session); break;
            case USER_LEAVE: leaveReq(pk, session); break;
            case USER_FORCE_LEAVE: forceLeaveReq(pk, session); break;
            default: break;
        }
    } catch (const std::exception& e) {
        g_Logger.log("RoomEventHandler Exception ERROR:%d(%s) code=%u: %s", errno, std::strerror(errno),
                     pk->m_h.code, e.what());
        errno = 0;
    }
}

// ---- room init and invite ----

RoomEventHandler::parse_result_t RoomEventHandler::parseRoomInit(const P2PPacket* pk, room_init_data* out,
                                                                 std::string* inviteBody) {
    Parser2 p(pk->m_body, pk->m_body ? pk->m_h.blen : 0);
    if (!p.value(&out->roomId)) return parse_result_t::OK;
    for (auto [tag, field] :
         {std::pair{"ROOM_CREATOR_ID", &out->creatorId}, std::pair{"ROOM_CREATOR_NAME", &out->talkName}}) {
        const field_t r = readString(p, kMaxIdLen, tag, field);
        if (r == field_t::TOO_LONG) {
            out->resCode = HACKING;
            return parse_result_t::HACKED;
        }
        if (r == field_t::MISSING) return parse_result_t::OK;
    }
    if (!p.value(&out->osType)) return parse_result_t::OK;
    if (!p.remain(4)) return parse_result_t::OK;
    // The rest is a USER_ADD body without its room id.
    const int sectionLen = pk->m_h.blen - p.pos();
    if (static_cast<int>(sizeof out->roomId) + sectionLen > kInviteSectionCapacity) return parse_result_t::OK;
    out->inviteUserCount = 1;
    inviteBody->assign(reinterpret_cast<const char*>(&out->roomId), sizeof out->roomId);
    inviteBody->append(pk->m_body + p.pos(), sectionLen);
    return parse_result_t::OK;
}

RoomEventHandler::parse_result_t RoomEventHandler::parseInviteUser(const P2PPacket* pk, room_invite_data* out) {
    Parser2 p(pk->m_body, pk->m_body ? pk->m_h.blen : 0);
    if (!p.value(&out->roomId) || !p.value(&out->inviteUserCount)) return parse_result_t::OK;
    if (CommonHandler::checkHacking(kMaxInviteUsers, out->inviteUserCount, "INVITED_COUNT"))
        return parse_result_t::HACKED;
    for (uint32_t i = 0; i < out->inviteUserCount; ++i) {
        user_basic_data user;
        field_t r = readString(p, kMaxIdLen, "INVITED_ID", &user.userId);
        if (r == field_t::READ) r = readString(p, kMaxIdLen, "INVITED_NAME", &user.userNameInfo);
        if (r == field_t::TOO_LONG) return parse_result_t::HACKED;
        // An entry the body does not hold completely is skipped, and so is
        // everything after it.
        if (r == field_t::MISSING) break;
        out->users.push_back(std::move(user));
    }
    return parse_result_t::OK;
}

OutPacket RoomEventHandler::makeJoinPacket(const msg_info& msg, uint16_t joinType) {
    BodyWriter w(kJoinAlarmCapacity);
    writeSenderHead(w, msg)
        .u16(msg.fromOsType)
        .u32(msg.msgNum)
        .u32(msg.msgTime)
        .u32(rooms().getMemberCount(msg.roomId, fromIdOf(msg)))
        .u16(joinType);
    return OutPacket(USER_JOIN_ALARM, w.take());
}

void RoomEventHandler::roomInitReq(const P2PPacket* pk, ChatSession* session) {
    room_init_data data;
    std::string inviteBody;
    if (parseRoomInit(pk, &data, &inviteBody) == parse_result_t::HACKED) {
        session->dropSession();
        return;
    }
    if (data.roomId == 0) {
        // Room 0 is no room: it could never be reloaded or ended, and the
        // WAS stores nothing for it.
        g_Logger.log("ROOM_CREATE: room id 0 refused: user_id=%s", logText(data.creatorId).c_str());
        data.resCode = ROOM_JOIN_RES_NOT_EXIST_ROOM;
        roomInitRsp(pk, session, data);
        session->dropSession();
        return;
    }
    if (!SessionGuard::admitsJoin(pk, session, {data.roomId, &data.creatorId, data.osType})) return;
    session->setProfile(data.creatorId, data.talkName, data.roomId, data.osType);
    session->bind();
    ChatUtil::receiveLogging(data.roomId, -1, "ROOM_CREATE", data.creatorId, data.osType, "");
    rooms().addRoom(data.roomId, data.creatorId);
    rooms().addRoomUser(data.roomId, data.creatorId, data.talkName);
    rooms().joinUser(data.roomId, data.creatorId);
    container().addSession(data.roomId, data.creatorId, session);
    CommonHandler::updateSendUserInfo(data.roomId, data.creatorId, data.osType, data.talkName);
    roomInitRsp(pk, session, data);
    if (data.inviteUserCount == 0) return;
    const OutPacket invite(USER_ADD, std::vector<char>(inviteBody.begin(), inviteBody.end()));
    inviteUserReq(invite.get(), session);
}

void RoomEventHandler::roomInitRsp(const P2PPacket* pk, ChatSession* session, const room_init_data& data) {
    BodyWriter w(kReplyCapacity);
    w.u32(data.roomId).u16(data.resCode);
    const std::vector<char> body = w.take();
    const int result = session->chatPush(pk, body.data(), static_cast<uint16_t>(body.size()), 0);
    ChatUtil::sendLogging(data.roomId, -1, "ROOM_CREATE", data.creatorId, data.osType, result, "");
}

void RoomEventHandler::inviteUserReq(const P2PPacket* pk, ChatSession* session) {
    room_invite_data data;
    if (parseInviteUser(pk, &data) == parse_result_t::HACKED) {
        session->dropSession();
        return;
    }
    // The inviter is the session's member, so only the room is named.
    if (!SessionGuard::admitsAction(pk, session, {data.roomId, nullptr, OS_TYPE_NONE})) return;
    data.fromId = session->getUserId();
    msg_info msg;
    msg.roomId = data.roomId;
    msg.msgTime = ChatUtil::getUTCTimeSecond();
    msg.msgType = MSG_JOIN;
    msg.msgNum = rooms().getNextMsgNumber(data.roomId, data.fromId);
    setMsgText(msg.fromId, msg.fromIdLen, data.fromId);
    for (const user_basic_data& user : data.users) inviteOneUser(session, msg, user);
    inviteUserRsp(pk, session, data);
}

void RoomEventHandler::inviteOneUser(ChatSession* session, msg_info& msg, const user_basic_data& user) {
    ChatUtil::receiveLogging(msg.roomId, -1, "USER_ADD", session->getUserId(), session->getOsType(), user.userId);
    const std::list<ChatSession*> invitedSessions = container().getSessionList(msg.roomId, user.userId);
    for (ChatSession* invited : invitedSessions) sendRealJoinToInviter(session, msg, user, invited);
    if (!invitedSessions.empty()) return;

    msg.msgNum = rooms().getNextMsgNumber(msg.roomId, user.userId);
    msg.memberCount = rooms().getMemberCount(msg.roomId, user.userId);
    setMsgText(msg.fromId, msg.fromIdLen, user.userId);
    setMsgText(msg.fromIdTalkName, msg.fromIdTalkNameLen, user.userNameInfo);
    rooms().addRoomUser(msg.roomId, user.userId, user.userNameInfo);
    container().addEmptySession(msg.roomId, user.userId);
    broadcastInvited(session, msg);
    CommonHandler::saveData(&msg, session);
}

void RoomEventHandler::sendRealJoinToInviter(ChatSession* session, msg_info& msg, const user_basic_data& user,
                                             ChatSession* /*invitedSession*/) {
    msg.msgNum = rooms().getNextMsgNumber(msg.roomId, user.userId);
    msg.memberCount = rooms().getMemberCount(msg.roomId, user.userId);
    setMsgText(msg.fromId, msg.fromIdLen, user.userId);
    setMsgText(msg.fromIdTalkName, msg.fromIdTalkNameLen, user.userNameInfo);
    rooms().addRoomUser(msg.roomId, user.userId, user.userNameInfo);
    container().addEmptySession(msg.roomId, user.userId);
    const OutPacket alarm = makeJoinPacket(msg, JOIN_TYPE_REAL);
    setCText(msg.msgDesc, user.userId + ",2");
    const int result = session->chatPush(alarm.get());
    ChatUtil::sendLogging(msg.roomId, -1, "USER_JOIN_ALARM", session->getUserId(), session->getOsType(), result,
                          cText(msg.msgDesc));
}

void RoomEventHandler::broadcastInvited(ChatSession* session, msg_info& msg) {
    const OutPacket alarm = makeJoinPacket(msg, JOIN_TYPE_DUMMY);
    setCText(msg.msgDesc, fromIdOf(msg) + ",1");
    Broadcast broadcast;
    broadcast.broadcastInvited(session, alarm.get(), msg);
}

void RoomEventHandler::inviteUserRsp(const P2PPacket* pk, ChatSession* session, const room_invite_data& data) {
    BodyWriter w(kReplyCapacity);
    w.u32(data.roomId)
        .u16(RES_CODE_SUCCESS)
        .u32(rooms().getMemberCount(data.roomId, data.fromId))
        .u32(static_cast<uint32_t>(data.users.size()))
        .u32(0);  // users that could not be added: none
    const std::vector<char> body = w.take();
    const int result = session->chatPush(pk, body.data(), static_cast<uint16_t>(body.size()), 0);
    ChatUtil::sendLogging(data.roomId, -1, "USER_ADD", data.fromId, session->getOsType(), result, "");
}

// ---- join and rejoin ----

RoomEventHandler::parse_result_t RoomEventHandler::parseJoin(const P2PPacket* pk, join_user_info* out) {
    Parser2 p(pk->m_body, pk->m_body ? pk->m_h.blen : 0);
    if (!p.value(&out->roomId)) return parse_result_t::OK;
    for (auto [tag, field] : {std::pair{"JOIN_ID", &out->userId}, std::pair{"JOIN_NAME", &out->nameInfos}}) {
        const field_t r = readString(p, kMaxIdLen, tag, field);
        if (r == field_t::TOO_LONG) return parse_result_t::HACKED;
        if (r == field_t::MISSING) return parse_result_t::OK;
    }
    p.value(&out->osType);
    return parse_result_t::OK;
}

bool RoomEventHandler::parseJoinOrClose(const P2PPacket* pk, ChatSession* session, join_user_info* info) {
    if (parseJoin(pk, info) == parse_result_t::OK) return true;
    g_Logger.log("%s:%s:%d, roomId:%d, userId:%s, session->closeSession()", __FILE__, __func__, __LINE__,
                 static_cast<int>(info->roomId), logText(info->userId).c_str());
    session->dropSession();
    return false;
}

void RoomEventHandler::joinReq(const P2PPacket* pk, ChatSession* session) {
    join_user_info info;
    if (!parseJoinOrClose(pk, session, &info)) return;
    if (refusedRoomZero(pk, session, info)) return;
    if (!SessionGuard::admitsJoin(pk, session, {info.roomId, &info.userId, info.osType})) return;
    ChatUtil::receiveLogging(info.roomId, -1, "USER_JOIN", info.userId, info.osType, "");
    int state = 0;
    uint16_t result = checkInvitedState(info.roomId, info.userId, &state);
    if (result == ROOM_JOIN_RES_SUCCESS) {
        session->setProfile(info.userId, info.nameInfos, info.roomId, info.osType);
        msg_info msg = setJoinInfo(info);
        joinProcess(pk, msg, session);
    } else if (result == ROOM_JOIN_RES_NOT_EXIST_ROOM) {
        session->setProfile(info.userId, info.nameInfos, info.roomId, info.osType);
        reloadRoom(pk, info.roomId, info.userId, session);
        result = checkInvitedState(info.roomId, info.userId, &state);
        if (result == ROOM_JOIN_RES_SUCCESS) {
            g_Logger.log("%s:%s:%d, roomId:%d, userId:%s, ROOM_JOIN_RES_NOT_EXIST_ROOM > ROOM_JOIN_RES_SUCCESS",
                         __FILE__, __func__, __LINE__, static_cast<int>(info.roomId),
                         logText(info.userId).c_str());
            msg_info msg = setJoinInfo(info);
            joinProcess(pk, msg, session);
        }
    }
    finishJoin(pk, session, info, result);
}

void RoomEventHandler::rejoinReq(const P2PPacket* pk, ChatSession* session) {
    join_user_info info;
    if (!parseJoinOrClose(pk, session, &info)) return;
    if (refusedRoomZero(pk, session, info)) return;
    if (!SessionGuard::admitsJoin(pk, session, {info.roomId, &info.userId, info.osType})) return;
    session->setProfile(info.userId, info.nameInfos, info.roomId, info.osType);
    ChatUtil::receiveLogging(info.roomId, -1, "USER_REJOIN", info.userId, info.osType, "");
    int state = 0;
    uint16_t result = checkRejoinAvailable(info.roomId, info.userId, &state);
    if (result == ROOM_JOIN_RES_NOT_EXIST_ROOM) {
        reloadRoom(pk, info.roomId, info.userId, session);
        // Once loaded, the room decides as for a join.
        result = checkInvitedState(info.roomId, info.userId, &state);
        if (result == ROOM_JOIN_RES_SUCCESS) {
            msg_info msg = setJoinInfo(info);
            joinProcess(pk, msg, session);
        }
    } else if (result == ROOM_JOIN_RES_SUCCESS || result == ROOM_JOIN_RES_ALREADY_INVITED_USER) {
        // A left member comes back, or an active one re-attaches. A refused
        // rejoin (not a member, group room) joins and announces nobody.
        msg_info msg = setJoinInfo(info);
        joinProcess(pk, msg, session);
    }
    finishJoin(pk, session, info, result);
}

bool RoomEventHandler::refusedRoomZero(const P2PPacket* pk, ChatSession* session, const join_user_info& info) {
    if (info.roomId != 0) return false;
    // No reload can ever find room 0, so the client is told at once rather
    // than left waiting for a room that will not come.
    g_Logger.log("%s: room id 0 refused: user_id=%s", pk->m_h.code == USER_REJOIN ? "USER_REJOIN" : "USER_JOIN",
                 logText(info.userId).c_str());
    joinRsp(pk, session, info, ROOM_JOIN_RES_NOT_EXIST_ROOM);
    session->dropSession();
    return true;
}

void RoomEventHandler::finishJoin(const P2PPacket* pk, ChatSession* session, const join_user_info& info,
                                  uint16_t result) {
    // The room reload answers nobody: the client's next join finds the room.
    if (result == ROOM_JOIN_RES_NOT_EXIST_ROOM) return;
    joinRsp(pk, session, info, result);
    if (result == ROOM_JOIN_RES_SUCCESS || result == ROOM_JOIN_RES_ALREADY_INVITED_USER) return;
    session->dropSession();
}

uint16_t RoomEventHandler::checkInvitedState(uint32_t roomId, const std::string& userId, int* state) {
    const std::string who = logText(userId);
    Room* room = rooms().getRoom(roomId, userId);
    if (!room) {
        g_Logger.log("%s:%s:%d, TRY_JOIN:%d:%s:Not Existing Room", __FILE__, __func__, __LINE__,
                     static_cast<int>(roomId), who.c_str());
        return ROOM_JOIN_RES_NOT_EXIST_ROOM;
    }
    if (room->isActiveMember(userId)) {
        *state = USER_ACTIVE;
        return ROOM_JOIN_RES_SUCCESS;
    }
    if (room->isLeftMember(userId)) {
        *state = USER_LEFT;
        g_Logger.log("%s:%s:%d, TRY_JOIN:%d:%s:Left user. Join acceptable. Succ", __FILE__, __func__, __LINE__,
                     static_cast<int>(roomId), who.c_str());
        return ROOM_JOIN_RES_NOT_INVITED_USER;
    }
    *state = USER_NOT_MEMBER;
    g_Logger.log("%s:%s:%d, TRY_JOIN:%d:%s:Not a member. Fail", __FILE__, __func__, __LINE__,
                 static_cast<int>(roomId), who.c_str());
    return ROOM_JOIN_RES_ALREADY_INVITED_USER;
}

uint16_t RoomEventHandler::checkRejoinAvailable(uint32_t roomId, const std::string& userId, int* state) {
    const std::string who = logText(userId);
    Room* room = rooms().getRoom(roomId, userId);
    if (!room) {
        g_Logger.log("TRY_REJOIN:%d:%s:Not Existing Room. Fail", static_cast<int>(roomId), who.c_str());
        return ROOM_JOIN_RES_NOT_EXIST_ROOM;
    }
    if (room->isGroupRoom()) {
        *state = USER_ROOM_TYPE_GROUP;
        g_Logger.log("TRY_REJOIN:%d:%s:RoomType is Group. Fail", static_cast<int>(roomId), who.c_str());
        return ROOM_JOIN_RES_NOT_SUPPORT_ROOMTYPE;
    }
    if (room->isActiveMember(userId)) {
        *state = USER_ACTIVE;
        return ROOM_JOIN_RES_ALREADY_INVITED_USER;
    }
    if (!room->isMember(userId)) {
        *state = USER_NOT_MEMBER;
        g_Logger.log("TRY_REJOIN:%d:%s:Not a member. Fail", static_cast<int>(roomId), who.c_str());
        return ROOM_JOIN_RES_NOT_INVITED_USER;
    }
    *state = USER_LEFT;
    g_Logger.log("TRY_REJOIN:%d:%s:Left user.Rejoin acceptable. Succ", static_cast<int>(roomId), who.c_str());
    return ROOM_JOIN_RES_SUCCESS;
}

void RoomEventHandler::reloadRoom(const P2PPacket* pk, uint32_t roomId, const std::string& userId,
                                  ChatSession* session) {
    // The reload job owns its companion from here on.
    (new RoomReload())->callReloadRoomPage(pk, roomId, userId, session);
}

void RoomEventHandler::joinProcess(const P2PPacket* /*pk*/, msg_info& msg, ChatSession* session) {
    const std::string userId = fromIdOf(msg);
    const std::string name(msgText(msg.fromIdTalkName, msg.fromIdTalkNameLen));
    msg.msgTime = ChatUtil::getUTCTimeSecond();
    msg.memberCount = rooms().getMemberCount(msg.roomId, userId);
    msg.msgType = MSG_JOIN;
    session->setProfile(userId, name, msg.roomId, msg.fromOsType);
    session->bind();
    const bool alreadyJoinedUser = rooms().alreadyJoinedUser(msg.roomId, userId);
    rooms().joinUser(msg.roomId, userId);
    container().addSession(msg.roomId, userId, session);
    MobilePush::resetPushCount(msg.roomId, userId, msg.fromOsType);
    CommonHandler::updateJoinUserInfo(msg.roomId, userId, msg.fromOsType, name);
    // A reconnect of a member still joined announces nothing.
    if (alreadyJoinedUser) return;
    msg.msgNum = rooms().getNextMsgNumber(msg.roomId, userId);
    broadcastRealJoin(session, msg);
}

void RoomEventHandler::broadcastRealJoin(ChatSession* session, msg_info& msg) {
    const OutPacket alarm = makeJoinPacket(msg, JOIN_TYPE_REAL);
    // A real join is not saved, so it carries no message number of its own.
    msg.msgNum = 0xFFFFFFFFu;
    msg.msgType = MSG_JOIN;
    setCText(msg.msgDesc, fromIdOf(msg) + ",2");
    Broadcast broadcast;
    broadcast.broadcastRealJoin(session, alarm.get(), msg);
}

void RoomEventHandler::joinRsp(const P2PPacket* pk, ChatSession* session, const join_user_info& info,
                               uint16_t result) {
    BodyWriter w(kReplyCapacity);
    w.u32(info.roomId).u16(result);
    int joinSeq = 0;
    uint16_t kind = 0;
    if (result == ROOM_JOIN_RES_SUCCESS || result == ROOM_JOIN_RES_ALREADY_INVITED_USER) {
        Room* room = rooms().getRoom(info.roomId, info.userId);
        if (!room) {
            g_Logger.log("%s:%s:%d, roomId:%d, DOES NOT EXIST ROOM...", __FILE__, __func__, __LINE__,
                         static_cast<int>(info.roomId));
            return;
        }
        kind = roomKind(*room);
        joinSeq = static_cast<int>(rooms().getUserJoinSeq(info.roomId, info.userId));
        // The list takes what fits beside the three trailing fields, and its
        // count says how many entries follow.
        const std::vector<User*> members = room->getActiveUserList();
        size_t spaceLeft = kReplyCapacity - w.len() - 2 - 10;
        std::vector<const User*> listed;
        for (const User* user : members) {
            const size_t entry = 4 + user->getUserId().size() + user->getNameInfo().size();
            if (entry > spaceLeft || listed.size() == 0xFFFF) break;
            spaceLeft -= entry;
            listed.push_back(user);
        }
        w.u16(static_cast<uint16_t>(listed.size()));
        for (const User* user : listed) w.str16(user->getUserId()).str16(user->getNameInfo());
        w.u16(kind).u32(static_cast<uint32_t>(joinSeq)).u32(room->getCurrentMsgNumber());
    }
    const std::vector<char> body = w.take();
    const int pushResult = session->chatPush(pk, body.data(), static_cast<uint16_t>(body.size()), 0);
    const std::string opt = std::to_string(result) + "," + std::to_string(joinSeq) + "," + std::to_string(kind);
    ChatUtil::sendLogging(info.roomId, -1, pk->m_h.code == USER_REJOIN ? "USER_REJOIN" : "USER_JOIN", info.userId,
                          info.osType, pushResult, opt);
}
