// Leave and force leave through real sessions on the test loop: the notices
// each member receives, the sessions that end, the registry afterwards, the
// log lines, and what the save and leave jobs post to the WAS.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ChatRoomFixture.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/SessionContainer.h"
#include "tolvex/util/ChatCodes.h"

namespace {

constexpr uint16_t kForceLeaveReply = USER_FORCE_LEAVE | kResponseBit;

const std::string C = "c@m.acme";
const std::string A = "a@m.acme";
const std::string B = "b@m.acme";
const std::string X = "x@m.acme";

std::string leaveBody(uint32_t roomId, const std::string& userId, const std::string& name, uint16_t osType) {
    return BodyBuilder().u32(roomId).str16(userId).str16(name).u16(osType);
}

std::string forceLeaveBody(uint32_t roomId, const std::string& from, uint16_t fromOsType, const std::string& to,
                           const std::string& toName) {
    return BodyBuilder().u32(roomId).str16(from).str16(from + " name").u16(fromOsType).str16(to).str16(toName);
}

struct leave_alarm_t {
    std::string userId;
    std::string name;
    uint16_t osType = 0;
    uint32_t msgNum = 0;
    uint32_t memberCount = 0;
    uint32_t joinSeq = 0;
};

}  // namespace

class LeaveTest : public ChatRoomFixture {
protected:
    // The time a USER_LEAVE_ALARM carries: it is followed by the member
    // count, the join sequence and the leave type.
    static uint32_t noticeTime(const pbytes::Received& p) {
        return p.body.size() < 14 ? 0 : pbytes::u32At(p.body, p.body.size() - 14);
    }

    // The exact USER_LEAVE_ALARM body; the time is the one the notice carries.
    static void expectLeaveAlarm(uint32_t roomId, const leave_alarm_t& want, const pbytes::Received& p) {
        ASSERT_EQ(USER_LEAVE_ALARM, p.code);
        const uint32_t msgTime = noticeTime(p);
        EXPECT_NE(0u, msgTime);
        const std::string expected = BodyBuilder()
                                         .u32(roomId)
                                         .str16(want.userId)
                                         .str16(want.name)
                                         .u16(want.osType)
                                         .u32(want.msgNum)
                                         .u32(msgTime)
                                         .u32(want.memberCount)
                                         .u32(want.joinSeq)
                                         .u16(1);
        EXPECT_EQ(expected, p.body);
    }

    // A connected member; the join notices it caused are consumed.
    ChatPeer& joined(uint32_t roomId, const std::string& userId, uint16_t osType, std::vector<ChatPeer*> others) {
        ChatPeer& peer = connect();
        EXPECT_EQ(USER_JOIN | kResponseBit, joinAs(peer, USER_JOIN, roomId, userId, osType).code);
        for (ChatPeer* other : others) arrived(*other).clear();
        return peer;
    }

    static uint32_t joinSeqOf(uint32_t roomId, const std::string& userId) {
        return static_cast<uint32_t>(RoomManager::getInst().getUserJoinSeq(roomId, userId));
    }

    static bool hasContainerEntry(uint32_t roomId, const std::string& userId) {
        return SessionContainer::getInstance().getSessionList(roomId, C, OS_TYPE_ALL).count(userId) > 0;
    }

    // Save requests of leave notices (message type 3), once every job is over.
    int savedLeaveNotices() {
        EXPECT_TRUE(jobsSettled());
        int n = 0;
        for (const FakeWas::Request& r : m_was.requestsTo(kSaveMsgPage)) n += r.field("msg_type") == "3";
        return n;
    }
};

// ---- leave ----

