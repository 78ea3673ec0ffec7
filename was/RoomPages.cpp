#include "was/RoomPages.h"

#include <optional>

#include "was/FieldLimits.h"
#include "was/FormBody.h"
#include "was/PageAnswer.h"
#include "was/ReportedDaemon.h"
#include "was/RequestError.h"
#include "was/WasReply.h"
#include "was/WasStore.h"
#include "was/WasText.h"

namespace {

// The join sequence with which the daemon says that the whole history of
// the member is left, not only its current membership.
constexpr int32_t kLeaveAllHistory = -100;

[[noreturn]] void refuse(const std::string& text) {
    throw RequestError(WAS_BAD_REQUEST, text);
}

uint32_t roomIdOf(const FormBody& form) {
    return form.nonZeroU32("room_id");
}

leave_t leaveOf(const FormBody& form) {
    leave_t leave;
    leave.roomId = roomIdOf(form);
    leave.userId = form.id("user_id", kMaxUserId);
    leave.time = form.optionalU32("time", nowSeconds());
    leave.joinSeq = form.i32("join_seq");
    std::string current = form.optionalText("leave_current_join_seq", 3);
    if (!current.empty() && current != "yes" && current != "no")
        refuse("bad value in leave_current_join_seq");
    leave.wholeHistory = current == "no" || leave.joinSeq == kLeaveAllHistory;
    if (!leave.wholeHistory && leave.joinSeq < 0) refuse("bad number in join_seq");
    return leave;
}

// Attributes in the order the daemon reads them: room id, user id, name
// information, join sequence, highest message sequence, end time text,
// last activity, member count, highest join sequence.
void addRoomRow(XmlRows& xml, const room_row_t& row) {
    xml.openElement("room")
        .attribute("room_id", row.roomId)
        .attribute("user_id", row.userId)
        .attribute("name_info", row.nameInfo)
        .attribute("join_seq", row.joinSeq)
        .attribute("max_msg_seq", row.maxMsgSeq)
        .attribute("end_ymdt", row.left ? endTimeText(row.leftAt) : std::string())
        .attribute("last_recv_time", row.lastActivity)
        .attribute("member_cnt", row.memberCount)
        .attribute("max_join_seq", row.maxJoinSeq)
        .closeElement();
}

}  // namespace

std::string RoomPages::leave(std::string_view body) {
    return answerPage("leave", [&] {
        m_store.leave(leaveOf(FormBody::parse(body)));
        return replyHeader(WAS_OK, "");
    });
}

std::string RoomPages::endRoom(std::string_view body) {
    return answerPage("endRoom", [&] {
        FormBody form = FormBody::parse(body);
        uint32_t roomId = roomIdOf(form);
        std::string tenant = form.id("tenant_id", kMaxTenant);
        m_store.endRoom(roomId, tenant, form.optionalU32("time", nowSeconds()));
        return replyHeader(WAS_OK, "");
    });
}

// The whole list goes out in one reply, so it is written straight into the
// reply's blocks as the store reads it: a start-up list may hold a million
// rows. answerPage gives back the refusal header, or nothing once the list
// is whole.
ReplyBlocks RoomPages::notEndedRooms(std::string_view body) {
    ReplyBlocks list;
    std::string refusal = answerPage("notEndRoomList", [&] {
        FormBody form = FormBody::parse(body);
        uint32_t start = form.u32("start_roomid");
        bool all = form.optionalText("load_mode", kMaxLoadMode) == "all";
        list.tail().append(replyHeader(WAS_OK, ""));
        XmlRows xml(list.tail(), "rooms");
        const daemon_address_t daemon = reportedDaemon(form);
        const std::optional<uint32_t> page = all ? std::nullopt : std::optional<uint32_t>(m_roomsPerPage);
        m_store.notEndedRooms(start, page, daemon, [&](const room_row_t& row) {
            addRoomRow(xml, row);
            list.cutWhenFull();
        });
        xml.finish();
        return std::string();
    });
    return refusal.empty() ? std::move(list) : ReplyBlocks(std::move(refusal));
}

std::string RoomPages::loadRoom(std::string_view body) {
    return answerPage("loadRoom", [&] {
        FormBody form = FormBody::parse(body);
        uint32_t roomId = roomIdOf(form);
        std::string tenant = form.id("tenant_id", kMaxTenant);
        const daemon_address_t daemon = reportedDaemon(form);
        std::string document;
        XmlRows xml(document, "rooms");
        bool found = false;
        m_store.roomRows(roomId, tenant, daemon, [&](const room_row_t& row) {
            addRoomRow(xml, row);
            found = true;
        });
        xml.finish();
        if (!found) return replyHeader(WAS_NOT_FOUND, "unknown room") + document;
        return replyHeader(WAS_OK, "") + document;
    });
}

// Not a daemon page: tells a client (tolvex-cli --directory) which daemon
// serves the room, or that none does yet (svr_ip "" and svr_port 0).
std::string RoomPages::directory(std::string_view body) {
    return answerPage("roomDirectory", [&] {
        FormBody form = FormBody::parse(body);
        uint32_t roomId = roomIdOf(form);
        std::string tenant = form.id("tenant_id", kMaxTenant);
        std::optional<room_directory_t> found = m_store.directory(roomId, tenant);
        if (!found) return replyHeader(WAS_NOT_FOUND, "unknown room");
        std::string reply = replyHeader(WAS_OK, "");
        XmlRows xml(reply, "rooms");
        xml.openElement("room")
            .attribute("room_id", found->roomId)
            .attribute("tenant_id", found->tenantId)
            .attribute("svr_ip", found->holder.ip)
            .attribute("svr_port", found->holder.port)
            .closeElement();
        xml.finish();
        return reply;
    });
}
