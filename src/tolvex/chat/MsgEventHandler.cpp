#include "tolvex/chat/MsgEventHandler.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <vector>

#include "cpputil/Trace.h"
#include "p2p/P2PPacket.h"
#include "p2p/Parser2.h"
#include "tolvex/util/Globals.h"
#include "tolvex/ack/AckManager.h"
#include "tolvex/ack/SendMsgDetail.h"
#include "tolvex/chat/AckEventHandler.h"
#include "tolvex/chat/BodyWriter.h"
#include "tolvex/chat/Broadcast.h"
#include "tolvex/chat/CommonHandler.h"
#include "tolvex/chat/JournalReplay.h"
#include "tolvex/chat/MobilePush.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/chat/OutPacket.h"
#include "tolvex/chat/QuillonRequestFailUserHandler.h"
#include "tolvex/chat/SessionGuard.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/session/ChatSessionDummy.h"
#include "tolvex/util/ChatUtil.h"
#include "tolvex/util/Metrics.h"

namespace {

enum class field_t { READ, MISSING, TOO_LONG };

// A length of type Len checked against limit (and the array) before the
// bytes are read, then the bytes. A length whose bytes the body does not
// hold leaves the field empty, so nothing later relays bytes never sent.
template <typename Len, size_t N>
field_t readField(Parser2& p, uint32_t limit, const char* tag, Len* len, char (&dest)[N]) {
    Len n = 0;
    if (!p.value(&n)) return field_t::MISSING;
    if (CommonHandler::checkHacking(limit, n, tag)) return field_t::TOO_LONG;
    if (n > N) return field_t::TOO_LONG;  // a limit above the array would be our bug
    if (p.mem(dest, static_cast<int>(n)) != 0) return field_t::MISSING;
    if (n < N) dest[n] = '\0';
    *len = n;
    return field_t::READ;
}

// The common head of a message and an attachment notice: room, sender, name.
field_t readSender(Parser2& p, msg_info* msg) {
    if (!p.value(&msg->roomId)) return field_t::MISSING;
    field_t r = readField(p, MsgEventHandler::kMaxIdLen, "FROM_ID", &msg->fromIdLen, msg->fromId);
    if (r != field_t::READ) return r;
    r = readField(p, MsgEventHandler::kMaxIdLen, "FROM_NAME", &msg->fromIdTalkNameLen, msg->fromIdTalkName);
    if (r != field_t::READ) return r;
    return p.value(&msg->fromOsType) ? field_t::READ : field_t::MISSING;
}

field_t readTextAndFont(Parser2& p, msg_info* msg) {
    const field_t r = readField(p, MsgEventHandler::kMaxMsgLen, "MSG", &msg->msgLen, msg->msg);
    if (r != field_t::READ) return r;
    return readField(p, MsgEventHandler::kMaxFontLen, "FONT", &msg->fontLength, msg->font);
}

// Trailing values that a client may leave out.
void readTrailer(Parser2& p, msg_info* msg) {
    if (!p.value(&msg->trid)) return;
    if (!p.value(&msg->msgNumFromClient)) return;
    p.value(&msg->msgType);
}

field_t readTargets(Parser2& p, std::list<std::string>* userIds) {
    uint16_t count = 0;
    if (!p.value(&count)) return field_t::MISSING;
    for (uint16_t i = 0; i < count; ++i) {
        char id[MsgEventHandler::kMaxIdLen] = {};
        uint16_t len = 0;
        const field_t r = readField(p, MsgEventHandler::kMaxIdLen, "ATTATCH_USER_ID", &len, id);
        if (r == field_t::TOO_LONG) return r;
        // Fewer ids than announced: the rest of the notice follows the last.
        if (r == field_t::MISSING) break;
        userIds->emplace_back(id, len);
    }
    return field_t::READ;
}

field_t readAttachFile(Parser2& p, attachFileInfo* info) {
    field_t r = readField(p, MsgEventHandler::kMaxFileNameLen, "FILE_NAME", &info->fileNameLen, info->fileName);
    if (r != field_t::READ) return r;
    if (!p.value(&info->fileSize)) return field_t::MISSING;
    return readField(p, MsgEventHandler::kMaxUrlLen, "URL", &info->urlLen, info->url);
}

// A refused packet: the sender's connection ends without an answer.
// Room 0 is no room (no room can be opened, reloaded or ended under it),
// and the WAS stores nothing for it: acknowledging would lose the message.
bool refusedRoomZero(const msg_info& msg, const char* eventName, ChatSession* session) {
    if (msg.roomId != 0) return false;
    g_Logger.log("%s: room id 0 refused, session closed: user_id=%s", eventName, logText(fromIdOf(msg)).c_str());
    session->dropSession();
    return true;
}

// A full journal cannot keep another message: it is neither acknowledged
// nor relayed, so the client sends it again later. A resend only asks the
// WAS whom it missed and stores nothing new.
bool refusedForTheJournal(const msg_info& msg) {
    return msg.msgNumFromClient == 0 && JournalReplay::getInst().refusesNewMessages();
}

// A message or attachment notice speaks for the session's own member only.
bool admittedSender(const P2PPacket* pk, ChatSession* session, const msg_info& msg) {
    const std::string fromId = fromIdOf(msg);
    return SessionGuard::admitsAction(pk, session, {msg.roomId, &fromId, msg.fromOsType});
}

void logHandlerException(const char* what) {
    TRACE(TRACE_ERROR, "%s Exception ERROR:%d(%s)", what, errno, std::strerror(errno));
    logErrno(std::string(what) + " Exception");
}

}  // namespace