TEST_F(LeaveTest, LeaveTellsTheOthersEndsEveryLeaverSessionAndIsRecorded) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = openRoom(room, C, {{A, "Ay"}});
    ChatPeer& pc = joined(room, A, OS_TYPE_PC, {&creator});
    ChatPeer& mobile = joined(room, A, OS_TYPE_MOBILE, {&creator});
    const uint32_t joinSeq = joinSeqOf(room, A);
    const uint32_t msgNum = RoomManager::getInst().getCurrentMsgNumber(room, C) + 1;

    pc.send(USER_LEAVE, leaveBody(room, A, "Ay", OS_TYPE_PC));
    ASSERT_TRUE(waitClosed(pc));
    EXPECT_TRUE(pc.inbox().empty()) << "the leaver gets no reply";

    ASSERT_EQ(1u, arrived(creator).size());
    const pbytes::Received notice = creator.take();
    expectLeaveAlarm(room, {A, "Ay", OS_TYPE_PC, msgNum, 2, joinSeq}, notice);
    // The leaver's other device hears of the leave, then is closed.
    ASSERT_TRUE(waitClosed(mobile));
    ASSERT_EQ(1u, mobile.inbox().size());
    EXPECT_EQ(notice.body, mobile.take().body);

    EXPECT_EQ(JOIN_SEQ_ERROR_LEFT, RoomManager::getInst().getUserJoinSeq(room, A));
    EXPECT_FALSE(hasContainerEntry(room, A));
    EXPECT_EQ(1u, RoomManager::getInst().getMemberCount(room, C));
    EXPECT_NE(std::string::npos, chatLog().find("S:>>:" + std::to_string(room) + ":-1:USER_LEAVE:" + A + ":PC:SUCC:"));
    EXPECT_NE(std::string::npos, commandLog().find("LEAVE:close other session:room_id=" + std::to_string(room) +
                                                   ":user_id=" + A + ":os_type=2"));

    // The leave job reads the notice: the stay that ends is the current one.
    const auto leaves = wasRequests(kLeavePage);
    ASSERT_EQ(1u, leaves.size());
    EXPECT_EQ(std::to_string(room), leaves[0].field("room_id"));
    EXPECT_EQ(A, leaves[0].field("user_id"));
    EXPECT_EQ("1", leaves[0].field("os_type"));
    EXPECT_EQ(std::to_string(joinSeq), leaves[0].field("join_seq"));
    EXPECT_EQ("yes", leaves[0].field("leave_current_join_seq"));
    EXPECT_EQ(std::to_string(noticeTime(notice)), leaves[0].field("time"));
    // The notice is saved before the leave applies, so the leaver is listed.
    const FakeWas::Request saved = wasRequestWith(kSaveMsgPage, "msg_type", "3");
    EXPECT_EQ(A, saved.field("send_user_id"));
    EXPECT_EQ(std::to_string(msgNum), saved.field("msg_seq"));
    EXPECT_EQ(A + "\t" + C, saved.field("recv_user_list"));
}

TEST_F(LeaveTest, LeaveOfSomeoneNotInTheRoomOnlyClosesTheSession) {
    const uint32_t room = freshRoomId();
    const uint32_t unknownRoom = freshRoomId();
    ChatPeer& creator = openRoom(room, C, {{A, "Ay"}});
    RoomManager::getInst().leaveUser(room, A);
    const uint32_t msgNum = RoomManager::getInst().getCurrentMsgNumber(room, C);
    const std::string r = std::to_string(room);
    struct case_t {
        uint32_t roomId;
        std::string userId;
        std::string logLine;
    };
    const std::vector<case_t> cases = {
        {room, A, "Already left user. room_id=" + r + ", id=" + A + ", osType=1"},
        {room, X, "Not Existing user. room_id=" + r + ", id=" + X + ", osType=1"},
        {unknownRoom, A, "Not Existing room_id=" + std::to_string(unknownRoom) + ", id=" + A + ", osType=1"},
    };
    for (const case_t& c : cases) {
        ChatPeer& peer = connect();
        peer.send(USER_LEAVE, leaveBody(c.roomId, c.userId, "who", OS_TYPE_PC));
        ASSERT_TRUE(waitClosed(peer)) << c.logLine;
        EXPECT_TRUE(peer.inbox().empty()) << c.logLine;
        EXPECT_NE(std::string::npos, commandLog().find(c.logLine)) << commandLog();
    }
    EXPECT_TRUE(arrived(creator).empty());
    EXPECT_EQ(msgNum, RoomManager::getInst().getCurrentMsgNumber(room, C));
    EXPECT_EQ(0, savedLeaveNotices());
    EXPECT_TRUE(m_was.requestsTo(kLeavePage).empty());
}

