#include "tolvex/chat/CommonHandler.h"

#include <cerrno>
#include <cstring>
#include <exception>

#include "p2p/Maker.h"
#include "tolvex/util/ChatContext.h"
#include "tolvex/util/Globals.h"
#include "tolvex/ack/AckRoom.h"
#include "tolvex/chat/BodyWriter.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/chat/QuillonRequestInviteHandler.h"
#include "tolvex/chat/QuillonSaveMsgHandler.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/SessionContainer.h"
#include "tolvex/task/LoopPost.h"
#include "tolvex/task/SendStateTask.h"
#include "tolvex/util/ChatUtil.h"
#include "tolvex/util/Metrics.h"

namespace {

std::string serviceIp() {
    return g_pApp ? g_pApp->config().shared()->service_ip : std::string();
}

uint16_t roomTypeOf(const Room& room) {
    return room.isGroupRoom() ? ROOM_TYPE_GROUP : ROOM_TYPE_COUPLE;
}

}  // namespace

bool CommonHandler::checkHacking(uint32_t limitSize, uint32_t inputSize, const char* checkItem) {
    if (inputSize <= limitSize) return false;
    g_Logger.log("!!!!!!!!!!!!!!!! HACK !!!!!!!!!!!!!!! Input %s length = %d", checkItem, static_cast<int>(inputSize));
    return true;
}

void CommonHandler::updateUserInfo(const msg_info* msg) {
    updateSendUserInfo(msg->roomId, msgText(msg->fromId, msg->fromIdLen), msg->fromOsType,
                       msgText(msg->fromIdTalkName, msg->fromIdTalkNameLen));
}

void CommonHandler::updateSendUserInfo(uint32_t roomId, std::string_view userId, uint16_t osType,
                                       std::string_view userNameInfo) {
    User* user = RoomManager::getInst().getRoomUser(roomId, std::string(userId));
    if (!user) return;
    user->setLastSendActionOsType(osType);
    user->setLastJoinOsType(osType);
    user->setNameInfo(std::string(userNameInfo));
}

void CommonHandler::updateJoinUserInfo(uint32_t roomId, std::string_view userId, uint16_t osType,
                                       std::string_view userNameInfo) {
    User* user = RoomManager::getInst().getRoomUser(roomId, std::string(userId));
    if (!user) return;
    user->setLastJoinOsType(osType);
    user->setNameInfo(std::string(userNameInfo));
}

void CommonHandler::msgRelayResultAdd(const send_result& sendResult, const kept_msg_t& msg) {
    const std::string_view userId = msgText(sendResult.userId, sendResult.userIdLen);
    // The command log keeps every outcome as it happens; the send-state
    // task reports them to the sender and the WAS seconds later, in batches.
    g_Logger.log("send result: room_id=%u msg_num=%u user_id=%s os_type=%u code=%u", msg.roomId, msg.msgNum,
                 logText(userId).c_str(), sendResult.osType, sendResult.sendResultCode);
    Metrics::getInst().outcome(sendResult.sendResultCode);
    SendStateTask::getInstance().addSendResult(msg, sendResult);
    const bool isPcSessionOk = sessionCheckResult(msg.roomId, userId, sendResult.osType);
    if (sendResult.sendResultCode == SEND_RESULT_SUCCESS && isPcSessionOk) return;
    retryInvite(msg.roomId, msg.fromId, userId);
}

void CommonHandler::memberResultAdd(const relay_msg_t& relayed, const std::string& userId, uint16_t osType,
                                    uint32_t code) {
    kept_msg_t msg;
    msg.roomId = relayed.roomId;
    msg.msgNum = relayed.msgNum;
    msg.msgTime = static_cast<uint32_t>(relayed.msgTime);
    msg.trid = relayed.trid;
    msg.fromOsType = relayed.fromOsType;
    msg.fromId = relayed.fromUserId;
    send_result result;
    setMsgText(result.userId, result.userIdLen, userId);
    if (const User* user = RoomManager::getInst().getRoomUser(relayed.roomId, userId)) {
        setMsgText(result.userNameInfo, result.userNameInfoLen, user->getNameInfo());
        result.joinSeq = user->getJoinSeq();
    }
    result.osType = osType;
    result.sendResultCode = code;
    msgRelayResultAdd(result, msg);
}

bool CommonHandler::sessionCheckResult(uint32_t roomId, std::string_view userId, uint16_t ackOsType) {
    if (ackOsType != OS_TYPE_MOBILE) return true;
    return SessionContainer::getInstance().existPcSession(roomId, std::string(userId));
}

void CommonHandler::saveData(const msg_info* msg, ChatSession* session) {
    saveData(msg, session, nullptr, nullptr);
}

