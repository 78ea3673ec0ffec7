#include "tolvex/chat/RoomEventHandler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ChatRoomFixture.h"
#include "tolvex/chat/QuillonJob.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/SessionContainer.h"
#include "tolvex/util/ChatCodes.h"

namespace {

constexpr uint16_t kRejoinReply = USER_REJOIN | kResponseBit;

const std::string C = "c@m.acme";
const std::string A = "a@m.acme";
const std::string B = "b@m.acme";
const std::string X = "x@m.acme";

struct join_alarm_t {
    uint32_t roomId = 0;
    std::string fromId;
    std::string name;
    uint16_t osType = 0;
    uint32_t msgNum = 0;
    uint32_t memberCount = 0;
    uint16_t joinType = 0;
};

struct join_reply_t {
    uint32_t roomId = 0;
    uint16_t result = 0;
    std::vector<std::string> memberIds;
    uint16_t roomKind = 0;
    uint32_t joinSeq = 0;
};

}  // namespace

class RoomEventHandlerTest : public ChatRoomFixture {
protected:
    static join_alarm_t readJoinAlarm(const pbytes::Received& p) {
        EXPECT_EQ(USER_JOIN_ALARM, p.code);
        BodyReader r(p.body);
        join_alarm_t a;
        a.roomId = r.u32();
        a.fromId = r.str16();
        a.name = r.str16();
        a.osType = r.u16();
        a.msgNum = r.u32();
        r.u32();  // time
        a.memberCount = r.u32();
        a.joinType = r.u16();
        EXPECT_EQ(0u, r.remaining());
        return a;
    }

    static join_reply_t readJoinReply(const pbytes::Received& p) {
        BodyReader r(p.body);
        join_reply_t j;
        j.roomId = r.u32();
        j.result = r.u16();
        if (r.remaining() == 0) return j;
        const uint16_t count = r.u16();
        for (uint16_t i = 0; i < count; ++i) {
            j.memberIds.push_back(r.str16());
            r.str16();  // name
        }
        j.roomKind = r.u16();
        j.joinSeq = r.u32();
        r.u32();  // current message number
        EXPECT_EQ(0u, r.remaining());
        return j;
    }

    // Save requests the WAS received for the room once every job is over.
    int savedNotices(uint32_t roomId) {
        EXPECT_TRUE(jobsSettled());
        int n = 0;
        for (const FakeWas::Request& r : m_was.requestsTo(kSaveMsgPage)) n += r.field("room_id") == std::to_string(roomId);
        return n;
    }

    static bool isActive(uint32_t roomId, const std::string& userId) {
        return RoomManager::getInst().isActiveMember(roomId, userId);
    }
};

// ---- room init and invite ----

// The save of the last invitation lists every member, tab-separated.
TEST_F(RoomEventHandlerTest, RoomInitWithTwoInviteesSavesTheWholeMemberList) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = connect();
    creator.send(ROOM_CREATE, roomInitBody(room, C, "Cee", OS_TYPE_PC, {{A, "Ay"}, {B, "Bee"}}));
    ASSERT_TRUE(waitPackets(creator, 4));

    EXPECT_EQ(2, savedNotices(room));
    const FakeWas::Request saved = wasRequestWith(kSaveMsgPage, "recv_user_list", "a@m.acme\tb@m.acme\tc@m.acme");
    EXPECT_EQ(std::to_string(room), saved.field("room_id"));
    EXPECT_EQ("Ay\tBee\tCee", saved.field("recv_user_nick_nm_list"));
}

TEST_F(RoomEventHandlerTest, RoomInitWithoutInvitationJoinsTheCreator) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = connect();
    creator.send(ROOM_CREATE, roomInitBody(room, C, "Cee", OS_TYPE_PC));
    ASSERT_TRUE(waitPackets(creator, 1));

    EXPECT_EQ(BodyBuilder().u32(room).u16(0).str(), creator.take().body);
    EXPECT_TRUE(RoomManager::getInst().alreadyJoinedUser(room, C));
    EXPECT_EQ(1u, SessionContainer::getInstance().getSessionList(room, C).size());
    EXPECT_EQ(0, savedNotices(room));
}

TEST_F(RoomEventHandlerTest, InviteEntryCutShortIsSkipped) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = openRoom(room, C, {});
    // Two invitees announced, the second without its name.
    creator.send(USER_ADD, BodyBuilder().u32(room).u32(2).str16(A).str16("Ay").str16(B).str());

    ASSERT_TRUE(waitPackets(creator, 2));
    EXPECT_EQ(A, readJoinAlarm(creator.take()).fromId);
    EXPECT_EQ(BodyBuilder().u32(room).u16(0).u32(2).u32(1).u32(0).str(), creator.take().body);
    EXPECT_FALSE(isActive(room, B));
}

