#include "was/MessagePages.h"

#include <cstdint>
#include <optional>
#include <vector>

#include "was/FieldLimits.h"
#include "was/FormBody.h"
#include "was/PageAnswer.h"
#include "was/ReportedDaemon.h"
#include "was/RequestError.h"
#include "was/WasReply.h"
#include "was/WasStore.h"
#include "was/WasText.h"

namespace {

[[noreturn]] void refuse(const std::string& text) {
    throw RequestError(WAS_BAD_REQUEST, text);
}

uint32_t roomIdOf(const FormBody& form) {
    return form.nonZeroU32("room_id");
}

void checkId(const std::string& id, const char* list) {
    if (id.empty()) refuse(std::string("empty entry in ") + list);
    if (id.size() > kMaxUserId) refuse(std::string("id too long in ") + list);
    if (id.find('\0') != std::string::npos) refuse(std::string("zero byte in ") + list);
}

std::vector<std::string> idList(const FormBody& form, const char* name, char separator) {
    std::vector<std::string> ids = splitList(form.optionalBytes(name, SIZE_MAX), separator);
    for (const std::string& id : ids) checkId(id, name);
    return ids;
}

int64_t joinSeqEntry(const std::string& text, const char* list) {
    int64_t value = 0;
    bool digits = !text.empty() && text.size() <= 10;
    for (char c : text) digits = digits && c >= '0' && c <= '9';
    if (digits) value = std::stoll(text);
    if (!digits || value > 0xFFFFFFFFLL) refuse(std::string("bad join sequence in ") + list);
    return value;
}

// The daemon builds its name, join sequence and read lists in bounded
// buffers, so they may hold fewer entries than the id list; never more.
template <typename T>
void checkNotLonger(const std::vector<T>& list, size_t ids, const char* name) {
    if (list.size() > ids) refuse(std::string(name) + " longer than the id list");
}

std::vector<recipient_t> recipientsOf(const FormBody& form) {
    std::vector<std::string> ids = idList(form, "recv_user_list", '\t');
    std::vector<std::string> names =
        splitList(form.optionalText("recv_user_nick_nm_list", SIZE_MAX), '\t');
    std::vector<std::string> seqs =
        splitList(form.optionalText("recv_user_join_seq_list", kMaxShortList), ',');
    std::vector<std::string> reads =
        splitList(form.optionalText("read_yn_list", kMaxShortList), ',');
    checkNotLonger(names, ids.size(), "recv_user_nick_nm_list");
    checkNotLonger(seqs, ids.size(), "recv_user_join_seq_list");
    checkNotLonger(reads, ids.size(), "read_yn_list");

    std::vector<recipient_t> recipients(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        recipient_t& r = recipients[i];
        r.userId = ids[i];
        if (i < names.size()) {
            if (names[i].size() > kMaxName) refuse("name too long in recv_user_nick_nm_list");
            r.name = names[i];
        }
        if (i < seqs.size()) r.joinSeq = joinSeqEntry(seqs[i], "recv_user_join_seq_list");
        if (i < reads.size()) {
            if (reads[i] != "y" && reads[i] != "n") refuse("bad entry in read_yn_list");
            r.readYn = reads[i];
        }
    }
    return recipients;
}

saved_message_t savedMessageOf(const FormBody& form) {
    saved_message_t m;
    m.roomId = roomIdOf(form);
    m.senderId = form.id("send_user_id", kMaxUserId);
    m.tenantId = tenantOf(m.senderId);
    m.senderName = form.optionalText("send_user_nick_name", kMaxName);
    m.text = form.optionalBytes("msg", kMaxMessage);
    // A length that disagrees with the bytes means the text was cut on the way.
    if (form.has("data_size") && form.u32("data_size") != m.text.size())
        refuse("data_size does not match msg");
    m.msgSeq = form.u32("msg_seq");
    m.msgType = form.optionalU32("msg_type", 1);
    m.msgTime = form.optionalU32("time", nowSeconds());
    m.memberCount = form.optionalU32("member_count", 0);
    m.trid = form.optionalU32("trid", 0);
    m.senderOsType = form.optionalU32("os_type", 0);
    m.roomType = form.optionalU32("room_type", 1);
    m.fileName = form.optionalBytes("file_name", kMaxFileName);
    m.fileSize = form.optionalU32("file_size", 0);
    m.fileUrl = form.optionalBytes("file_url", kMaxFileUrl);
    m.recipients = recipientsOf(form);
    m.daemon = reportedDaemon(form);
    return m;
}

bool yesNo(const FormBody& form, const char* name, bool fallback) {
    if (!form.has(name)) return fallback;
    std::string value = form.bytes(name, 1);
    if (value != "y" && value != "n") refuse(std::string("bad value in ") + name);
    return value == "y";
}

send_state_t sendStateOf(const FormBody& form) {
    send_state_t state;
    state.roomId = roomIdOf(form);
    state.msgSeq = form.u32("msg_seq");
    state.tenantId = form.id("tenant_id", kMaxTenant);
    state.delivered = yesNo(form, "send_yn", true);
    std::vector<std::string> ids = idList(form, "userids", '\t');
    std::vector<std::string> seqs =
        splitList(form.optionalText("join_seqs", kMaxSendStateSeqs), '\t');
    checkNotLonger(seqs, ids.size(), "join_seqs");
    for (size_t i = 0; i < ids.size(); ++i) {
        delivery_t user{ids[i], std::nullopt};
        if (i < seqs.size()) user.joinSeq = joinSeqEntry(seqs[i], "join_seqs");
        state.users.push_back(std::move(user));
    }
    return state;
}

push_request_t pushRequestOf(const FormBody& form) {
    push_request_t push;
    push.roomId = roomIdOf(form);
    push.recipients = idList(form, "userid", ',');
    if (push.recipients.empty()) refuse("missing field userid");
    push.senderId = form.id("senderId", kMaxUserId);
    push.senderName = form.optionalText("senderNickNm", kMaxName);
    push.preview = form.optionalBytes("msg", kMaxMessage);
    push.msgSeq = form.u32("msgSeq");
    push.msgType = form.optionalU32("msgType", 1);
    push.time = form.optionalU32("time", nowSeconds());
    push.conn = form.optionalText("conn", kMaxConn);
    push.memberCount = form.optionalU32("mbCnt", 0);
    return push;
}

}  // namespace

