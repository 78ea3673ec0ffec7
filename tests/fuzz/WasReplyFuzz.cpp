// libFuzzer target: a WAS reply body as the daemon's jobs read it. The first
// byte picks the page whose reader takes the payload, the second how a
// streamed reply is cut into pieces; the rest is the reply itself, result
// header first. Beyond the sanitizers it checks what the jobs rely on: the
// payload offset stays inside the reply, no row outgrows its fields, and a
// row bound is never passed.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tolvex/chat/RoomRowsJob.h"
#include "tolvex/chat/WasXmlReader.h"

namespace {

void require(bool holds) {
    if (!holds) std::abort();
}

void checkRow(const RoomNotEnd& row) {
    require(row.userId.size() <= RoomNotEnd::kIdLen && row.userNameInfo.size() <= RoomNotEnd::kIdLen);
    require(row.endYmdt.size() <= RoomNotEnd::kEndYmdtLen);
    require(row.roomType == 1 || row.roomType == 10);
}

// A room-list job without a request: the reply goes through the same
// header reader and row streaming as the not-ended list and the reload.
class RoomListReply : public RoomRowsJob {
public:
    // Header first, then the payload in pieces of the sizes the cut byte
    // gives, or whole as a kept reply is handed on.
    void read(const char* body, int len, uint8_t cut, bool streamed) {
        const uint16_t code = getWASCode(body, len);
        const char* payload = body + payloadOffset(len);
        const int left = len - m_posClientRes;
        if (!streamed) {
            processP2PPacket(payload, left);
        } else {
            const int piece = 1 + cut % 97;
            for (int at = 0; at < left && payloadBytes(payload + at, std::min(piece, left - at)); at += piece) {
            }
            payloadEnd();
        }
        (void)failure(code);
        (void)payloadForLog();
        require(reader().rows() <= RoomRowReader::kMaxRows);
    }
    // Reads the result header as every job does; where its payload starts.
    int payloadOffset(int len) {
        require(m_posClientRes >= 0 && m_posClientRes <= len);
        return m_posClientRes;
    }
    int header(const char* body, int len) {
        (void)getWASCode(body, len);
        return payloadOffset(len);
    }
    ~RoomListReply() override = default;

protected:
    int getWASInfo(const P2PPacket*, std::string*, URLEncode*) override { return -1; }
    void applyRow(const RoomNotEnd& row) override { checkRow(row); }
};

void readRoomRowsBounded(const char* text, size_t len, uint8_t cut) {
    const size_t maxRows = cut % 4;
    size_t seen = 0;
    RoomRowReader reader([&](const RoomNotEnd& row) {
        checkRow(row);
        ++seen;
    }, maxRows);
    const size_t piece = 1 + cut % 61;
    bool going = true;
    for (size_t at = 0; going && at < len; at += piece) going = reader.feed(text + at, std::min(piece, len - at));
    if (going) reader.finish();
    require(seen == reader.rows() && seen <= maxRows);
    require(!reader.overBound() || !reader.error().empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t page = data[0];
    const uint8_t cut = data[1];
    const auto* body = reinterpret_cast<const char*>(data + 2);
    const size_t len = size - 2;
    const int ilen = static_cast<int>(len);
    switch (page % 5) {
    case 0:
        RoomListReply().read(body, ilen, cut, true);
        break;
    case 1:
        RoomListReply().read(body, ilen, cut, false);
        break;
    case 2: {
        std::vector<npush_result> rows;
        const int at = RoomListReply().header(body, ilen);
        parsePushResult(body + at, ilen - at, &rows);
        for (const npush_result& r : rows)
            require(r.toId.size() <= npush_result::kIdLen && r.resultMsg.size() <= npush_result::kMsgLen);
        break;
    }
    case 3: {
        std::vector<sendfail_user> rows;
        const int at = RoomListReply().header(body, ilen);
        parseSendFailUserList(body + at, ilen - at, &rows);
        for (const sendfail_user& r : rows) require(r.failUserId.size() <= sendfail_user::kIdLen);
        break;
    }
    default:
        readRoomRowsBounded(body, len, cut);
        break;
    }
    return 0;
}
