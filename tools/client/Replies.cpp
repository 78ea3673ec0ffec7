#include "client/Replies.h"

#include "client/Protocol.h"
#include "p2p/Parser2.h"

namespace client {

namespace {

// Fields read through the shared Parser2. Every read reports whether the
// field was there; done() says whether the body was used up exactly.
class BodyReader {
public:
    explicit BodyReader(const std::string& body)
        : m_body(body), m_parser(body.data(), static_cast<int>(body.size())) {}

    bool u8(uint8_t* v) { return m_parser.mem(v, 1) == 0; }
    bool u16(uint16_t* v) { return m_parser.mem(v, 2) == 0; }
    bool u32(uint32_t* v) { return m_parser.mem(v, 4) == 0; }
    bool i32(int32_t* v) { return m_parser.mem(v, 4) == 0; }
    bool str16(std::string* s) {
        pstr_t view;
        if (m_parser.ptstr(&view) != 0) return false;
        s->assign(view.c_str() ? view.c_str() : "", view.len());
        return true;
    }
    bool bytes(std::string* s, uint32_t n) {
        if (!m_parser.remain(static_cast<int>(n))) return false;
        s->assign(m_body.data() + m_parser.pos(), n);
        m_parser.throwAway(static_cast<int>(n));
        return true;
    }
    bool done() const { return !m_parser.remain(1); }

private:
    const std::string& m_body;
    Parser2 m_parser;
};

template <typename T>
std::optional<T> complete(const T& value, bool ok, const BodyReader& r) {
    if (!ok || !r.done()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<RoomInitReply> decodeRoomInitReply(const Packet& p) {
    if (p.code != ROOM_CREATE_REPLY) return std::nullopt;
    BodyReader r(p.body);
    RoomInitReply v;
    const bool ok = r.u32(&v.roomId) && r.u16(&v.result);
    return complete(v, ok, r);
}

std::optional<InviteReply> decodeInviteReply(const Packet& p) {
    if (p.code != USER_ADD_REPLY) return std::nullopt;
    BodyReader r(p.body);
    InviteReply v;
    uint32_t failed = 0;
    bool ok = r.u32(&v.roomId) && r.u16(&v.result) && r.u32(&v.memberCount) && r.u32(&v.requestedCount) &&
              r.u32(&failed);
    for (uint32_t i = 0; ok && i < failed; ++i) {
        std::string id;
        ok = r.str16(&id);
        if (ok) v.failedIds.push_back(std::move(id));
    }
    return complete(v, ok, r);
}

std::optional<JoinReply> decodeJoinReply(const Packet& p) {
    if (p.code != USER_JOIN_REPLY && p.code != USER_REJOIN_REPLY) return std::nullopt;
    BodyReader r(p.body);
    JoinReply v;
    bool ok = r.u32(&v.roomId) && r.u16(&v.result);
    if (ok && (v.result == RES_SUCCESS || v.result == JOIN_RES_ALREADY_INVITED_USER)) {
        v.hasMemberList = true;
        uint16_t count = 0;
        ok = r.u16(&count);
        for (uint16_t i = 0; ok && i < count; ++i) {
            member_t m;
            ok = r.str16(&m.userId) && r.str16(&m.nameInfo);
            if (ok) v.members.push_back(std::move(m));
        }
        ok = ok && r.u16(&v.roomKind) && r.u32(&v.joinSeq) && r.u32(&v.currentMsgNum);
    }
    return complete(v, ok, r);
}

std::optional<UserJoinAlarm> decodeUserJoinAlarm(const Packet& p) {
    if (p.code != USER_JOIN_ALARM) return std::nullopt;
    BodyReader r(p.body);
    UserJoinAlarm v;
    const bool ok = r.u32(&v.roomId) && r.str16(&v.userId) && r.str16(&v.nameInfo) && r.u16(&v.osType) &&
                    r.u32(&v.msgNum) && r.u32(&v.msgTime) && r.u32(&v.memberCount) && r.u16(&v.joinType);
    return complete(v, ok, r);
}

std::optional<UserLeaveAlarm> decodeUserLeaveAlarm(const Packet& p) {
    if (p.code != USER_LEAVE_ALARM) return std::nullopt;
    BodyReader r(p.body);
    UserLeaveAlarm v;
    const bool ok = r.u32(&v.roomId) && r.str16(&v.userId) && r.str16(&v.nameInfo) && r.u16(&v.osType) &&
                    r.u32(&v.msgNum) && r.u32(&v.msgTime) && r.u32(&v.memberCount) && r.i32(&v.joinSeq) &&
                    r.u16(&v.leaveType);
    return complete(v, ok, r);
}

std::optional<ForceLeaveNotice> decodeForceLeave(const Packet& p) {
    if (p.code != USER_FORCE_LEAVE_ALARM && p.code != USER_FORCE_LEAVE_REPLY) return std::nullopt;
    BodyReader r(p.body);
    ForceLeaveNotice v;
    const bool ok = r.u32(&v.roomId) && r.str16(&v.fromId) && r.str16(&v.fromName) && r.u16(&v.fromOsType) &&
                    r.str16(&v.toId) && r.str16(&v.toName);
    return complete(v, ok, r);
}

std::optional<SessionClose> decodeSessionClose(const Packet& p) {
    if (p.code != SESSION_CLOSE) return std::nullopt;
    BodyReader r(p.body);
    SessionClose v;
    const bool ok = r.u32(&v.roomId) && r.u16(&v.reason);
    return complete(v, ok, r);
}

std::optional<MsgAck> decodeMsgAck(const Packet& p) {
    if (p.code != MSG_ACK && p.code != ATTACH_ACK) return std::nullopt;
    BodyReader r(p.body);
    MsgAck v;
    const bool ok =
        r.u32(&v.roomId) && r.u32(&v.msgNum) && r.str16(&v.fromId) && r.u32(&v.trid) && r.u32(&v.msgTime);
    return complete(v, ok, r);
}

std::optional<MsgRelay> decodeMsgRelay(const Packet& p) {
    if (p.code != MSG_RELAY) return std::nullopt;
    BodyReader r(p.body);
    MsgRelay v;
    uint32_t fontLength = 0;
    const bool ok = r.u32(&v.roomId) && r.str16(&v.fromId) && r.str16(&v.fromName) && r.u16(&v.fromOsType) &&
                    r.u32(&v.msgTime) && r.str16(&v.msg) && r.u32(&v.msgNum) && r.u32(&fontLength) &&
                    r.bytes(&v.font, fontLength) && r.u32(&v.trid) && r.u8(&v.msgType);
    return complete(v, ok, r);
}

std::optional<TypingAlarm> decodeTypingAlarm(const Packet& p) {
    if (p.code != TYPING_ALARM) return std::nullopt;
    BodyReader r(p.body);
    TypingAlarm v;
    if (!r.u32(&v.roomId)) return std::nullopt;
    // Whatever follows is the sender's own; read it only when it is ours.
    TypingAlarm details = v;
    if (r.str16(&details.userId) && r.u8(&details.state) && r.done()) {
        details.hasDetails = true;
        return details;
    }
    return v;
}

std::optional<AttachAlarmRelay> decodeAttachAlarmRelay(const Packet& p) {
    if (p.code != ATTACH_ALARM_RELAY) return std::nullopt;
    BodyReader r(p.body);
    AttachAlarmRelay v;
    const bool ok = r.u32(&v.roomId) && r.str16(&v.fromId) && r.str16(&v.fromName) && r.u16(&v.fromOsType) &&
                    r.u32(&v.msgTime) && r.u32(&v.trid) && r.u32(&v.msgNum) && r.u8(&v.msgType) &&
                    r.str16(&v.fileName) && r.u32(&v.fileSize) && r.str16(&v.url);
    return complete(v, ok, r);
}

std::optional<MsgResult> decodeMsgResult(const Packet& p) {
    if (p.code != MSG_RESULT) return std::nullopt;
    BodyReader r(p.body);
    MsgResult v;
    uint32_t count = 0;
    bool ok = r.u32(&v.roomId) && r.u32(&v.msgNum) && r.u32(&v.trid) && r.u32(&v.msgTime) &&
              r.u16(&v.fromOsType) && r.u32(&v.resultSeq) && r.u32(&count);
    for (uint32_t i = 0; ok && i < count; ++i) {
        result_entry_t e;
        ok = r.str16(&e.userId) && r.str16(&e.nameInfo) && r.u16(&e.osType) && r.u32(&e.code);
        if (ok) v.results.push_back(std::move(e));
    }
    return complete(v, ok, r);
}

std::optional<NotReady> decodeNotReady(const Packet& p) {
    if (p.code != SERVER_NOT_READY_REPLY || !p.body.empty()) return std::nullopt;
    return NotReady{};
}

std::optional<AuthReply> decodeAuthReply(const Packet& p) {
    if (p.code != AUTH_REPLY) return std::nullopt;
    BodyReader r(p.body);
    AuthReply v;
    return complete(v, r.u16(&v.result), r);
}

std::optional<InvalidCommand> decodeInvalidCommand(const Packet& p) {
    if (!p.isReply() || p.body.size() != 2) return std::nullopt;
    uint16_t result = 0;
    BodyReader r(p.body);
    if (!r.u16(&result) || result != RES_INVALID_CMD) return std::nullopt;
    return InvalidCommand{static_cast<uint16_t>(p.code & ~kReplyBit)};
}

}  // namespace client
