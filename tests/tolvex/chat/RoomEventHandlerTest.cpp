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

constexpr uint16_t kRoomInitReply = ROOM_CREATE | kResponseBit;
constexpr uint16_t kJoinReply = USER_JOIN | kResponseBit;
constexpr uint16_t kInviteReply = USER_ADD | kResponseBit;
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
    size_t bodySize = 0;
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
        j.bodySize = p.body.size();
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

TEST_F(RoomEventHandlerTest, RoomInitWithTwoInviteesAnnouncesAndSavesBoth) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = connect();
    creator.send(ROOM_CREATE, roomInitBody(room, C, "Cee", OS_TYPE_PC, {{A, "Ay"}, {B, "Bee"}}));
    ASSERT_TRUE(waitPackets(creator, 4));

    const pbytes::Received init = creator.take();
    EXPECT_EQ(kRoomInitReply, init.code);
    EXPECT_EQ(BodyBuilder().u32(room).u16(0).str(), init.body);

    const join_alarm_t first = readJoinAlarm(creator.take());
    EXPECT_EQ(A, first.fromId);
    EXPECT_EQ(RoomEventHandler::JOIN_TYPE_DUMMY, first.joinType);
    EXPECT_EQ(2u, first.memberCount);
    const join_alarm_t second = readJoinAlarm(creator.take());
    EXPECT_EQ(B, second.fromId);
    EXPECT_EQ(RoomEventHandler::JOIN_TYPE_DUMMY, second.joinType);
    EXPECT_EQ(3u, second.memberCount);
    EXPECT_GT(second.msgNum, first.msgNum);

    const pbytes::Received invite = creator.take();
    EXPECT_EQ(kInviteReply, invite.code);
    EXPECT_EQ(BodyBuilder().u32(room).u16(0).u32(3).u32(2).u32(0).str(), invite.body);

    EXPECT_EQ(2, savedNotices(room));
    // The second save lists all three members, tab-separated.
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

TEST_F(RoomEventHandlerTest, OverlongCreatorIdClosesWithoutCreatingTheRoom) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = connect();
    creator.send(ROOM_CREATE, roomInitBody(room, std::string(257, 'c'), "Cee", OS_TYPE_PC));

    ASSERT_TRUE(waitClosed(creator));
    EXPECT_TRUE(creator.inbox().empty());
    EXPECT_EQ(nullptr, RoomManager::getInst().getRoom(room, std::string(257, 'c')));
    EXPECT_NE(std::string::npos, commandLog().find("HACK !!!!!!!!!!!!!!! Input ROOM_CREATOR_ID length = 257"));
}

TEST_F(RoomEventHandlerTest, CreatorIdOfTheLargestLegalLengthIsAccepted) {
    const uint32_t room = freshRoomId();
    const std::string creatorId = std::string(256 - 7, 'c') + "@m.acme";
    ChatPeer& creator = connect();
    creator.send(ROOM_CREATE, roomInitBody(room, creatorId, "Cee", OS_TYPE_PC, {{A, "Ay"}}));
    ASSERT_TRUE(waitPackets(creator, 3));

    EXPECT_EQ(kRoomInitReply, creator.take().code);
    EXPECT_TRUE(RoomManager::getInst().alreadyJoinedUser(room, creatorId));
    EXPECT_EQ(1, savedNotices(room));
}

TEST_F(RoomEventHandlerTest, InviteOfFiftyOneUsersClosesTheSession) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = openRoom(room, C, {});
    std::vector<invitee_t> many;
    for (int i = 0; i < 51; ++i) many.push_back({"u" + std::to_string(i) + "@m.acme", "U"});
    creator.send(USER_ADD, inviteBody(room, many));

    ASSERT_TRUE(waitClosed(creator));
    EXPECT_TRUE(creator.inbox().empty());
    EXPECT_EQ(1u, RoomManager::getInst().getMemberCount(room, C));
}

TEST_F(RoomEventHandlerTest, InviteOfFiftyUsersAddsThemAll) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = openRoom(room, C, {});
    std::vector<invitee_t> many;
    for (int i = 0; i < 50; ++i) many.push_back({"u" + std::to_string(i) + "@m.acme", "U"});
    creator.send(USER_ADD, inviteBody(room, many));

    ASSERT_TRUE(waitPackets(creator, 51));
    EXPECT_EQ(BodyBuilder().u32(room).u16(0).u32(51).u32(50).u32(0).str(), creator.inbox().back().body);
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

TEST_F(RoomEventHandlerTest, JoinOfAnInvitedMemberRepliesWithMembersAndAnnouncesIt) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = openRoom(room, C, {{A, "Ay"}});
    ChatPeer& member = connect();

    const pbytes::Received reply = joinAs(member, USER_JOIN, room, A, OS_TYPE_MOBILE);
    EXPECT_EQ(kJoinReply, reply.code);
    const join_reply_t j = readJoinReply(reply);
    EXPECT_EQ(room, j.roomId);
    EXPECT_EQ(0, j.result);
    EXPECT_EQ((std::vector<std::string>{A, C}), j.memberIds);
    EXPECT_EQ(ROOM_TYPE_COUPLE, j.roomKind);
    EXPECT_EQ(static_cast<uint32_t>(RoomManager::getInst().getUserJoinSeq(room, A)), j.joinSeq);

    ASSERT_TRUE(waitPackets(creator, 1));
    const join_alarm_t alarm = readJoinAlarm(creator.take());
    EXPECT_EQ(A, alarm.fromId);
    EXPECT_EQ(OS_TYPE_MOBILE, alarm.osType);
    EXPECT_EQ(RoomEventHandler::JOIN_TYPE_REAL, alarm.joinType);
    EXPECT_TRUE(RoomManager::getInst().alreadyJoinedUser(room, A));
    EXPECT_EQ(1, savedNotices(room));  // a real join is not saved
}

