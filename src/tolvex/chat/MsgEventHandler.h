#pragma once
// The packets through which a client talks into a room: text message,
// attachment notice and typing notice. Made by ChatSession for one packet
// and deleted after eventHandle; resendMsgProcess is the failed-recipient
// job's way back in. Event-loop thread only.

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "tolvex/session/ChatEventHandler.h"
#include "tolvex/util/ChatTypes.h"

class Broadcast;
class ChatSession;
class ChatSessionDummy;
class OutPacket;
class P2PPacket;

class MsgEventHandler : public ChatEventHandler {
public:
    // Length limits of the client's fields; a length equal to its limit is
    // accepted. The file name and URL limits are the capacities of
    // attachFileInfo's arrays.
    static constexpr uint32_t kMaxIdLen = MAX_ID_LEN;
    static constexpr uint32_t kMaxMsgLen = MAX_MSG_LEN;
    static constexpr uint32_t kMaxFontLen = MAX_FONT_LEN;
    static constexpr uint32_t kMaxFileNameLen = MAX_FILE_NAME_LEN;
    static constexpr uint32_t kMaxUrlLen = MAX_URL_LEN;

    // Capacities of the bodies built here.
    static constexpr int kRelayBodyCapacity = 65535;
    static constexpr int kAckBodyCapacity = 4095;
    static constexpr int kRelayAckBodyCapacity = 8191;
    static constexpr int kFailUserBodyCapacity = 65535;

    MsgEventHandler() = default;
    ~MsgEventHandler() override = default;

    // MSG, ATTACH and TYPING; other codes are ignored. Never throws; may
    // close the session.
    void eventHandle(const P2PPacket* pk, ChatSession* session) override;

    // Body readers into a zeroed record. False for an over-long field
    // (logged as HACK); a body that ends early is accepted with the fields
    // read, the rest keeping their initial values.
    static bool parseMsg(const P2PPacket* pk, msg_info* msg);
    static bool parseAttachMsg(const P2PPacket* pk, msg_info* msg, std::list<std::string>* userIds,
                               attachFileInfo* attachInfo);
    // The room id at the head of the body, or 0.
    static uint32_t parseTypingData(const P2PPacket* pk);

    // MSG_RELAY and ATTACH_ALARM_RELAY for msg; headerTrid is the trid of
    // the sender's packet header.
    static OutPacket makeRelayMsgPacket(const msg_info& msg, uint32_t headerTrid);
    static OutPacket makeRelayAttachMsgPacket(const msg_info& msg, uint32_t headerTrid,
                                              const attachFileInfo& attachInfo);
    // The failed-recipient job's input for a resent message.
    static OutPacket makeFailUserRequestPacket(const msg_info& msg);
    // The relay ACK the server gives for a member reached on a mobile.
    static OutPacket makeMobileRelayAckPacket(const msg_info& msg, const std::string& userId);

    // Relays a resent message to the members the WAS reported as having
    // missed it. fromSession is the dummy that requestFailUserInfo gave the
    // job; it is not released here.
    static void resendMsgProcess(ChatSessionDummy* fromSession, const std::list<std::string>& resendUserIds);

private:
    void receiveMsg(const P2PPacket* pk, ChatSession* session);
    void receiveAttachMsg(const P2PPacket* pk, ChatSession* session);
    void relayTypingState(const P2PPacket* pk, ChatSession* session);

    static bool isResendMsg(const msg_info& msg) { return msg.msgNumFromClient != 0; }
    static void setSystemData(msg_info* msg);
    // For a resend: msgNum becomes the client's number and the result is
    // tag and that number; "" for a new message.
    static std::string takeResendNumber(msg_info* msg, const char* tag);
    static void logReceived(const msg_info& msg, const char* eventName, const std::string& opt);

    static void sendMsgProcess(const msg_info& msg, const P2PPacket* pk, ChatSession* session);
    static void msgProcess(const msg_info& msg, const Broadcast& broadcast, ChatSession* session);

    static std::unique_ptr<Broadcast> broadcastMsg(const msg_info& msg, ChatSession* session, uint32_t headerTrid);
    static std::unique_ptr<Broadcast> broadcastAttachMsg(const msg_info& msg, ChatSession* session,
                                                         uint32_t headerTrid, const std::list<std::string>& userIds,
                                                         const attachFileInfo& attachInfo);
    static std::unique_ptr<Broadcast> broadcastResendMsg(const msg_info& msg, ChatSession* session,
                                                         const std::list<std::string>& userIds);

    static void sendServerAck(ChatSession* session, const msg_info& msg, uint32_t memberCount,
                              uint16_t commandCode);
    static void registAck(const msg_info& msg, const std::map<std::string, std::list<uint16_t>>& sendUserList);
    static void mobilePush(const msg_info& msg, ChatSession* session, const Broadcast& broadcast);
    static void sendFailList(const msg_info& msg, const std::list<send_result>& failList);
    static void mobileRelayAck(const msg_info& msg, const std::list<std::string>& userIds);
    static void saveData(const msg_info& msg, ChatSession* session, const Broadcast& broadcast,
                         const attachFileInfo& attachInfo);
    static void requestFailUserInfo(msg_info msg, ChatSession* session);
};
