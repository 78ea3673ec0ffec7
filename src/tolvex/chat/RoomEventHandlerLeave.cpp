// Leave and force leave: a member leaves a room for good, or one member
// takes another out. Either way the remaining members are told, the notice
// is stored as a system message, the WAS records the leave, and every
// session of the member in the room ends.

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>

#include "cpputil/Trace.h"
#include "p2p/P2PPacket.h"
#include "p2p/Parser2.h"
#include "tolvex/util/Globals.h"
#include "tolvex/chat/BodyWriter.h"
#include "tolvex/chat/Broadcast.h"
#include "tolvex/chat/CommonHandler.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/chat/OutPacket.h"
#include "tolvex/chat/QuillonLeaveHandler.h"
#include "tolvex/chat/RoomEventHandler.h"
#include "tolvex/chat/RoomEventHandlerFields.h"
#include "tolvex/chat/SessionGuard.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/session/SessionContainer.h"
#include "tolvex/util/ChatCodes.h"
#include "tolvex/util/ChatUtil.h"

namespace {

using roomfields::container;
using roomfields::field_t;
using roomfields::readString;
using roomfields::rooms;

void logHandlerException(const char* what) {
    const int err = errno;
    TRACE(TRACE_ERROR, "%s Exception ERROR:%d(%s)", what, err, std::strerror(err));
    g_Logger.log("%s Exception ERROR:%d(%s)", what, err, std::strerror(err));
    errno = 0;
}

// Why userId cannot be taken out of the room, for a negative join sequence.
void logNobodyToTakeOut(const char* prefix, int64_t joinSeq, uint32_t roomId, const std::string& userId,
                        uint16_t osType) {
    const char* reason = "Already left user. ";
    if (joinSeq == JOIN_SEQ_ERROR_NOT_EXIST_ROOM)
        reason = "Not Existing ";
    else if (joinSeq == JOIN_SEQ_ERROR_NOT_EXIST_USER)
        reason = "Not Existing user. ";
    g_Logger.log("%s%sroom_id=%d, id=%s, osType=%d", prefix, reason, static_cast<int>(roomId),
                 logText(userId).c_str(), static_cast<int>(osType));
}

// The member's sessions that the sweep by device kind leaves listed: one of
// the leaver's own device kind when the leave came over another connection,
// or one that never said its kind. Left open they would outlive the
// membership, unlisted and told nothing, so they are closed too; keep (the
// leaver's own connection, closed by the caller) is spared.
void closeListedSessions(uint32_t roomId, const std::string& userId, const ChatSession* keep) {
    for (ChatSession* s : container().getSessionList(roomId, userId)) {
        if (!s || s == keep) continue;
        g_Logger.log("LEAVE:close remaining session:room_id=%u:user_id=%s:os_type=%u", roomId,
                     logText(userId).c_str(), s->getOsType());
        s->closeSession();
    }
}

msg_info makeLeaveRecord(uint32_t roomId, const std::string& userId, const std::string& name, uint16_t osType) {
    msg_info msg;
    msg.roomId = roomId;
    msg.msgNum = rooms().getNextMsgNumber(roomId, userId);
    msg.msgType = MSG_LEAVE;
    msg.memberCount = rooms().getMemberCount(roomId, userId);  // the leaver still counts
    msg.msgTime = ChatUtil::getUTCTimeSecond();
    setMsgText(msg.fromId, msg.fromIdLen, userId);
    setMsgText(msg.fromIdTalkName, msg.fromIdTalkNameLen, name);
    msg.fromOsType = osType;
    return msg;
}

msg_info setLeaveInfo(const RoomEventHandler::leave_user_info& info) {
    return makeLeaveRecord(info.roomId, info.userId, info.nameInfos, info.osType);
}

// The record is about the member removed; the device kind is the remover's.
msg_info setForceLeaveInfo(const RoomEventHandler::user_force_leave& req) {
    return makeLeaveRecord(req.roomId, req.toUserId, req.toUserNameInfo, req.fromOsType);
}

}  // namespace

// ---- body readers and notices ----

RoomEventHandler::parse_result_t RoomEventHandler::parseLeave(const P2PPacket* pk, leave_user_info* out) {
    Parser2 p(pk->m_body, pk->m_body ? pk->m_h.blen : 0);
    if (!p.value(&out->roomId)) return parse_result_t::OK;
    field_t r = readString(p, kMaxIdLen, "LEAVE_ID", &out->userId);
    if (r == field_t::READ) r = readString(p, kMaxIdLen, "LEAVE_NAME", &out->nameInfos);
    if (r == field_t::READ) p.value(&out->osType);
    return r == field_t::TOO_LONG ? parse_result_t::HACKED : parse_result_t::OK;
}