void CommonHandler::saveData(const msg_info* msg, ChatSession* /*session*/,
                             const std::map<std::string, std::string>* readYnUserList,
                             const attachFileInfo* attachInfo) {
    try {
        const std::string fromId(msgText(msg->fromId, msg->fromIdLen));
        Room* room = RoomManager::getInst().getRoom(msg->roomId, fromId);
        if (!room) return;
        std::list<save_member_t> members;
        for (const User* user : room->getActiveUserList())
            members.push_back({user->getUserId(), user->getNameInfo(), user->getJoinSeq()});
        const save_texts_t texts = makeSaveTexts(members, readYnUserList);
        const attachFileInfo noFile{};
        const OutPacket pk = makeSaveMsgPacket(*msg, texts, static_cast<uint32_t>(members.size()),
                                               roomTypeOf(*room), attachInfo ? *attachInfo : noFile);
        (new QuillonSaveMsgHandler())->doit(nullptr, pk.get());
    } catch (const std::exception&) {
        logErrno("Quillon SaveMsg");
    }
}

CommonHandler::save_texts_t CommonHandler::makeSaveTexts(const std::list<save_member_t>& members,
                                                         const std::map<std::string, std::string>* readYnUserList) {
    save_texts_t texts;
    for (const save_member_t& m : members) {
        texts.recvUserList += m.userId + '\t';
        texts.recvUserNickNmList += m.nameInfo + '\t';
        texts.recvUserJoinSeqList += std::to_string(m.joinSeq) + ',';
        bool notRead = false;
        if (readYnUserList) {
            auto it = readYnUserList->find(m.userId);
            notRead = it != readYnUserList->end() && it->second != "y";
        }
        texts.readYnList += notRead ? "n," : "y,";
    }
    // The trailing separator is not sent; a room without members sends
    // empty texts.
    for (std::string* text : {&texts.recvUserList, &texts.recvUserNickNmList, &texts.recvUserJoinSeqList,
                              &texts.readYnList})
        if (!text->empty()) text->pop_back();
    return texts;
}

OutPacket CommonHandler::makeSaveMsgPacket(const msg_info& msg, const save_texts_t& texts, uint32_t memberCount,
                                           uint16_t roomType, const attachFileInfo& attachInfo) {
    BodyWriter w(kSaveBodyCapacity);
    writeSenderHead(w, msg)
        .str16(msgText(msg.msg, msg.msgLen))
        .u32(msg.msgNum)
        .u8(msg.msgType)
        .u32(msg.msgTime)
        .str16(texts.recvUserList)
        .str16(texts.recvUserNickNmList)
        .str16(texts.recvUserJoinSeqList)
        .str16(texts.readYnList)
        .u32(memberCount)
        .u32(msg.trid)
        .u16(msg.fromOsType)
        .u16(roomType)
        .str16(msgText(attachInfo.fileName, attachInfo.fileNameLen))
        .u32(attachInfo.fileSize)
        .str16(msgText(attachInfo.url, attachInfo.urlLen));
    return OutPacket(WAS_JOB, w.take());
}

void CommonHandler::retryInvite(uint32_t roomId, std::string_view fromId, std::string_view toId) {
    // The contents read the room and the job runs on the loop; a worker
    // thread's request is carried there by value.
    LoopPost::toLoop([roomId, from = std::string(fromId), to = std::string(toId)] {
        try {
            const OutPacket pk = makeRetryInvitePacket(from, to, makeSendMemoExContents(roomId, from));
            (new QuillonRequestInviteHandler())->doit(nullptr, pk.get());
        } catch (const std::exception&) {
            logErrno("inviteUserResponse Exception");
        }
    });
}

std::string CommonHandler::makeSendMemoExContents(uint32_t roomId, std::string_view fromUserId) {
    const std::string fromId(fromUserId);
    Room* room = RoomManager::getInst().getRoom(roomId, fromId);
    User* user = RoomManager::getInst().getRoomUser(roomId, fromId);
    if (!room || !user) return {};
    std::string contents = fromId + '|' + user->getNameInfo() + '|' + std::to_string(roomId) + '|' + serviceIp() +
                           '|' + std::to_string(g_service_port) + '|' + std::to_string(roomTypeOf(*room));
    if (contents.size() > static_cast<size_t>(kInviteContentsCapacity)) contents.resize(kInviteContentsCapacity);
    return contents;
}

OutPacket CommonHandler::makeRetryInvitePacket(std::string_view fromUserId, std::string_view toUserId,
                                               std::string_view contents) {
    BodyWriter w(kInviteBodyCapacity);
    w.str16(fromUserId).str16(toUserId).str16(contents);
    return OutPacket(INVITE_RETRY, w.take());
}

P2PPacket CommonHandler::makeSessionClosePacket(uint32_t roomId, uint16_t reasonCode) {
    // Per thread, so a worker building one never overwrites the loop's.
    thread_local char body[kSessionCloseBodyCapacity + 1];
    std::memset(body, 0, sizeof body);
    Maker mk(body, kSessionCloseBodyCapacity);
    mk.mem(&roomId, sizeof roomId);
    mk.mem(&reasonCode, sizeof reasonCode);
    P2PPacket pk;
    pk.m_h.make2(SESSION_CLOSE, "", 0, "", 0, 0, 0, 0);
    pk.setBody(body, mk.len());
    return pk;
}