void MsgEventHandler::eventHandle(const P2PPacket* pk, ChatSession* session) {
    try {
        Metrics& metrics = Metrics::getInst();
        switch (pk->m_h.code) {
            case MSG:
                Metrics::add(metrics.received[Metrics::KIND_MESSAGE]);
                receiveMsg(pk, session);
                break;
            case TYPING:
                Metrics::add(metrics.received[Metrics::KIND_TYPING]);
                relayTypingState(pk, session);
                break;
            case ATTACH:
                Metrics::add(metrics.received[Metrics::KIND_ATTACHMENT]);
                receiveAttachMsg(pk, session);
                break;
            default: break;
        }
    } catch (const std::exception& e) {
        g_Logger.log("MsgEventHandler Exception ERROR:%d(%s) code=%u: %s", errno, std::strerror(errno),
                     pk->m_h.code, e.what());
        errno = 0;
    }
}

// ---- parsing ----

bool MsgEventHandler::parseMsg(const P2PPacket* pk, msg_info* msg) {
    try {
        Parser2 p(pk->m_body, pk->m_body ? pk->m_h.blen : 0);
        field_t r = readSender(p, msg);
        if (r == field_t::READ) r = readTextAndFont(p, msg);
        if (r == field_t::TOO_LONG) return false;
        if (r == field_t::READ) readTrailer(p, msg);
    } catch (const std::exception&) {
        TRACE(TRACE_ERROR, "RelayMessage Exception ERROR:%d(%s)", errno, std::strerror(errno));
        errno = 0;
    }
    return true;
}

bool MsgEventHandler::parseAttachMsg(const P2PPacket* pk, msg_info* msg, std::list<std::string>* userIds,
                                     attachFileInfo* attachInfo) {
    try {
        Parser2 p(pk->m_body, pk->m_body ? pk->m_h.blen : 0);
        field_t r = readSender(p, msg);
        if (r == field_t::READ) {
            const bool complete = p.value(&msg->trid) && p.value(&msg->msgNumFromClient) &&
                                  p.value(&msg->msgType);
            r = complete ? readTargets(p, userIds) : field_t::MISSING;
        }
        if (r == field_t::READ) r = readAttachFile(p, attachInfo);
        if (r == field_t::TOO_LONG) return false;
    } catch (const std::exception&) {
        TRACE(TRACE_ERROR, "RelayMessage Exception ERROR:%d(%s)", errno, std::strerror(errno));
        errno = 0;
    }
    msg->msgLen = 0;
    return true;
}

uint32_t MsgEventHandler::parseTypingData(const P2PPacket* pk) {
    Parser2 p(pk->m_body, pk->m_body ? pk->m_h.blen : 0);
    uint32_t roomId = 0;
    p.value(&roomId);
    return roomId;
}

// ---- message and attachment notice ----

