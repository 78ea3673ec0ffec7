#include "client/Requests.h"

#include <stdexcept>

#include "p2p/Maker.h"

namespace client {

namespace {

// Fields appended through the shared Maker into a body of packet size.
class BodyWriter {
public:
    BodyWriter() : m_buf(65535), m_maker(m_buf.data(), static_cast<int>(m_buf.size())) {}

    BodyWriter& u8(uint8_t v) { return put(m_maker.mem(&v, 1)); }
    BodyWriter& u16(uint16_t v) { return put(m_maker.mem(&v, 2)); }
    BodyWriter& u32(uint32_t v) { return put(m_maker.mem(&v, 4)); }
    BodyWriter& bytes(const std::string& s) { return put(m_maker.mem(s.data(), static_cast<int>(s.size()))); }
    // A u16 length, then the bytes.
    BodyWriter& str16(const std::string& s) {
        if (s.size() > 65535) throw std::length_error("string field over 65535 bytes");
        return put(m_maker.mem16(s.data(), static_cast<int>(s.size())));
    }
    std::string take() const { return std::string(m_buf.data(), m_maker.len()); }

private:
    BodyWriter& put(int rc) {
        if (rc != 0) throw std::length_error("request body over 65535 bytes");
        return *this;
    }

    std::vector<char> m_buf;
    Maker m_maker;
};

void writeInvitees(BodyWriter& w, const std::vector<invitee_t>& invitees, std::optional<uint32_t> declared) {
    w.u32(declared.value_or(static_cast<uint32_t>(invitees.size())));
    for (const invitee_t& user : invitees) w.str16(user.userId).str16(user.nameInfo);
}

}  // namespace

std::string encode(const RoomInitRequest& r) {
    BodyWriter w;
    w.u32(r.roomId).str16(r.creatorId).str16(r.creatorName).u16(r.osType);
    if (!r.invitees.empty() || r.withInvitationSection || r.declaredCount)
        writeInvitees(w, r.invitees, r.declaredCount);
    return w.take();
}

std::string encode(const InviteRequest& r) {
    BodyWriter w;
    w.u32(r.roomId);
    writeInvitees(w, r.invitees, r.declaredCount);
    return w.take();
}

std::string encode(const JoinRequest& r) {
    BodyWriter w;
    w.u32(r.roomId).str16(r.userId).str16(r.nameInfo).u16(r.osType);
    return w.take();
}

std::string encode(const LeaveRequest& r) {
    BodyWriter w;
    w.u32(r.roomId).str16(r.userId).str16(r.nameInfo).u16(r.osType);
    return w.take();
}

std::string encode(const ForceLeaveRequest& r) {
    BodyWriter w;
    w.u32(r.roomId).str16(r.fromId).str16(r.fromName).u16(r.fromOsType).str16(r.toId).str16(r.toName);
    return w.take();
}

std::string encode(const MsgRequest& r) {
    BodyWriter w;
    w.u32(r.roomId).str16(r.fromId).str16(r.fromName).u16(r.fromOsType).str16(r.msg);
    // The font is the one field with a 4-byte length.
    w.u32(static_cast<uint32_t>(r.font.size())).bytes(r.font);
    w.u32(r.trid).u32(r.msgNumFromClient).u8(r.msgType);
    return w.take();
}

std::string encode(const AuthRequest& r) {
    BodyWriter w;
    w.str16(r.token);
    return w.take();
}

std::string encode(const TypingRequest& r) {
    BodyWriter w;
    w.u32(r.roomId).str16(r.userId).u8(r.state);
    return w.take();
}

std::string encode(const AttachRequest& r) {
    BodyWriter w;
    w.u32(r.roomId).str16(r.fromId).str16(r.fromName).u16(r.fromOsType);
    w.u32(r.trid).u32(r.msgNumFromClient).u8(r.msgType);
    w.u16(r.declaredTargetCount.value_or(static_cast<uint16_t>(r.targets.size())));
    for (const std::string& id : r.targets) w.str16(id);
    w.str16(r.fileName).u32(r.fileSize).str16(r.url);
    return w.take();
}

std::string encode(const RelayAck& r) {
    BodyWriter w;
    w.u32(r.roomId).u32(r.msgSeq).str16(r.userId).u32(r.trid).u16(r.osType);
    return w.take();
}

std::string encode(const ResultAck& r) {
    BodyWriter w;
    w.u32(r.roomId).u32(r.msgSeq).u32(r.trid).u16(r.osType).u32(r.resultSeq);
    return w.take();
}

}  // namespace client
