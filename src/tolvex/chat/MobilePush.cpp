#include "tolvex/chat/MobilePush.h"

#include "tolvex/ChatApp.h"
#include "tolvex/Globals.h"
#include "tolvex/chat/BodyWriter.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/chat/OutPacket.h"
#include "tolvex/chat/QuillonNPushHandler.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/util/ChatCodes.h"
#include "tolvex/util/ChatUtil.h"

namespace {

constexpr int kNoPushLimit = -1;

int pushAlarmLimit() {
    return g_pApp ? g_pApp->config().values().push_alarm_count : kNoPushLimit;
}

std::string serviceIp() {
    return g_pApp ? g_pApp->config().values().service_ip : std::string();
}

}  // namespace

void MobilePush::pushToMobile(const msg_info* msg, const std::list<std::string>& pushUserIds,
                              ChatSession* session) {
    if (pushUserIds.empty()) return;
    push_data data;
    if (reSelectPushUsers(msg->roomId, msg->msgNum, std::string(msgText(msg->fromId, msg->fromIdLen)),
                          pushUserIds, &data))
        callNPushPage(*msg, data, session);
}

bool MobilePush::reSelectPushUsers(uint32_t roomId, uint32_t msgNum, const std::string& fromId,
                                   const std::list<std::string>& pushUserIds, push_data* out) {
    RoomManager& rooms = RoomManager::getInst();
    const int limit = pushAlarmLimit();
    for (const std::string& userId : pushUserIds) {
        if (userId == fromId) continue;
        const uint16_t lastSendOsType = rooms.getLastSendActionOsType(roomId, userId);
        const uint16_t lastJoinOsType = rooms.getLastJoinOsType(roomId, userId);
        if (limit != kNoPushLimit && rooms.getPushAlarmCount(roomId, userId) >= static_cast<uint32_t>(limit))
            continue;
        // A member last active on a PC reads it there.
        if (lastSendOsType == OS_TYPE_PC && lastJoinOsType != OS_TYPE_MOBILE) continue;
        out->append(userId);
        rooms.increasePushAlarmCount(roomId, userId);
        ChatUtil::sendLogging(roomId, static_cast<int>(msgNum), "MSG_RELAY", userId, OS_TYPE_MOBILE, 0, "NPUSH");
    }
    out->fromId = fromId;
    return !out->nPushIds.empty();
}

OutPacket MobilePush::makeNpushPacket(const msg_info& msg, const push_data& data) {
    BodyWriter w(kPushBodyCapacity);
    w.u32(msg.roomId)
        .str16(msgText(msg.fromId, msg.fromIdLen))
        .str16(msgText(msg.fromIdTalkName, msg.fromIdTalkNameLen))
        .str16(msgText(msg.msg, msg.msgLen))
        .u32(msg.msgNum)
        .u8(msg.msgType)
        .u32(msg.msgTime)
        .str16(data.nPushIds)
        .str16(serviceIp())
        .u32(static_cast<uint32_t>(g_service_port))
        .u32(msg.memberCount);
    return OutPacket(WAS_JOB, w.take());
}

void MobilePush::callNPushPage(const msg_info& msg, const push_data& data, ChatSession* /*session*/) {
    const OutPacket pk = makeNpushPacket(msg, data);
    (new QuillonNPushHandler())->doit(nullptr, pk.get());
}

void MobilePush::resetPushCount(uint32_t roomId, const std::string& userId, uint16_t osType) {
    if (osType == OS_TYPE_MOBILE) RoomManager::getInst().resetPushAlarmCount(roomId, userId);
}