TEST_F(RoomEventHandlerTest, InvitingAConnectedMemberTellsOnlyTheInviter) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = openRoom(room, C, {{A, "Ay"}});
    ChatPeer& member = connect();
    ASSERT_EQ(0, readJoinReply(joinAs(member, USER_JOIN, room, A, OS_TYPE_PC)).result);
    ASSERT_TRUE(waitPackets(creator, 1));
    creator.inbox().clear();

    creator.send(USER_ADD, inviteBody(room, {{A, "Ay"}}));
    ASSERT_TRUE(waitPackets(creator, 2));
    const join_alarm_t alarm = readJoinAlarm(creator.take());
    EXPECT_EQ(A, alarm.fromId);
    EXPECT_EQ(RoomEventHandler::JOIN_TYPE_REAL, alarm.joinType);
    EXPECT_EQ(BodyBuilder().u32(room).u16(0).u32(2).u32(1).u32(0).str(), creator.take().body);
    EXPECT_TRUE(arrived(member).empty());
    EXPECT_EQ(1, savedNotices(room));  // only the first invitation
}

// ---- join ----

TEST_F(RoomEventHandlerTest, MemberListTooLongForOneReplyCountsOnlyTheEntriesSent) {
    const uint32_t room = freshRoomId();
    openRoom(room, C, {});
    // 200 members of about 500 bytes each cannot all fit in a 64 KiB body.
    for (int i = 0; i < 200; ++i) {
        const std::string id = std::to_string(1000 + i) + std::string(240, 'm') + "@m.acme";
        RoomManager::getInst().addRoomUser(room, id, std::string(250, 'n'));
    }
    ChatPeer& member = connect();

    const pbytes::Received reply = joinAs(member, USER_JOIN, room, C, OS_TYPE_MOBILE);
    const join_reply_t j = readJoinReply(reply);  // also checks that nothing trails the list
    EXPECT_EQ(0, j.result);
    EXPECT_GT(j.memberIds.size(), 100u);
    EXPECT_LT(j.memberIds.size(), 201u);
    EXPECT_EQ(ROOM_TYPE_GROUP, j.roomKind);
    EXPECT_LE(reply.body.size(), 65535u);
}

TEST_F(RoomEventHandlerTest, JoinCutShortAfterTheIdIsStillServed) {
    const uint32_t room = freshRoomId();
    openRoom(room, C, {{A, "Ay"}});
    ChatPeer& member = connect();
    member.send(USER_JOIN, BodyBuilder().u32(room).str16(A).str());

    ASSERT_TRUE(waitPackets(member, 1));
    EXPECT_EQ(0, readJoinReply(member.take()).result);
    EXPECT_TRUE(RoomManager::getInst().alreadyJoinedUser(room, A));
}

// ---- rejoin ----

TEST_F(RoomEventHandlerTest, RejoinOfALeftMemberGetsAFreshJoinSequenceAndIsAnnounced) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = openRoom(room, C, {{A, "Ay"}});
    const int64_t before = RoomManager::getInst().getUserJoinSeq(room, A);
    RoomManager::getInst().leaveUser(room, A);
    ChatPeer& member = connect();

    const pbytes::Received reply = joinAs(member, USER_REJOIN, room, A, OS_TYPE_PC);
    EXPECT_EQ(kRejoinReply, reply.code);
    const join_reply_t j = readJoinReply(reply);
    EXPECT_EQ(0, j.result);
    EXPECT_GT(static_cast<int64_t>(j.joinSeq), before);
    EXPECT_EQ((std::vector<std::string>{A, C}), j.memberIds);
    ASSERT_TRUE(waitPackets(creator, 1));
    EXPECT_EQ(RoomEventHandler::JOIN_TYPE_REAL, readJoinAlarm(creator.take()).joinType);
    EXPECT_TRUE(RoomManager::getInst().alreadyJoinedUser(room, A));
}

TEST_F(RoomEventHandlerTest, RejoinOfAnActiveMemberReattachesAndStaysOpen) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = openRoom(room, C, {{A, "Ay"}});
    ChatPeer& member = connect();

    const join_reply_t j = readJoinReply(joinAs(member, USER_REJOIN, room, A, OS_TYPE_PC));
    EXPECT_EQ(ROOM_JOIN_RES_ALREADY_INVITED_USER, j.result);
    EXPECT_EQ((std::vector<std::string>{A, C}), j.memberIds);
    EXPECT_EQ(1u, SessionContainer::getInstance().getSessionList(room, A).size());
    ASSERT_TRUE(waitPackets(creator, 1));
    EXPECT_EQ(A, readJoinAlarm(creator.take()).fromId);
    EXPECT_FALSE(member.closedByDaemon());
}

TEST_F(RoomEventHandlerTest, RejoinByANonMemberIsRefusedWithoutJoining) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = openRoom(room, C, {});
    ChatPeer& stranger = connect();

    const pbytes::Received reply = joinAs(stranger, USER_REJOIN, room, X, OS_TYPE_PC);
    EXPECT_EQ(BodyBuilder().u32(room).u16(ROOM_JOIN_RES_NOT_INVITED_USER).str(), reply.body);
    EXPECT_TRUE(waitClosed(stranger));
    EXPECT_FALSE(RoomManager::getInst().getRoom(room, C)->isMember(X));
    EXPECT_TRUE(SessionContainer::getInstance().getSessionList(room, X).empty());
    EXPECT_TRUE(arrived(creator).empty());
}