TEST_F(LeaveTest, OverlongLeaveFieldEndsTheReadingOnly) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = openRoom(room, C, {{A, "Ay"}});

    // An over-long name: the id is read, the name and device kind stay empty,
    // and the leave goes on with them.
    ChatPeer& member = connect();
    member.send(USER_LEAVE, leaveBody(room, A, std::string(257, 'n'), OS_TYPE_PC));
    ASSERT_TRUE(waitClosed(member));
    EXPECT_NE(std::string::npos, commandLog().find("Input LEAVE_NAME length = 257"));
    ASSERT_EQ(1u, arrived(creator).size());
    const pbytes::Received notice = creator.take();
    BodyReader r(notice.body);
    r.u32();
    EXPECT_EQ(A, r.str16());
    EXPECT_EQ("", r.str16());
    EXPECT_EQ(0u, r.u16());
    EXPECT_EQ(JOIN_SEQ_ERROR_LEFT, RoomManager::getInst().getUserJoinSeq(room, A));

    // An over-long id leaves nobody to look up.
    ChatPeer& other = connect();
    other.send(USER_LEAVE, leaveBody(room, std::string(300, 'a'), "Cee", OS_TYPE_PC));
    ASSERT_TRUE(waitClosed(other));
    EXPECT_NE(std::string::npos, commandLog().find("Input LEAVE_ID length = 300"));
    EXPECT_NE(std::string::npos, commandLog().find("Not Existing room_id=" + std::to_string(room) + ", id=, osType=0"));
    EXPECT_TRUE(arrived(creator).empty());
    EXPECT_TRUE(RoomManager::getInst().isActiveMember(room, C));
}

TEST_F(LeaveTest, LeaveOverAnotherConnectionAlsoClosesTheListedSessionOfThatDevice) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = openRoom(room, C, {{A, "Ay"}});
    ChatPeer& pc = joined(room, A, OS_TYPE_PC, {&creator});

    ChatPeer& leaving = connect();
    leaving.send(USER_LEAVE, leaveBody(room, A, "Ay", OS_TYPE_PC));
    ASSERT_TRUE(waitClosed(leaving));
    EXPECT_TRUE(waitClosed(pc)) << "a session of a member who left stayed open";
    EXPECT_TRUE(pc.inbox().empty());
    EXPECT_FALSE(hasContainerEntry(room, A));
    EXPECT_NE(std::string::npos, commandLog().find("LEAVE:close remaining session:room_id=" + std::to_string(room)));
}

// ---- force leave ----