void MsgEventHandler::setSystemData(msg_info* msg) {
    RoomManager& rooms = RoomManager::getInst();
    const std::string fromId = fromIdOf(*msg);
    msg->msgNum = rooms.getNextMsgNumber(msg->roomId, fromId);
    msg->msgTime = ChatUtil::getUTCTimeSecond();
    msg->memberCount = rooms.getMemberCount(msg->roomId, fromId);
    rooms.updateActionTime(msg->roomId, fromId, 0);
}

std::string MsgEventHandler::takeResendNumber(msg_info* msg, const char* tag) {
    if (!isResendMsg(*msg)) return {};
    // A resend keeps the number the client saw acknowledged the first time.
    msg->msgNum = msg->msgNumFromClient;
    return tag + std::to_string(msg->msgNumFromClient);
}

void MsgEventHandler::logReceived(const msg_info& msg, const char* eventName, const std::string& opt) {
    ChatUtil::receiveLogging(msg.roomId, static_cast<int>(msg.msgNum), eventName, fromIdOf(msg), msg.fromOsType,
                             opt);
}

void MsgEventHandler::receiveMsg(const P2PPacket* pk, ChatSession* session) {
    msg_info msg;
    if (!parseMsg(pk, &msg)) {
        session->dropSession();
        return;
    }
    if (refusedRoomZero(msg, "MSG", session)) return;
    if (!admittedSender(pk, session, msg)) return;
    if (refusedForTheJournal(msg)) return;
    setSystemData(&msg);
    CommonHandler::updateUserInfo(&msg);
    std::string opt = takeResendNumber(&msg, "MSG_RESEND,");
    if (!opt.empty()) opt += ',';
    logReceived(msg, "MSG", opt + std::to_string(msg.msgType));
    sendServerAck(session, msg, msg.memberCount, MSG_ACK);
    if (isResendMsg(msg))
        requestFailUserInfo(msg, session);
    else
        sendMsgProcess(msg, pk, session);
}

void MsgEventHandler::receiveAttachMsg(const P2PPacket* pk, ChatSession* session) {
    msg_info msg;
    std::list<std::string> targets;
    attachFileInfo attachInfo;
    if (!parseAttachMsg(pk, &msg, &targets, &attachInfo)) {
        session->dropSession();
        return;
    }
    if (refusedRoomZero(msg, "ATTACH", session)) return;
    if (!admittedSender(pk, session, msg)) return;
    if (refusedForTheJournal(msg)) return;
    setSystemData(&msg);
    CommonHandler::updateUserInfo(&msg);
    // Unlike a text message's, the type follows a comma in every case.
    logReceived(msg, "ATTACH", takeResendNumber(&msg, "ATTACH_RESEND,") + "," + std::to_string(msg.msgType));
    sendServerAck(session, msg, msg.memberCount, ATTACH_ACK);
    if (isResendMsg(msg)) {
        requestFailUserInfo(msg, session);
        return;
    }
    const std::unique_ptr<Broadcast> broadcast =
        broadcastAttachMsg(msg, session, pk->m_h.trid, targets, attachInfo);
    saveData(msg, session, *broadcast, attachInfo);
    msgProcess(msg, *broadcast, session);
}

void MsgEventHandler::sendMsgProcess(const msg_info& msg, const P2PPacket* pk, ChatSession* session) {
    const std::unique_ptr<Broadcast> broadcast = broadcastMsg(msg, session, pk->m_h.trid);
    saveData(msg, session, *broadcast, attachFileInfo());
    msgProcess(msg, *broadcast, session);
}

void MsgEventHandler::msgProcess(const msg_info& msg, const Broadcast& broadcast, ChatSession* session) {
    // Registration first: the server's own ACKs below and the push path's
    // must find their entry.
    registAck(msg, broadcast.getSendUserList());
    mobilePush(msg, session, broadcast);
    sendFailList(msg, broadcast.getSendFailList());
    mobileRelayAck(msg, broadcast.getMobileSuccessList());
}

std::unique_ptr<Broadcast> MsgEventHandler::broadcastMsg(const msg_info& msg, ChatSession* session,
                                                         uint32_t headerTrid) {
    const OutPacket relay = makeRelayMsgPacket(msg, headerTrid);
    auto broadcast = std::make_unique<Broadcast>();
    broadcast->broadcastMsg(session, relay.get(), msg);
    return broadcast;
}

