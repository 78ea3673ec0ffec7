#pragma once
// The room commands of one packet: room init, invite, join, rejoin, leave
// and force leave (the last two in RoomEventHandlerLeave.cpp). Made by
// ChatSession for one packet and deleted after eventHandle; event-loop
// thread only.

#include <cstdint>
#include <list>
#include <string>

#include "tolvex/session/ChatEventHandler.h"
#include "tolvex/util/ChatTypes.h"

class ChatSession;
class P2PPacket;
class OutPacket;

class RoomEventHandler : public ChatEventHandler {
public:
    // Member states the join checks report.
    static constexpr int USER_NOT_MEMBER = 1;
    static constexpr int USER_ACTIVE = 2;
    static constexpr int USER_LEFT = 3;
    static constexpr int USER_ROOM_TYPE_GROUP = 4;

    static constexpr uint16_t JOIN_TYPE_DUMMY = 1;  // added, not connected
    static constexpr uint16_t JOIN_TYPE_REAL = 2;   // connected
    static constexpr uint16_t HACKING = 404;
    static constexpr uint32_t kMaxInviteUsers = 50;
    static constexpr uint32_t kMaxIdLen = MAX_ID_LEN;
    static constexpr int kInviteSectionCapacity = 10239;  // USER_ADD body built from a room init
    static constexpr int kJoinAlarmCapacity = 8191;
    static constexpr int kReplyCapacity = 65535;
    static constexpr uint16_t LEAVE_TYPE_LEAVE = 1;     // both leave paths announce this kind
    static constexpr int32_t LEAVE_ALL_HISTORY = -100;  // in place of the join sequence
    static constexpr int kLeaveAlarmCapacity = 65535;
    static constexpr int kForceLeaveCapacity = 8195;  // the force-leave notice and reply

    struct room_init_data {
        uint32_t roomId = 0;
        std::string creatorId;
        std::string talkName;
        uint16_t osType = 0;
        uint16_t resCode = 0;
        uint32_t inviteUserCount = 0;  // 1 when an invitation section follows
    };
    struct user_basic_data {
        std::string userId;
        std::string userNameInfo;
    };
    struct room_invite_data {
        uint32_t roomId = 0;
        uint32_t inviteUserCount = 0;  // as the request says
        std::string fromId;            // the inviter
        std::list<user_basic_data> users;  // the entries read completely
    };
    struct join_user_info {
        uint32_t roomId = 0;
        uint16_t osType = 0;
        std::string userId;
        std::string nameInfos;
    };
    struct leave_user_info {
        uint32_t roomId = 0;
        uint16_t osType = 0;
        std::string userId;
        std::string nameInfos;
    };
    struct user_force_leave {
        uint32_t roomId = 0;
        std::string fromUserId;  // the member who removes
        std::string fromUserNameInfo;
        uint16_t fromOsType = 0;
        std::string toUserId;    // the member removed
        std::string toUserNameInfo;
    };
    enum class parse_result_t { OK, HACKED };

    RoomEventHandler() = default;
    RoomEventHandler(const RoomEventHandler&) = delete;
    RoomEventHandler& operator=(const RoomEventHandler&) = delete;
    ~RoomEventHandler() override = default;

    // Codes other than the room commands are ignored. Never throws; may
    // close the session.
    void eventHandle(const P2PPacket* pk, ChatSession* session) override;

    // Body readers. A body that ends early is accepted with the fields read;
    // an over-long field (logged as HACK) gives HACKED.
    // inviteBody receives the USER_ADD body of an invitation section.
    static parse_result_t parseRoomInit(const P2PPacket* pk, room_init_data* out, std::string* inviteBody);
    static parse_result_t parseInviteUser(const P2PPacket* pk, room_invite_data* out);
    static parse_result_t parseJoin(const P2PPacket* pk, join_user_info* out);
    // A leave stops reading at an over-long field (HACKED) and goes on with
    // the fields before it; a force leave is refused instead.
    static parse_result_t parseLeave(const P2PPacket* pk, leave_user_info* out);
    static parse_result_t parseForceLeave(const P2PPacket* pk, user_force_leave* out);
    // USER_JOIN_ALARM for msg; the member count is the room's current one.
    static OutPacket makeJoinPacket(const msg_info& msg, uint16_t joinType);
    // USER_LEAVE_ALARM for msg, carrying the join sequence msg.fromId has
    // now (LEAVE_ALL_HISTORY when allHistorySet). Also the leave job's input.
    static OutPacket makeLeavePacket(const msg_info& msg, uint16_t leaveType, bool allHistorySet);
    // The force-leave body under code: USER_FORCE_LEAVE_ALARM, or
    // USER_FORCE_LEAVE for the packet the remover's reply answers.
    static OutPacket makeForceLeavePacket(uint16_t code, const user_force_leave& req);

private:
    void roomInitReq(const P2PPacket* pk, ChatSession* session);
    void roomInitRsp(const P2PPacket* pk, ChatSession* session, const room_init_data& data);
    void inviteUserReq(const P2PPacket* pk, ChatSession* session);
    void inviteOneUser(ChatSession* session, msg_info& msg, const user_basic_data& user);
    void sendRealJoinToInviter(ChatSession* session, msg_info& msg, const user_basic_data& user,
                               ChatSession* invitedSession);
    void broadcastInvited(ChatSession* session, msg_info& msg);
    void inviteUserRsp(const P2PPacket* pk, ChatSession* session, const room_invite_data& data);

    void joinReq(const P2PPacket* pk, ChatSession* session);
    void rejoinReq(const P2PPacket* pk, ChatSession* session);
    bool parseJoinOrClose(const P2PPacket* pk, ChatSession* session, join_user_info* info);
    uint16_t checkInvitedState(uint32_t roomId, const std::string& userId, int* state);
    uint16_t checkRejoinAvailable(uint32_t roomId, const std::string& userId, int* state);
    void reloadRoom(const P2PPacket* pk, uint32_t roomId, const std::string& userId, ChatSession* session);
    void joinProcess(const P2PPacket* pk, msg_info& msg, ChatSession* session);
    void broadcastRealJoin(ChatSession* session, msg_info& msg);
    // Answers a join or rejoin of room 0 with 100 and closes; false for any other room.
    bool refusedRoomZero(const P2PPacket* pk, ChatSession* session, const join_user_info& info);
    void finishJoin(const P2PPacket* pk, ChatSession* session, const join_user_info& info, uint16_t result);
    void joinRsp(const P2PPacket* pk, ChatSession* session, const join_user_info& info, uint16_t result);

    void leaveReq(const P2PPacket* pk, ChatSession* session);
    void leave(ChatSession* session, const leave_user_info& info);
    OutPacket broadcastLeave(ChatSession* session, const msg_info& msg);
    void leaveWork(const leave_user_info& info, ChatSession* session);
    void saveLeaveState(const OutPacket& alarm);

    void forceLeaveReq(const P2PPacket* pk, ChatSession* session);
    void forceLeaveAlarm(const user_force_leave& req);
    OutPacket broadcastForceLeave(ChatSession* session, const msg_info& msg);
    void forceLeaveWork(const user_force_leave& req);
    void forceLeaveRsp(ChatSession* session, const user_force_leave& req);
};
