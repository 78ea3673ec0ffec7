#include "tolvex/chat/AckEventHandler.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>

#include "p2p/P2PPacket.h"
#include "p2p/Parser2.h"
#include "tolvex/util/Globals.h"
#include "tolvex/ack/AckManager.h"
#include "tolvex/chat/CommonHandler.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/chat/SessionGuard.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/util/ChatUtil.h"
#include "tolvex/util/Metrics.h"

namespace {

std::string userIdOf(const ack_receive_data& ack) {
    return std::string(msgText(ack.userId, ack.userIdLen));
}

}  // namespace

void AckEventHandler::eventHandle(const P2PPacket* pk, ChatSession* session) {
    try {
        switch (pk->m_h.code) {
            case MSG_RELAY_ACK:
            case ATTACH_ALARM_RELAY_ACK: {
                ack_receive_data ack;
                if (!parseMsgAck(pk, &ack)) {
                    session->dropSession();
                    break;
                }
                // A member acknowledges only what reached its own connection.
                const std::string userId = userIdOf(ack);
                if (SessionGuard::admitsAction(pk, session, {ack.roomId, &userId, ack.osType}))
                    applyRelayAck(ack, pk->m_h.code, SEND_RESULT_SUCCESS);
                break;
            }
            case MSG_RESULT_ACK: {
                ack_final_result_data ack;
                parseMsgResultAck(pk, &ack);
                if (SessionGuard::admitsAction(pk, session, {ack.roomId, nullptr, ack.osType}))
                    receiveMsgResultAck(pk, session->getUserId(), session->getOsType());
                break;
            }
            default:
                break;
        }
    } catch (const std::exception&) {
        logErrno("AckEventHandler Exception");
    }
}

bool AckEventHandler::parseMsgAck(const P2PPacket* pk, ack_receive_data* ack) {
    Parser2 p(pk->m_body, pk->m_body ? pk->m_h.blen : 0);
    if (!p.value(&ack->roomId) || !p.value(&ack->msgSeq)) return true;
    uint16_t len = 0;
    if (!p.value(&len)) return true;
    if (CommonHandler::checkHacking(kMaxUserIdLen, len, "ACK_USER_ID")) return false;
    if (p.mem(ack->userId, len) != 0) return true;
    ack->userIdLen = len;
    if (!p.value(&ack->trid)) return true;
    p.value(&ack->osType);
    return true;
}

void AckEventHandler::parseMsgResultAck(const P2PPacket* pk, ack_final_result_data* ack) {
    Parser2 p(pk->m_body, pk->m_body ? pk->m_h.blen : 0);
    if (!p.value(&ack->roomId) || !p.value(&ack->msgSeq) || !p.value(&ack->trid) ||
        !p.value(&ack->osType))
        return;
    p.value(&ack->resultSeq);
}

void AckEventHandler::receiveMsgResultAck(const P2PPacket* pk, const std::string& sessionUserId,
                                          uint16_t sessionOsType) {
    ack_final_result_data ack;
    parseMsgResultAck(pk, &ack);
    const send_result stored =
        AckManager::getInstance().clearResultAckInfo(ack.roomId, sessionUserId, ack.msgSeq, ack.resultSeq);
    // An ACK for a notice already forgotten is logged all the same, with an
    // empty recipient.
    const std::string opt =
        sessionUserId + "," + std::to_string(sessionOsType) + "," + std::to_string(ack.resultSeq);
    ChatUtil::receiveLogging(ack.roomId, static_cast<int>(ack.msgSeq), "MSG_RESULT_ACK",
                             msgText(stored.userId, stored.userIdLen), stored.osType, opt);
}

bool AckEventHandler::receiveMsgRelayAck(const P2PPacket* pk, uint32_t resultCode) {
    ack_receive_data ack;
    if (!parseMsgAck(pk, &ack)) return false;
    applyRelayAck(ack, pk->m_h.code, resultCode);
    return true;
}

void AckEventHandler::applyRelayAck(const ack_receive_data& ack, uint16_t code, uint32_t resultCode) {
    const std::string userId = userIdOf(ack);
    const bool success = resultCode == SEND_RESULT_SUCCESS;
    // What the member still owed is read and cleared in one step, so an ACK
    // racing the timeout thread is reported by exactly one of the two.
    const ack_match_t match = AckManager::getInstance().matchAck(ack.roomId, userId, ack.msgSeq, ack.osType, success);
    if (match.found) Metrics::add(Metrics::getInst().relayAcksMatched);
    if (!match.found) {
        // The entry is gone: timed out, or every member already answered.
        ChatUtil::receiveLogging(ack.roomId, static_cast<int>(ack.msgSeq), "MSG_RELAY_ACK", userId, ack.osType,
                                 "delay");
        return;
    }
    ChatUtil::receiveLogging(ack.roomId, static_cast<int>(ack.msgSeq), ChatUtil::getEventName(code), userId,
                             ack.osType, std::to_string(resultCode));
    // A success reports the member at once; a failure only when it concerns
    // the member's last outstanding device kind.
    if (match.remain >= 1 && (match.remain == 1 || success)) sendMsgResult(ack, match.msg, resultCode);
}

void AckEventHandler::sendMsgResult(const ack_receive_data& ack, const relay_msg_t& relayed,
                                    uint32_t sendResultCode) {
    CommonHandler::memberResultAdd(relayed, userIdOf(ack), ack.osType, sendResultCode);
}