TEST_F(LeaveTest, ForceLeaveTellsTheRemovedAndTheOthersAndAnswersTheRemover) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = openRoom(room, C, {{A, "Ay"}, {B, "Bee"}});
    ChatPeer& aPc = joined(room, A, OS_TYPE_PC, {&creator});
    ChatPeer& aMobile = joined(room, A, OS_TYPE_MOBILE, {&creator});
    ChatPeer& b = joined(room, B, OS_TYPE_PC, {&creator, &aPc, &aMobile});
    const uint32_t joinSeq = joinSeqOf(room, A);
    const uint32_t msgNum = RoomManager::getInst().getCurrentMsgNumber(room, C) + 1;
    const std::string body = forceLeaveBody(room, C, OS_TYPE_PC, A, "Ay");

    creator.send(USER_FORCE_LEAVE, body);
    ASSERT_TRUE(waitPackets(creator, 2));
    // The remover hears of the leave like everybody, then gets the answer
    // to a request of the daemon's own making (trid 0).
    const leave_alarm_t removal{A, "Ay", OS_TYPE_PC, msgNum, 3, joinSeq};
    expectLeaveAlarm(room, removal, creator.take());
    const pbytes::Received reply = creator.take();
    EXPECT_EQ(kForceLeaveReply, reply.code);
    EXPECT_EQ(0u, reply.trid);
    EXPECT_EQ(body, reply.body);

    for (ChatPeer* removed : {&aPc, &aMobile}) {
        ASSERT_TRUE(waitClosed(*removed));
        ASSERT_EQ(2u, removed->inbox().size());
        const pbytes::Received alarm = removed->take();
        EXPECT_EQ(USER_FORCE_LEAVE_ALARM, alarm.code);
        EXPECT_EQ(body, alarm.body);
        expectLeaveAlarm(room, removal, removed->take());
    }
    ASSERT_EQ(1u, arrived(b).size());
    expectLeaveAlarm(room, removal, b.take());

    EXPECT_EQ(JOIN_SEQ_ERROR_LEFT, RoomManager::getInst().getUserJoinSeq(room, A));
    EXPECT_FALSE(hasContainerEntry(room, A));
    // The remover is still served.
    EXPECT_EQ(USER_JOIN | kResponseBit, joinAs(creator, USER_JOIN, room, C, OS_TYPE_PC).code);

    const std::string r = std::to_string(room);
    EXPECT_NE(std::string::npos, chatLog().find("S:>>:" + r + ":-1:USER_FORCE_LEAVE:" + C + ":PC:SUCC:" + A));
    EXPECT_NE(std::string::npos, chatLog().find("S:<<:" + r + ":-1:USER_FORCE_LEAVE_ALARM:" + A + ":MOBILE:SUCC:" + C));
    EXPECT_NE(std::string::npos, chatLog().find("S:<<:" + r + ":-1:USER_FORCE_LEAVE:" + C + ":PC:SUCC:" + A));
    const FakeWas::Request leave = wasRequestWith(kLeavePage, "user_id", A);
    EXPECT_EQ(std::to_string(joinSeq), leave.field("join_seq"));
    EXPECT_EQ("yes", leave.field("leave_current_join_seq"));
    // Saved after the removal applied: the removed member is not listed.
    const FakeWas::Request saved = wasRequestWith(kSaveMsgPage, "msg_type", "3");
    EXPECT_EQ(A, saved.field("send_user_id"));
    EXPECT_EQ(B + "\t" + C, saved.field("recv_user_list"));
}

TEST_F(LeaveTest, ForceLeaveOfSomeoneNotInTheRoomIsAnsweredButAnnouncesNothing) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = openRoom(room, C, {{A, "Ay"}, {B, "Bee"}});
    ChatPeer& b = joined(room, B, OS_TYPE_PC, {&creator});
    RoomManager::getInst().leaveUser(room, A);
    const uint32_t msgNum = RoomManager::getInst().getCurrentMsgNumber(room, C);
    const std::string r = std::to_string(room);

    for (const auto& [target, logLine] :
         {std::pair{A, "FORCE_LEAVE:Already left user. room_id=" + r + ", id=" + A + ", osType=1"},
          std::pair{X, "FORCE_LEAVE:Not Existing user. room_id=" + r + ", id=" + X + ", osType=1"}}) {
        const std::string body = forceLeaveBody(room, C, OS_TYPE_PC, target, "who");
        creator.send(USER_FORCE_LEAVE, body);
        ASSERT_TRUE(waitPackets(creator, 1)) << target;
        const pbytes::Received reply = creator.take();
        EXPECT_EQ(kForceLeaveReply, reply.code);
        EXPECT_EQ(body, reply.body);
        EXPECT_NE(std::string::npos, commandLog().find(logLine)) << commandLog();
    }
    EXPECT_TRUE(arrived(creator).empty());
    EXPECT_TRUE(arrived(b).empty());
    EXPECT_EQ(msgNum, RoomManager::getInst().getCurrentMsgNumber(room, C));
    EXPECT_EQ(0, savedLeaveNotices());
    EXPECT_TRUE(m_was.requestsTo(kLeavePage).empty());
}

TEST_F(LeaveTest, ForceLeaveClosesASessionThatNeverSaidItsDeviceKind) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = openRoom(room, C, {{A, "Ay"}});
    ChatPeer& member = joined(room, A, OS_TYPE_NONE, {&creator});

    creator.send(USER_FORCE_LEAVE, forceLeaveBody(room, C, OS_TYPE_PC, A, "Ay"));
    ASSERT_TRUE(waitClosed(member)) << "the removed member's session stayed open";
    ASSERT_FALSE(member.inbox().empty());
    EXPECT_EQ(USER_FORCE_LEAVE_ALARM, member.inbox().front().code);
    EXPECT_FALSE(hasContainerEntry(room, A));
}
