#include "tolvex/chat/MobilePush.h"

#include <algorithm>

#include "tolvex/util/Globals.h"
#include "tolvex/chat/BodyWriter.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/chat/OutPacket.h"
#include "tolvex/chat/QuillonJob.h"
#include "tolvex/chat/QuillonNPushHandler.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/util/ChatCodes.h"
#include "tolvex/util/ChatUtil.h"
#include "tolvex/util/Metrics.h"

namespace {

constexpr int kNoPushLimit = -1;
constexpr size_t kMaxStr16 = 65535;

// One push body with recipients as its recipient text.
BodyWriter& writePushBody(BodyWriter& w, const msg_info& msg, std::string_view recipients,
                          const std::string& serviceIp) {
    return writeSenderHead(w, msg)
        .str16(msgText(msg.msg, msg.msgLen))
        .u32(msg.msgNum)
        .u8(msg.msgType)
        .u32(msg.msgTime)
        .str16(recipients)
        .str16(serviceIp)
        .u32(static_cast<uint32_t>(g_service_port))
        .u32(msg.memberCount);
}

}  // namespace

std::string push_data::joinedIds() const {
    std::string text;
    for (const std::string& id : userIds) {
        if (!text.empty()) text += ',';
        text += id;
    }
    return text;
}

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
    const int limit = QuillonSettings::values()->push_alarm_count;
    for (const std::string& userId : pushUserIds) {
        if (userId == fromId) continue;
        // Any negative limit reads as "no limit"; the count still grows, so
        // a limit set later applies to what was already sent.
        if (limit > kNoPushLimit && rooms.getPushAlarmCount(roomId, userId) >= static_cast<uint32_t>(limit))
            continue;
        if (rooms.readsOnPc(roomId, userId)) continue;
        out->userIds.push_back(userId);
        rooms.increasePushAlarmCount(roomId, userId);
        ChatUtil::sendLogging(roomId, static_cast<int>(msgNum), "MSG_RELAY", userId, OS_TYPE_MOBILE, 0, "NPUSH");
    }
    out->fromId = fromId;
    return !out->userIds.empty();
}

std::vector<std::string> MobilePush::splitRecipients(const push_data& data, size_t budget) {
    std::vector<std::string> texts;
    std::string current;
    for (const std::string& id : data.userIds) {
        if (id.empty()) continue;
        if (id.size() > budget) {
            g_Logger.log("NPUSH: user id of %zu bytes does not fit a push request, not pushed: %s", id.size(),
                         logText(id).c_str());
            continue;
        }
        if (!current.empty() && current.size() + 1 + id.size() > budget) {
            texts.push_back(std::move(current));
            current.clear();
        }
        if (!current.empty()) current += ',';
        current += id;
    }
    if (!current.empty()) texts.push_back(std::move(current));
    return texts;
}

std::vector<OutPacket> MobilePush::makeNpushPackets(const msg_info& msg, const push_data& data) {
    const std::string serviceIp = QuillonSettings::values()->service_ip;
    // What every body needs besides the recipient text decides how much of
    // the capacity that text may take.
    BodyWriter fixed(kPushBodyCapacity);
    if (!writePushBody(fixed, msg, "", serviceIp).ok()) {
        g_Logger.log("NPUSH: the message fields alone exceed a push request: room_id=%u, msg_num=%u", msg.roomId,
                     msg.msgNum);
        return {};
    }
    const size_t budget = std::min(static_cast<size_t>(kPushBodyCapacity - fixed.len()), kMaxStr16);

    std::vector<OutPacket> packets;
    for (const std::string& recipients : splitRecipients(data, budget)) {
        BodyWriter w(kPushBodyCapacity);
        writePushBody(w, msg, recipients, serviceIp);
        packets.emplace_back(WAS_JOB, w.take());
    }
    return packets;
}

void MobilePush::callNPushPage(const msg_info& msg, const push_data& data, ChatSession* /*session*/) {
    const std::vector<OutPacket> packets = makeNpushPackets(msg, data);
    Metrics::add(Metrics::getInst().pushesRequested, data.userIds.size());
    if (packets.size() > 1)
        g_Logger.log("NPUSH: %zu recipients in %zu requests: room_id=%u, msg_num=%u", data.userIds.size(),
                     packets.size(), msg.roomId, msg.msgNum);
    // Each request is a job of its own, and its reply answers for the
    // recipients it names.
    for (const OutPacket& pk : packets) (new QuillonNPushHandler())->doit(nullptr, pk.get());
}

void MobilePush::resetPushCount(uint32_t roomId, const std::string& userId, uint16_t osType) {
    if (osType == OS_TYPE_MOBILE) RoomManager::getInst().resetPushAlarmCount(roomId, userId);
}
