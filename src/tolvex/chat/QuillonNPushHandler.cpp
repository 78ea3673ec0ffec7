#include "tolvex/chat/QuillonNPushHandler.h"

#include <cerrno>
#include <cstring>
#include <exception>

#include "cpputil/TextUtil.h"
#include "tolvex/util/Globals.h"
#include "tolvex/chat/AckEventHandler.h"
#include "tolvex/chat/BodyWriter.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/chat/OutPacket.h"
#include "tolvex/chat/QuillonJob.h"
#include "tolvex/crypt/ChatCrypt.h"
#include "tolvex/util/ChatCodes.h"

namespace {

constexpr int kRelayAckBodyCapacity = 8191;

uint32_t pushResultOf(uint16_t wasResult) {
    if (wasResult == 0) return SEND_RESULT_SUCCESS;
    if (wasResult < 300) return 0;  // no verdict: the relay-ACK timeout decides
    return SEND_RESULT_PUSH_FAIL;
}

}  // namespace

void QuillonNPushHandler::doit(ChatSession* pFrom, const P2PPacket* pk) {
    retryDoWas = false;
    JobHandler::doit(pFrom, pk);
}

std::string QuillonNPushHandler::makePreview(const std::string& text) {
    // subStr walks to the first zero byte; the decrypted text ends there too.
    const std::string source(text.c_str());
    std::vector<char> head(6 * (kPreviewChars + 1) + 1);
    int lastByte = 0;
    int lastChar = -1;
    subStr(source.c_str(), 0, kPreviewChars + 1, head.data(), &lastByte, &lastChar, nullptr);
    if (lastChar < kPreviewChars) return std::string(head.data());
    return source.substr(0, static_cast<size_t>(lastByte)) + "...";
}

std::string QuillonNPushHandler::encryptedPreview(const std::string& msg, const std::string& senderId) {
    const std::string key = ChatCrypt::base64_encode(senderId.data(), static_cast<int>(senderId.size()));
    std::vector<char> plain(msg.size() + 1);
    int plainLen = 0;
    ChatCrypt::dataCrypt_decrypt(msg.data(), static_cast<int>(msg.size()), plain.data(),
                                 static_cast<int>(plain.size()), &plainLen, key.c_str());
    const std::string preview = makePreview(std::string(plain.data(), static_cast<size_t>(plainLen)));

    std::vector<char> sealed(static_cast<size_t>(ChatCrypt::encryptedSize(static_cast<int>(preview.size()))) + 16);
    int sealedLen = 0;
    ChatCrypt::dataCrypt_encrypt(preview.data(), static_cast<int>(preview.size()), sealed.data(),
                                 static_cast<int>(sealed.size()), &sealedLen, key.c_str());
    return std::string(sealed.data(), static_cast<size_t>(sealedLen));
}

int QuillonNPushHandler::getWASInfo(const P2PPacket* pk, std::string* page, URLEncode* form) {
    QuillonInput in(pk);
    const uint32_t roomId = in.u32();
    const std::string senderId = in.str16(MAX_ID_LEN);
    const std::string senderNickNm = in.str16(MAX_ID_LEN);
    const std::string msg = in.str16(MAX_MSG_LEN);
    const uint32_t msgSeq = in.u32();
    const uint8_t msgType = in.u8();
    const bool hasMsgType = !in.ended();
    const uint32_t talkTime = in.u32();
    const std::string toUserId = in.str16();
    in.str16(29);  // the daemon's address: the request names the configured one
    const uint32_t servicePort = in.u32();
    const uint32_t memberCount = in.u32();
    rememberRequest(roomId, msgSeq, toUserId);

    const std::shared_ptr<const ConfigValues> settings = QuillonSettings::values();
    *page = settings->was_mobile_push;
    try {
        const std::string preview = encryptedPreview(msg, senderId);
        const std::string conn = settings->service_ip + ":" + std::to_string(servicePort);
        using namespace QuillonForm;
        number(form, "notiType", 1);
        number(form, "room_id", roomId);
        text(form, "userid", toUserId);
        text(form, "senderId", senderId);
        text(form, "senderNickNm", senderNickNm);
        text(form, "msg", preview);
        number(form, "msgSeq", msgSeq);
        number(form, "msgType", hasMsgType ? msgType : 1);
        number(form, "time", talkTime);
        text(form, "conn", conn);
        number(form, "mbCnt", memberCount);
        number(form, "btnType", 1);
        number(form, "badge", 0);
    } catch (const std::exception&) {
        logErrno("Quillon saveMsg Exception");
    }
    return 0;
}

void QuillonNPushHandler::processP2PPacket(const char* body, int blen) {
    if (!body || blen <= 0) return;
    std::vector<npush_result> outcomes;
    // A reply that breaks off still yields the rows read before the fault.
    parsePushResult(body, blen, &outcomes);
    makeRelayAck(ownOutcomes(outcomes));
}

void QuillonNPushHandler::rememberRequest(uint32_t roomId, uint32_t msgNum, const std::string& recipients) {
    m_roomId = roomId;
    m_msgNum = msgNum;
    m_recipients.clear();
    size_t from = 0;
    while (from <= recipients.size()) {
        size_t comma = recipients.find(',', from);
        if (comma == std::string::npos) comma = recipients.size();
        if (comma > from) m_recipients.insert(recipients.substr(from, comma - from));
        from = comma + 1;
    }
}

std::vector<npush_result> QuillonNPushHandler::ownOutcomes(const std::vector<npush_result>& outcomes) const {
    std::vector<npush_result> own;
    for (const npush_result& r : outcomes) {
        if (r.roomId == m_roomId && r.msgNum == m_msgNum && m_recipients.count(r.toId)) {
            own.push_back(r);
            continue;
        }
        g_Logger.log("nPushResult: not asked by this request, ignored: roomId=%u, msgSeq=%u, to_id=%s", r.roomId,
                     r.msgNum, logText(r.toId).c_str());
    }
    return own;
}

void QuillonNPushHandler::makeRelayAck(const std::vector<npush_result>& outcomes) {
    for (const npush_result& r : outcomes) {
        const uint32_t pushResult = pushResultOf(r.resultCode);
        if (pushResult == 0) continue;
        BodyWriter w(kRelayAckBodyCapacity);
        w.u32(r.roomId).u32(r.msgNum).str16(r.toId).u32(0).u16(OS_TYPE_MOBILE);
        const OutPacket ack(MSG_RELAY_ACK, w.take());
        // As if the recipient's mobile had acknowledged the relay.
        AckEventHandler().receiveMsgRelayAck(ack.get(), pushResult);
        if (pushResult != SEND_RESULT_SUCCESS)
            g_Logger.log("nPushResult:roomId=%u, msgSeq=%u, to_id=%s, code=%u, msg=%s", r.roomId, r.msgNum,
                         logText(r.toId).c_str(), static_cast<unsigned>(r.resultCode), logText(r.resultMsg).c_str());
    }
}

void QuillonNPushHandler::done(uint16_t rescode) {
    releaseCompanion();
    JobHandler::done(rescode);
}