RoomEventHandler::parse_result_t RoomEventHandler::parseForceLeave(const P2PPacket* pk, user_force_leave* out) {
    Parser2 p(pk->m_body, pk->m_body ? pk->m_h.blen : 0);
    if (!p.value(&out->roomId)) return parse_result_t::OK;
    field_t r = readString(p, kMaxIdLen, "FORCE_LEAVE_FROM_ID", &out->fromUserId);
    if (r == field_t::READ) r = readString(p, kMaxIdLen, "FORCE_LEAVE_FROM_NAME", &out->fromUserNameInfo);
    if (r == field_t::READ) r = p.value(&out->fromOsType) ? field_t::READ : field_t::MISSING;
    if (r == field_t::READ) r = readString(p, kMaxIdLen, "FORCE_LEAVE_TO_ID", &out->toUserId);
    if (r == field_t::READ) r = readString(p, kMaxIdLen, "FORCE_LEAVE_TO_NAME", &out->toUserNameInfo);
    return r == field_t::TOO_LONG ? parse_result_t::HACKED : parse_result_t::OK;
}

OutPacket RoomEventHandler::makeLeavePacket(const msg_info& msg, uint16_t leaveType, bool allHistorySet) {
    const std::string userId(msgText(msg.fromId, msg.fromIdLen));
    const int64_t joinSeq = allHistorySet ? LEAVE_ALL_HISTORY : rooms().getUserJoinSeq(msg.roomId, userId);
    BodyWriter w(kLeaveAlarmCapacity);
    writeSenderHead(w, msg)
        .u16(msg.fromOsType)
        .u32(msg.msgNum)
        .u32(msg.msgTime)
        .u32(msg.memberCount)
        .u32(static_cast<uint32_t>(static_cast<int32_t>(joinSeq)))
        .u16(leaveType);
    return OutPacket(USER_LEAVE_ALARM, w.take());
}

OutPacket RoomEventHandler::makeForceLeavePacket(uint16_t code, const user_force_leave& req) {
    BodyWriter w(kForceLeaveCapacity);
    w.u32(req.roomId)
        .str16(req.fromUserId)
        .str16(req.fromUserNameInfo)
        .u16(req.fromOsType)
        .str16(req.toUserId)
        .str16(req.toUserNameInfo);
    return OutPacket(code, w.take());
}

// ---- leave ----

void RoomEventHandler::leaveReq(const P2PPacket* pk, ChatSession* session) {
    leave_user_info info;
    parseLeave(pk, &info);  // an over-long field only ends the reading
    // A member leaves only for itself, over its own joined connection.
    if (!SessionGuard::admitsAction(pk, session, {info.roomId, &info.userId, info.osType})) return;
    // Finished before the leave is applied, so that its close does not run
    // the disconnect clean-up, which would mark the member merely disconnected.
    session->setIsDeadAlive(true);
    try {
        leave(session, info);
    } catch (const std::exception&) {
        logHandlerException("Leave");
    }
    // No reply: the leaver's connection simply ends, whatever happened above.
    session->closeSession();
}

void RoomEventHandler::leave(ChatSession* session, const leave_user_info& info) {
    ChatUtil::receiveLogging(info.roomId, -1, "USER_LEAVE", info.userId, info.osType, "");
    const int64_t joinSeq = rooms().getUserJoinSeq(info.roomId, info.userId);
    if (joinSeq < 0) {
        logNobodyToTakeOut("", joinSeq, info.roomId, info.userId, info.osType);
        session->removeSession();  // under the identity it was listed with
        session->setProfile(info.userId, info.nameInfos, info.roomId, info.osType);
        return;
    }
    session->setProfile(info.userId, info.nameInfos, info.roomId, info.osType);
    const msg_info msg = setLeaveInfo(info);
    const OutPacket alarm = broadcastLeave(session, msg);
    CommonHandler::saveData(&msg, session);
    leaveWork(info, session);
    saveLeaveState(alarm);
}