std::unique_ptr<Broadcast> MsgEventHandler::broadcastAttachMsg(const msg_info& msg, ChatSession* session,
                                                               uint32_t headerTrid,
                                                               const std::list<std::string>& userIds,
                                                               const attachFileInfo& attachInfo) {
    const OutPacket relay = makeRelayAttachMsgPacket(msg, headerTrid, attachInfo);
    auto broadcast = std::make_unique<Broadcast>();
    broadcast->broadcastAttachMsg(session, relay.get(), msg, userIds);
    return broadcast;
}

std::unique_ptr<Broadcast> MsgEventHandler::broadcastResendMsg(const msg_info& msg, ChatSession* session,
                                                               const std::list<std::string>& userIds) {
    // A resent attachment notice goes out as a message relay too.
    const OutPacket relay = makeRelayMsgPacket(msg, msg.trid);
    auto broadcast = std::make_unique<Broadcast>();
    broadcast->broadcastResendMsg(session, relay.get(), msg, userIds);
    return broadcast;
}

OutPacket MsgEventHandler::makeRelayMsgPacket(const msg_info& msg, uint32_t headerTrid) {
    BodyWriter w(kRelayBodyCapacity);
    writeSenderHead(w, msg)
        .u16(msg.fromOsType)
        .u32(msg.msgTime)
        .str16(msgText(msg.msg, msg.msgLen))
        .u32(msg.msgNum)
        .u32(msg.fontLength)
        .raw(msg.font, std::min<size_t>(msg.fontLength, sizeof msg.font))
        .u32(msg.trid)
        .u8(msg.msgType);
    return OutPacket(MSG_RELAY, w.take(), headerTrid);
}

OutPacket MsgEventHandler::makeRelayAttachMsgPacket(const msg_info& msg, uint32_t headerTrid,
                                                    const attachFileInfo& attachInfo) {
    BodyWriter w(kRelayBodyCapacity);
    writeSenderHead(w, msg)
        .u16(msg.fromOsType)
        .u32(msg.msgTime)
        .u32(msg.trid)
        .u32(msg.msgNum)
        .u8(msg.msgType)
        .str16(msgText(attachInfo.fileName, attachInfo.fileNameLen))
        .u32(attachInfo.fileSize)
        .str16(msgText(attachInfo.url, attachInfo.urlLen));
    return OutPacket(ATTACH_ALARM_RELAY, w.take(), headerTrid);
}

void MsgEventHandler::sendServerAck(ChatSession* session, const msg_info& msg, uint32_t memberCount,
                                    uint16_t commandCode) {
    try {
        BodyWriter w(kAckBodyCapacity);
        w.u32(msg.roomId).u32(msg.msgNum).str16(msgText(msg.fromId, msg.fromIdLen)).u32(msg.trid).u32(msg.msgTime);
        auto send = [serial = session->serial(), body = w.take(), commandCode, roomId = msg.roomId,
                     msgNum = msg.msgNum, fromId = fromIdOf(msg), osType = msg.fromOsType, memberCount] {
            // A reply to a header of our own: code unchanged, trid and session
            // 0. The client matches the ACK by the body's trid.
            const OutPacket ack(commandCode, {});
            ChatSession* session = ChatSession::findLive(serial);
            const int result =
                session ? session->chatPush(ack.get(), body.data(), static_cast<uint16_t>(body.size()), 0) : -1;
            ChatUtil::sendLogging(roomId, static_cast<int>(msgNum), "MSG_ACK", fromId, osType, result,
                                  std::to_string(memberCount));
        };
        // Accepted means stored: the ACK leaves once the message's save is
        // on disk, at the end of this loop pass as a rule; the session may be
        // gone by then.
        if (JobJournal* journal = JournalReplay::getInst().journal())
            journal->afterDurable(std::move(send));
        else
            send();
    } catch (const std::exception&) {
        logHandlerException("doAckSendMsg");
    }
}

void MsgEventHandler::saveData(const msg_info& msg, ChatSession* session, const Broadcast& broadcast,
                               const attachFileInfo& attachInfo) {
    const std::map<std::string, std::string> readYnList = broadcast.getReadYnList();
    CommonHandler::saveData(&msg, session, &readYnList, &attachInfo);
}

