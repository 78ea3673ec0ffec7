// Leave and force leave through real sessions on the test loop: the sessions
// that end, the registry afterwards, the log lines, and what the save and
// leave jobs post to the WAS.

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

}  // namespace

class LeaveTest : public ChatRoomFixture {
protected:
    // The time a USER_LEAVE_ALARM carries: it is followed by the member
    // count, the join sequence and the leave type.
    static uint32_t noticeTime(const pbytes::Received& p) {
        return p.body.size() < 14 ? 0 : pbytes::u32At(p.body, p.body.size() - 14);
    }

    // A connected member; the join notices it caused are consumed.
    ChatPeer& joined(uint32_t roomId, const std::string& userId, uint16_t osType, std::vector<ChatPeer*> others) {
        ChatPeer& peer = connect();
        EXPECT_EQ(USER_JOIN | kResponseBit, joinAs(peer, USER_JOIN, roomId, userId, osType).code);
        for (ChatPeer* other : others) arrived(*other).clear();
        return peer;
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

// The notices and the leave request's fields are checked against the real
// daemon; here: the registry afterwards, the leave time, and that the
// notice is saved before the leave applies.
TEST_F(LeaveTest, LeaveEmptiesTheRegistryAndIsSavedWithTheLeaverStillListed) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = openRoom(room, C, {{A, "Ay"}});
    ChatPeer& pc = joined(room, A, OS_TYPE_PC, {&creator});
    ChatPeer& mobile = joined(room, A, OS_TYPE_MOBILE, {&creator});
    const uint32_t msgNum = RoomManager::getInst().getCurrentMsgNumber(room, C) + 1;

    pc.send(USER_LEAVE, leaveBody(room, A, "Ay", OS_TYPE_PC));
    ASSERT_TRUE(waitClosed(pc));
    ASSERT_TRUE(waitClosed(mobile));
    ASSERT_EQ(1u, arrived(creator).size());
    const pbytes::Received notice = creator.take();

    EXPECT_EQ(JOIN_SEQ_ERROR_LEFT, RoomManager::getInst().getUserJoinSeq(room, A));
    EXPECT_FALSE(hasContainerEntry(room, A));
    EXPECT_EQ(1u, RoomManager::getInst().getMemberCount(room, C));
    EXPECT_NE(std::string::npos, commandLog().find("LEAVE:close other session:room_id=" + std::to_string(room) +
                                                   ":user_id=" + A + ":os_type=2"));
    EXPECT_EQ(std::to_string(noticeTime(notice)), wasRequestWith(kLeavePage, "user_id", A).field("time"));
    const FakeWas::Request saved = wasRequestWith(kSaveMsgPage, "msg_type", "3");
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

// The notices' bytes, the answer and the leave request are checked against
// the real daemon; here: what each removed device gets in which order, the
// registry, the log lines, and that the notice is saved after the removal.
TEST_F(LeaveTest, ForceLeaveWarnsTheRemovedFirstAndIsSavedWithoutThem) {
    const uint32_t room = freshRoomId();
    ChatPeer& creator = openRoom(room, C, {{A, "Ay"}, {B, "Bee"}});
    ChatPeer& aPc = joined(room, A, OS_TYPE_PC, {&creator});
    ChatPeer& aMobile = joined(room, A, OS_TYPE_MOBILE, {&creator});
    joined(room, B, OS_TYPE_PC, {&creator, &aPc, &aMobile});

    creator.send(USER_FORCE_LEAVE, forceLeaveBody(room, C, OS_TYPE_PC, A, "Ay"));
    ASSERT_TRUE(waitPackets(creator, 2));
    for (ChatPeer* removed : {&aPc, &aMobile}) {
        ASSERT_TRUE(waitClosed(*removed));
        ASSERT_EQ(2u, removed->inbox().size());
        EXPECT_EQ(USER_FORCE_LEAVE_ALARM, removed->take().code);
        EXPECT_EQ(USER_LEAVE_ALARM, removed->take().code);
    }

    EXPECT_EQ(JOIN_SEQ_ERROR_LEFT, RoomManager::getInst().getUserJoinSeq(room, A));
    EXPECT_FALSE(hasContainerEntry(room, A));
    const std::string r = std::to_string(room);
    EXPECT_NE(std::string::npos, chatLog().find("S:>>:" + r + ":-1:USER_FORCE_LEAVE:" + C + ":PC:SUCC:" + A));
    EXPECT_NE(std::string::npos, chatLog().find("S:<<:" + r + ":-1:USER_FORCE_LEAVE_ALARM:" + A + ":MOBILE:SUCC:" + C));
    EXPECT_NE(std::string::npos, chatLog().find("S:<<:" + r + ":-1:USER_FORCE_LEAVE:" + C + ":PC:SUCC:" + A));
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
