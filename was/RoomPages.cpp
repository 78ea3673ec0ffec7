#include "was/RoomPages.h"

#include <vector>

#include "was/FieldLimits.h"
#include "was/FormBody.h"
#include "was/PageAnswer.h"
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
std::string roomDocument(const std::vector<room_row_t>& rows) {
    XmlRows xml("rooms");
    for (const room_row_t& row : rows)
        xml.add("room", {{"room_id", xmlNumber(row.roomId)},
                         {"user_id", row.userId},
                         {"name_info", row.nameInfo},
                         {"join_seq", xmlNumber(row.joinSeq)},
                         {"max_msg_seq", xmlNumber(row.maxMsgSeq)},
                         {"end_ymdt", row.left ? endTimeText(row.leftAt) : std::string()},
                         {"last_recv_time", xmlNumber(row.lastActivity)},
                         {"member_cnt", xmlNumber(row.memberCount)},
                         {"max_join_seq", xmlNumber(row.maxJoinSeq)}});
    return xml.document();
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

std::string RoomPages::notEndedRooms(std::string_view body) {
    return answerPage("notEndRoomList", [&] {
        FormBody form = FormBody::parse(body);
        uint32_t start = form.u32("start_roomid");
        bool all = form.optionalText("load_mode", kMaxLoadMode) == "all";
        auto rows = m_store.notEndedRooms(start, all ? std::nullopt
                                                     : std::optional<uint32_t>(m_roomsPerPage));
        return replyHeader(WAS_OK, "") + roomDocument(rows);
    });
}

std::string RoomPages::loadRoom(std::string_view body) {
    return answerPage("loadRoom", [&] {
        FormBody form = FormBody::parse(body);
        uint32_t roomId = roomIdOf(form);
        std::string tenant = form.id("tenant_id", kMaxTenant);
        auto rows = m_store.roomRows(roomId, tenant);
        if (rows.empty()) return replyHeader(WAS_NOT_FOUND, "unknown room") + roomDocument(rows);
        return replyHeader(WAS_OK, "") + roomDocument(rows);
    });
}