void MsgEventHandler::registAck(const msg_info& msg,
                                const std::map<std::string, std::list<uint16_t>>& sendUserList) {
    auto detail = std::make_unique<SendMsgDetail>();
    detail->setRoomId(msg.roomId);
    detail->setFromUserId(fromIdOf(msg));
    detail->setFromOsType(msg.fromOsType);
    detail->setMsgNum(msg.msgNum);
    detail->setMsgType(msg.msgType);
    detail->setMsgTime(msg.msgTime);
    detail->setTrid(msg.trid);
    detail->setUserList(sendUserList);
    AckManager::getInstance().ackExpect(std::move(detail));
}

void MsgEventHandler::mobilePush(const msg_info& msg, ChatSession* session, const Broadcast& broadcast) {
    MobilePush::pushToMobile(&msg, broadcast.getPushUserIds(), session);
}

void MsgEventHandler::sendFailList(const msg_info& msg, const std::list<send_result>& failList) {
    const kept_msg_t kept = keptMsgOf(msg);
    for (const send_result& result : failList) CommonHandler::msgRelayResultAdd(result, kept);
}

OutPacket MsgEventHandler::makeMobileRelayAckPacket(const msg_info& msg, const std::string& userId) {
    BodyWriter w(kRelayAckBodyCapacity);
    w.u32(msg.roomId).u32(msg.msgNum).str16(userId).u32(0).u16(OS_TYPE_MOBILE);
    return OutPacket(MSG_RELAY_ACK, w.take());
}

void MsgEventHandler::mobileRelayAck(const msg_info& msg, const std::list<std::string>& userIds) {
    // A mobile may sleep through the relay; the server answers for it so the
    // member is not reported as timed out.
    for (const std::string& userId : userIds) {
        const OutPacket ack = makeMobileRelayAckPacket(msg, userId);
        AckEventHandler().receiveMsgRelayAck(ack.get(), SEND_RESULT_SUCCESS);
    }
}

// ---- resend ----

OutPacket MsgEventHandler::makeFailUserRequestPacket(const msg_info& msg) {
    BodyWriter w(kFailUserBodyCapacity);
    w.u32(msg.roomId).u32(msg.msgNumFromClient).str16(ChatUtil::getTenantId(msgText(msg.fromId, msg.fromIdLen)));
    return OutPacket(WAS_JOB, w.take());
}

void MsgEventHandler::requestFailUserInfo(msg_info msg, ChatSession* session) {
    const OutPacket request = makeFailUserRequestPacket(msg);
    msg.msgNum = msg.msgNumFromClient;
    // The dummy carries the message to the job's reply and stands for the
    // sender there, so the sender's own device is not relayed to again.
    ChatSessionDummy* dummy = ChatSessionDummy::create(msg);
    dummy->setProfile(session->getUserId(), session->getNameInfo(), session->getRoomId(), session->getOsType());
    (new QuillonRequestFailUserHandler())->doit(dummy, request.get());
}

void MsgEventHandler::resendMsgProcess(ChatSessionDummy* fromSession, const std::list<std::string>& resendUserIds) {
    if (!fromSession) return;
    try {
        const msg_info msg = fromSession->getMsgInfo();
        const std::unique_ptr<Broadcast> broadcast = broadcastResendMsg(msg, fromSession, resendUserIds);
        // A resent message was saved the first time; it is not saved again.
        msgProcess(msg, *broadcast, fromSession);
    } catch (const std::exception&) {
        logHandlerException("resendMsgProcess");
    }
}

// ---- typing ----

void MsgEventHandler::relayTypingState(const P2PPacket* pk, ChatSession* session) {
    msg_info msg;
    msg.roomId = parseTypingData(pk);
    // The body goes out as it is, so the user id in it must be the sender's.
    std::string named;
    const bool namesUser = SessionGuard::typingUserId(pk, &named);
    if (!SessionGuard::admitsAction(pk, session, {msg.roomId, namesUser ? &named : nullptr, OS_TYPE_NONE})) return;
    setMsgText(msg.fromId, msg.fromIdLen, session->getUserId());
    std::vector<char> body;
    if (pk->m_body && pk->m_h.blen > 0) body.assign(pk->m_body, pk->m_body + pk->m_h.blen);
    const OutPacket relay(TYPING_ALARM, std::move(body));
    Broadcast().broadcastTypingInfo(session, relay.get(), msg);
}