std::string MessagePages::saveMessage(std::string_view body) {
    return answerPage("saveMessage", [&] {
        m_store.saveMessage(savedMessageOf(FormBody::parse(body)));
        return replyHeader(WAS_OK, "");
    });
}

std::string MessagePages::updateSendState(std::string_view body) {
    return answerPage("updateMsgSend", [&] {
        m_store.updateSendState(sendStateOf(FormBody::parse(body)));
        return replyHeader(WAS_OK, "");
    });
}

std::string MessagePages::sendFailUsers(std::string_view body) {
    return answerPage("sendFailUser", [&] {
        FormBody form = FormBody::parse(body);
        uint32_t roomId = roomIdOf(form);
        uint32_t msgSeq = form.u32("msg_num");
        std::string tenant = form.id("tenant_id", kMaxTenant);
        auto rows = m_store.failedRecipients(roomId, tenant, msgSeq);
        std::string reply = rows ? replyHeader(WAS_OK, "")
                                 : replyHeader(WAS_NOT_FOUND, "unknown message");
        XmlRows xml(reply, "send_fail_list");
        for (const fail_row_t& row : rows.value_or(std::vector<fail_row_t>()))
            xml.add("send_fail_info", {{"room_id", xmlNumber(row.roomId)},
                                       {"msg_num", xmlNumber(row.msgSeq)},
                                       {"trid", xmlNumber(row.trid)},
                                       {"user_id", row.userId}});
        xml.finish();
        return reply;
    });
}

std::string MessagePages::mobilePush(std::string_view body) {
    return answerPage("mobilePush", [&] {
        push_request_t push = pushRequestOf(FormBody::parse(body));
        std::vector<push_result_t> results = m_store.recordPush(push);
        std::string reply = replyHeader(WAS_OK, "");
        XmlRows xml(reply, "results");
        for (const push_result_t& result : results)
            xml.add("result", {{"room_id", xmlNumber(push.roomId)},
                               {"msg_num", xmlNumber(push.msgSeq)},
                               {"to_id", result.userId},
                               {"result_code", std::to_string(result.code)},
                               {"result_msg", result.text}});
        xml.finish();
        return reply;
    });
}

std::string MessagePages::inviteRequest(std::string_view body) {
    return answerPage("inviteRequest", [&] {
        FormBody form = FormBody::parse(body);
        invite_t invite;
        invite.fromId = form.id("from_id", kMaxUserId);
        invite.toId = form.id("to_id", kMaxUserId);
        invite.targetIds = form.optionalText("target_ids", kMaxUserId);
        invite.contents = form.optionalBytes("contents", kMaxInviteContents);
        m_store.recordInvite(invite);
        return replyHeader(WAS_OK, "");
    });
}

std::string MessagePages::noDevice(std::string_view body) {
    return answerPage("noDevice", [&] {
        FormBody form = FormBody::parse(body);
        std::string userId = form.id("user_id", kMaxUserId);
        m_store.setNoDevice(userId, yesNo(form, "no_device", true));
        return replyHeader(WAS_OK, "");
    });
}