TEST_F(RoomEventHandlerTest, SecondDeviceJoinIsNotAnnounced) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = openRoom(room, C, {{A, "Ay"}});
    ChatPeer& pc = connect();
    ASSERT_EQ(0, readJoinReply(joinAs(pc, USER_JOIN, room, A, OS_TYPE_PC)).result);
    ASSERT_TRUE(waitPackets(creator, 1));
    creator.inbox().clear();

    ChatPeer& mobile = connect();
    EXPECT_EQ(0, readJoinReply(joinAs(mobile, USER_JOIN, room, A, OS_TYPE_MOBILE)).result);
    EXPECT_TRUE(arrived(creator).empty());
    EXPECT_TRUE(arrived(pc).empty());
    EXPECT_EQ(2u, SessionContainer::getInstance().getSessionList(room, A).size());
}

TEST_F(RoomEventHandlerTest, JoinOfALeftMemberGets110AndIsClosed) {
    const uint32_t room = freshRoomId();
    openRoom(room, C, {{A, "Ay"}});
    RoomManager::getInst().leaveUser(room, A);
    ChatPeer& member = connect();

    const pbytes::Received reply = joinAs(member, USER_JOIN, room, A, OS_TYPE_PC);
    EXPECT_EQ(kJoinReply, reply.code);
    EXPECT_EQ(BodyBuilder().u32(room).u16(ROOM_JOIN_RES_NOT_INVITED_USER).str(), reply.body);
    EXPECT_TRUE(waitClosed(member));
    EXPECT_FALSE(isActive(room, A));
}

TEST_F(RoomEventHandlerTest, JoinOfANonMemberGets120WithTheListAndStaysOpen) {
    const uint32_t room = freshRoomId();
    openRoom(room, C, {{A, "Ay"}});
    ChatPeer& stranger = connect();

    const join_reply_t j = readJoinReply(joinAs(stranger, USER_JOIN, room, X, OS_TYPE_PC));
    EXPECT_EQ(ROOM_JOIN_RES_ALREADY_INVITED_USER, j.result);
    EXPECT_EQ((std::vector<std::string>{A, C}), j.memberIds);
    EXPECT_FALSE(RoomManager::getInst().getRoom(room, C)->isMember(X));
    // Still served: a second request is answered too.
    const join_reply_t again = readJoinReply(joinAs(stranger, USER_JOIN, room, X, OS_TYPE_PC));
    EXPECT_EQ(ROOM_JOIN_RES_ALREADY_INVITED_USER, again.result);
    EXPECT_FALSE(stranger.closedByDaemon());
}

TEST_F(RoomEventHandlerTest, JoinOfARoomNotInMemoryReloadsItAndAnswersNothing) {
    const uint32_t known = freshRoomId();
    const uint32_t unknown = freshRoomId();
    ConfigValues settings = QuillonSettings::values();
    settings.was_load_room = "/was/load_room";
    QuillonSettings::setForTests(&settings);
    openRoom(known, C, {});
    ChatPeer& member = connect();

    member.send(USER_JOIN, joinBody(unknown, A, "Ay", OS_TYPE_PC));
    // A later request is answered first: the join itself got no reply.
    const join_reply_t j = readJoinReply(joinAs(member, USER_JOIN, known, A, OS_TYPE_PC));
    EXPECT_EQ(known, j.roomId);
    EXPECT_EQ(ROOM_JOIN_RES_ALREADY_INVITED_USER, j.result);
    const auto reloads = wasRequests("/was/load_room");
    ASSERT_EQ(1u, reloads.size());
    EXPECT_EQ("room_id=" + std::to_string(unknown) + "&tenant_id=acme", reloads[0].body);
}

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

TEST_F(RoomEventHandlerTest, OverlongJoinIdClosesWithoutReply) {
    const uint32_t room = freshRoomId();
    openRoom(room, C, {});
    ChatPeer& member = connect();
    member.send(USER_JOIN, joinBody(room, std::string(300, 'a'), "Ay", OS_TYPE_PC));

    ASSERT_TRUE(waitClosed(member));
    EXPECT_TRUE(member.inbox().empty());
    EXPECT_NE(std::string::npos, commandLog().find("Input JOIN_ID length = 300"));
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

TEST_F(RoomEventHandlerTest, RejoinIntoAGroupRoomIsRefusedWithoutJoining) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = openRoom(room, C, {{A, "Ay"}, {B, "Bee"}});
    RoomManager::getInst().leaveUser(room, A);
    ChatPeer& member = connect();

    const pbytes::Received reply = joinAs(member, USER_REJOIN, room, A, OS_TYPE_PC);
    EXPECT_EQ(BodyBuilder().u32(room).u16(ROOM_JOIN_RES_NOT_SUPPORT_ROOMTYPE).str(), reply.body);
    EXPECT_TRUE(waitClosed(member));
    EXPECT_FALSE(isActive(room, A));
    EXPECT_TRUE(SessionContainer::getInstance().getSessionList(room, A).empty());
    EXPECT_TRUE(arrived(creator).empty());
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
