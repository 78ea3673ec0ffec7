#pragma once
// Steps that several handlers share: the client length check, member
// updates, one recipient's outcome, the WAS save and re-invite requests and
// the session-close notice. Stateless; every operation is static. Event-loop
// thread (the relay-ACK timeout thread posts its outcomes there).

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <string_view>

#include "p2p/P2PPacket.h"
#include "tolvex/chat/OutPacket.h"
#include "tolvex/util/ChatTypes.h"

struct relay_msg_t;

class ChatSession;

class CommonHandler {
public:
    // Capacities of the bodies built here (Maker capacities).
    static constexpr int kSaveBodyCapacity = 65535;
    static constexpr int kInviteBodyCapacity = 65535;
    static constexpr int kInviteContentsCapacity = 8191;
    static constexpr int kSessionCloseBodyCapacity = 8195;

    // One active member as the save request lists it.
    struct save_member_t {
        std::string userId;
        std::string nameInfo;
        uint32_t joinSeq = 0;
    };
    // The four per-member texts of a save request, without their trailing
    // separators; all empty for a room without active members.
    struct save_texts_t {
        std::string recvUserList;         // ids, tab-separated
        std::string recvUserNickNmList;   // names, tab-separated
        std::string recvUserJoinSeqList;  // decimal join sequences, comma-separated
        std::string readYnList;           // "y"/"n", comma-separated
    };

    // True (and a HACK line in the command log) when inputSize > limitSize.
    static bool checkHacking(uint32_t limitSize, uint32_t inputSize, const char* checkItem);

    static void updateUserInfo(const msg_info* msg);
    // Last send-action and last join OS type and the name; nothing for an
    // unknown member.
    static void updateSendUserInfo(uint32_t roomId, std::string_view userId, uint16_t osType,
                                   std::string_view userNameInfo);
    // Last join OS type and the name only.
    static void updateJoinUserInfo(uint32_t roomId, std::string_view userId, uint16_t osType,
                                   std::string_view userNameInfo);

    // One recipient's outcome: hands it on and asks for a re-invite unless
    // the member was reached with a PC session available.
    static void msgRelayResultAdd(const send_result& sendResult, const kept_msg_t& msg);
    // msgRelayResultAdd for one member of a relayed message, the member
    // named as the notices name members: id, and nick name and join
    // sequence as the room has them now (empty and 0 once it left).
    static void memberResultAdd(const relay_msg_t& relayed, const std::string& userId, uint16_t osType,
                                uint32_t code);
    static bool sessionCheckResult(uint32_t roomId, std::string_view userId, uint16_t ackOsType);

    // The save request of a message or room event; nothing without a room.
    static void saveData(const msg_info* msg, ChatSession* session);
    // readYnUserList and attachInfo may be null (no read list, no file).
    static void saveData(const msg_info* msg, ChatSession* session,
                         const std::map<std::string, std::string>* readYnUserList,
                         const attachFileInfo* attachInfo);
    static save_texts_t makeSaveTexts(const std::list<save_member_t>& members,
                                      const std::map<std::string, std::string>* readYnUserList);
    // The WAS_JOB input of the save job.
    static OutPacket makeSaveMsgPacket(const msg_info& msg, const save_texts_t& texts, uint32_t memberCount,
                                       uint16_t roomType, const attachFileInfo& attachInfo);

    // Asks the WAS to invite toId again on fromId's behalf.
    static void retryInvite(uint32_t roomId, std::string_view fromId, std::string_view toId);
    // "id|name|room|ip|port|type", or empty when the room or member is unknown.
    static std::string makeSendMemoExContents(uint32_t roomId, std::string_view fromUserId);
    static OutPacket makeRetryInvitePacket(std::string_view fromUserId, std::string_view toUserId,
                                           std::string_view contents);

    // The SESSION_CLOSE notice. Its body lives in storage of the calling
    // thread: valid until that thread's next call, so push it at once.
    static P2PPacket makeSessionClosePacket(uint32_t roomId, uint16_t reasonCode);
};
