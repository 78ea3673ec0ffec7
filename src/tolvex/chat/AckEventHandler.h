#pragma once
// Handles relay ACKs (MSG_RELAY_ACK, ATTACH_ALARM_RELAY_ACK): matches each
// against the ACKs AckManager expects and reports the member's outcome; and
// result ACKs (MSG_RESULT_ACK), which end the wait for a result notice.
// Made per packet by ChatSession, and by the message and push paths for the
// ACKs the server gives on a member's behalf. Event-loop thread.

#include <cstdint>
#include <string>

#include "tolvex/session/ChatEventHandler.h"
#include "tolvex/util/ChatCodes.h"

class P2PPacket;
struct relay_msg_t;

// A parsed relay ACK; fields the body does not hold stay 0.
struct ack_receive_data {
    uint32_t roomId = 0;
    uint32_t msgSeq = 0;
    uint16_t userIdLen = 0;
    char userId[MAX_ID_LEN + 1] = {};
    uint32_t trid = 0;
    uint16_t osType = 0;
};

// A parsed result ACK; fields the body does not hold stay 0.
struct ack_final_result_data {
    uint32_t roomId = 0;
    uint32_t msgSeq = 0;
    uint32_t trid = 0;
    uint16_t osType = 0;
    uint32_t resultSeq = 0;
};

class AckEventHandler : public ChatEventHandler {
public:
    // Longest user id a relay ACK may carry.
    static constexpr uint16_t kMaxUserIdLen = MAX_ID_LEN;

    AckEventHandler() = default;
    ~AckEventHandler() override = default;

    // A relay ACK or result ACK from a client; a relay ACK with an
    // over-long user id closes the session, and so does an ACK that names
    // another room, user or device kind than the session's (SessionGuard).
    void eventHandle(const P2PPacket* pk, ChatSession* session) override;

    // One relay ACK with its outcome: 1 for a delivery, or the push path's
    // failure code. False, with nothing changed, when the packet's user id
    // is longer than its field.
    bool receiveMsgRelayAck(const P2PPacket* pk, uint32_t resultCode);

    // False when the user id is over its limit (a HACK line is logged).
    static bool parseMsgAck(const P2PPacket* pk, ack_receive_data* ack);

    // A result ACK from the session of sessionUserId: forgets the notice it
    // names (in the room of that user's tenant) and logs it with the
    // recipient the notice was registered under. Nothing is answered.
    static void receiveMsgResultAck(const P2PPacket* pk, const std::string& sessionUserId,
                                    uint16_t sessionOsType);
    // Reads up to the first field the body does not hold.
    static void parseMsgResultAck(const P2PPacket* pk, ack_final_result_data* ack);

private:
    // The matching and reporting of a parsed relay ACK; code names its event.
    static void applyRelayAck(const ack_receive_data& ack, uint16_t code, uint32_t resultCode);
    static void sendMsgResult(const ack_receive_data& ack, const relay_msg_t& msg, uint32_t sendResultCode);
};