OutPacket RoomEventHandler::broadcastLeave(ChatSession* session, const msg_info& msg) {
    // Built before the leave is applied, so it carries the leaver's join
    // sequence, which the WAS needs to close the right stay.
    OutPacket alarm = makeLeavePacket(msg, LEAVE_TYPE_LEAVE, false);
    Broadcast broadcast;
    broadcast.broadcastLeave(session, alarm.get(), msg);
    return alarm;
}

void RoomEventHandler::leaveWork(const leave_user_info& info, ChatSession* session) {
    rooms().leaveUser(info.roomId, info.userId);
    container().forceLeaveOtherSession(info.roomId, info.userId, info.osType);
    closeListedSessions(info.roomId, info.userId, session);
    container().clearUser(info.roomId, info.userId);
}

void RoomEventHandler::saveLeaveState(const OutPacket& alarm) {
    // No companion session: the job copies the notice now and needs nothing
    // from the leaver afterwards.
    (new QuillonLeaveHandler())->doit(nullptr, alarm.get());
}

// ---- force leave ----

void RoomEventHandler::forceLeaveReq(const P2PPacket* pk, ChatSession* session) {
    user_force_leave req;
    if (parseForceLeave(pk, &req) == parse_result_t::HACKED) {
        session->dropSession();
        return;
    }
    if (!SessionGuard::admitsForceLeave(pk, session, {req.roomId, &req.fromUserId, req.fromOsType})) return;
    ChatUtil::receiveLogging(req.roomId, -1, "USER_FORCE_LEAVE", req.fromUserId, req.fromOsType, req.toUserId);
    const int64_t joinSeq = rooms().getUserJoinSeq(req.roomId, req.toUserId);
    if (joinSeq < 0) {
        // Nobody to take out. Announcing, saving and recording a leave here
        // would tell the members and the WAS of a leave that did not happen,
        // with an error code for a join sequence. The remover is still
        // answered: the member is out of the room, as asked.
        logNobodyToTakeOut("FORCE_LEAVE:", joinSeq, req.roomId, req.toUserId, req.fromOsType);
        forceLeaveRsp(session, req);
        return;
    }
    const msg_info msg = setForceLeaveInfo(req);
    forceLeaveAlarm(req);
    const OutPacket alarm = broadcastForceLeave(session, msg);
    forceLeaveWork(req);
    CommonHandler::saveData(&msg, session);
    saveLeaveState(alarm);
    forceLeaveRsp(session, req);
}

void RoomEventHandler::forceLeaveAlarm(const user_force_leave& req) {
    try {
        const OutPacket alarm = makeForceLeavePacket(USER_FORCE_LEAVE_ALARM, req);
        for (ChatSession* s : container().getSessionList(req.roomId, req.toUserId)) {
            if (!s) continue;
            const int result = s->chatPush(alarm.get());
            ChatUtil::sendLogging(req.roomId, -1, "USER_FORCE_LEAVE_ALARM", req.toUserId, s->getOsType(), result,
                                  req.fromUserId);
        }
    } catch (const std::exception&) {
        logHandlerException("makeForceLeaveAlarm");
    }
}

OutPacket RoomEventHandler::broadcastForceLeave(ChatSession* session, const msg_info& msg) {
    // Before the removal is applied, as for a leave.
    OutPacket alarm = makeLeavePacket(msg, LEAVE_TYPE_LEAVE, false);
    Broadcast broadcast;
    broadcast.broadcastForceLeave(session, alarm.get(), msg);
    return alarm;
}

void RoomEventHandler::forceLeaveWork(const user_force_leave& req) {
    rooms().leaveUser(req.roomId, req.toUserId);
    container().forceLeaveOtherSession(req.roomId, req.toUserId, OS_TYPE_ALL);
    closeListedSessions(req.roomId, req.toUserId, nullptr);
    container().clearUser(req.roomId, req.toUserId);
}

void RoomEventHandler::forceLeaveRsp(ChatSession* session, const user_force_leave& req) {
    int result = -1;
    try {
        // The answer goes to a USER_FORCE_LEAVE of the daemon's own making
        // (transaction id 0, in clear), so the remover gets 0x8C32 with the
        // same body its removed member was sent.
        const OutPacket own = makeForceLeavePacket(USER_FORCE_LEAVE, req);
        result = session->chatPush(own.get(), own.body().data(), static_cast<uint16_t>(own.body().size()), 0);
    } catch (const std::exception&) {
        logHandlerException("forceLeaveRsp");
    }
    ChatUtil::sendLogging(req.roomId, -1, "USER_FORCE_LEAVE", req.fromUserId, req.fromOsType, result, req.toUserId);
}
