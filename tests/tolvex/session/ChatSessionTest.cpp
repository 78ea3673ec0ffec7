#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "ChatPeerFixture.h"
#include "net/LoopTaskQueue.h"
#include "support/TextShape.h"
#include "tolvex/session/ChatSessionDummy.h"

namespace {

const std::string kInvalidCmdBody("\x03\x02", 2);
const char* const kAlice = "alice@mail.x.com";

std::string roomCreateBody(uint32_t roomId, const std::string& creator) {
    std::string body;
    putU32(body, roomId);
    putU16(body, static_cast<uint16_t>(creator.size()));
    body += creator;
    putU16(body, 4);
    body += "name";
    putU16(body, OS_TYPE_PC);
    return body;
}

}  // namespace

using ChatSessionTest = ChatPeerFixture;

// ---- dispatch -------------------------------------------------------------------

TEST_F(ChatSessionTest, PacketsAfterARefusedOneInTheSameReadAreNotServed) {
    ChatPeer& peer = connect();
    sendRaw(peer, rawRequest(MSG_RELAY, "") + rawRequest(ROOM_CREATE, roomCreateBody(31, kAlice)));
    wire_packet_t reply;
    ASSERT_TRUE(readPacket(peer, &reply));
    EXPECT_EQ(0x8C11, reply.code);
    EXPECT_TRUE(peerClosed(peer));
    EXPECT_TRUE(peer.inbox.empty());
    EXPECT_EQ(nullptr, rooms().getRoom(31, kAlice));
}

// ---- encryption types --------------------------------------------------------------

TEST_F(ChatSessionTest, UnknownEtypeOnAnUnknownCodeIsAlsoAnsweredInClear) {
    ChatPeer& peer = connect();
    sendRaw(peer, rawRequest(0x0123, "", 255));
    wire_packet_t reply;
    ASSERT_TRUE(readPacket(peer, &reply));
    EXPECT_EQ(0x8123, reply.code);
    EXPECT_EQ(0, reply.etype);
    EXPECT_EQ(kInvalidCmdBody, reply.body);
    EXPECT_TRUE(peerClosed(peer));
}

// ---- not ready ------------------------------------------------------------------------

TEST_F(ChatSessionTest, NotReadyComesBeforeTheEtypeCheck) {
    rooms().resetRoomInit();
    ChatPeer& peer = connect();
    sendRaw(peer, rawRequest(MSG, "", 9));
    wire_packet_t reply;
    ASSERT_TRUE(readPacket(peer, &reply));
    rooms().setRoomInitComplete();
    EXPECT_EQ(0x8C90, reply.code);
    EXPECT_TRUE(reply.body.empty());
    EXPECT_TRUE(peerClosed(peer));
}

// ---- errors and closing -------------------------------------------------------------------

TEST_F(ChatSessionTest, PeerCloseMarksTheMemberDisconnectedAndUnlistsTheSession) {
    memberJoined(40, kAlice);
    ChatPeer& peer = joinAs(kAlice, 40, OS_TYPE_PC);
    ASSERT_EQ(1, container().getSessionCount(40, kAlice));

    ::shutdown(peer.fd, SHUT_WR);
    ASSERT_TRUE(sessionGone(peer));
    EXPECT_EQ(JOIN_SESSION_CLOSE, joinStateOf(40, kAlice));
    EXPECT_EQ(0, container().getSessionCount(40, kAlice));
    EXPECT_NE(std::string::npos, commandLog().find("remove session: room_id=40, user_id=alice@mail.x.com, os_type=1"));
}

TEST_F(ChatSessionTest, ErrorAfterCloseSessionLeavesTheRoomAlone) {
    memberJoined(41, kAlice);
    ChatPeer& peer = joinAs(kAlice, 41, OS_TYPE_PC);
    peer.session->closeSession();
    EXPECT_TRUE(peer.session->isDeadAlive());
    ASSERT_TRUE(sessionGone(peer));
    EXPECT_EQ(JOIN_JOIN, joinStateOf(41, kAlice));
    EXPECT_NE(std::string::npos, commandLog().find("CloseSession: room_id:41, user_id:alice@mail.x.com, os_type:1"));
}

TEST_F(ChatSessionTest, TwoErrorsInARowRunTheRoomCleanUpOnce) {
    memberJoined(42, kAlice);
    ChatPeer& peer = joinAs(kAlice, 42, OS_TYPE_PC);
    peer.session->errorEvent(Session::SESSION_EREAD, 0);
    EXPECT_EQ(JOIN_SESSION_CLOSE, joinStateOf(42, kAlice));
    rooms().joinUser(42, kAlice);  // the member comes back on another device
    peer.session->errorEvent(Session::SESSION_EREAD, 0);
    EXPECT_EQ(JOIN_JOIN, joinStateOf(42, kAlice));
    EXPECT_TRUE(sessionGone(peer));
}

TEST_F(ChatSessionTest, MobileDisconnectResetsThePushCountButPcDoesNot) {
    memberJoined(43, kAlice);
    rooms().increasePushAlarmCount(43, kAlice);
    ChatPeer& pc = joinAs(kAlice, 43, OS_TYPE_PC);
    ::shutdown(pc.fd, SHUT_WR);
    ASSERT_TRUE(sessionGone(pc));
    EXPECT_EQ(1u, rooms().getPushAlarmCount(43, kAlice));

    ChatPeer& mobile = joinAs(kAlice, 43, OS_TYPE_MOBILE);
    ::shutdown(mobile.fd, SHUT_WR);
    ASSERT_TRUE(sessionGone(mobile));
    EXPECT_EQ(0u, rooms().getPushAlarmCount(43, kAlice));
}

TEST_F(ChatSessionTest, DisconnectOfAMemberWhoLeftDoesNotBringThemBack) {
    memberJoined(44, kAlice);
    ChatPeer& peer = joinAs(kAlice, 44, OS_TYPE_PC);
    rooms().leaveUser(44, kAlice);
    ::shutdown(peer.fd, SHUT_WR);
    ASSERT_TRUE(sessionGone(peer));
    EXPECT_EQ(JOIN_LEFT, joinStateOf(44, kAlice));
    EXPECT_EQ(0u, rooms().getMemberCount(44, kAlice));
}

// However a session ends, the container no longer lists it once it is gone.
enum class CloseBy { BadCommand, CloseSession, PeerClose, FramingError };

class SessionUnlistedTest : public ChatPeerFixture, public ::testing::WithParamInterface<CloseBy> {
protected:
    void closeBy(ChatPeer& peer, CloseBy how) {
        switch (how) {
            case CloseBy::BadCommand: sendRaw(peer, rawRequest(0x0777, "")); break;
            case CloseBy::CloseSession: peer.session->closeSession(); break;
            case CloseBy::PeerClose: ::shutdown(peer.fd, SHUT_WR); break;
            case CloseBy::FramingError: sendRaw(peer, std::string(1, '\0')); break;
        }
    }
};

TEST_P(SessionUnlistedTest, NoPointerToTheSessionStaysListed) {
    memberJoined(45, kAlice);
    ChatPeer& other = joinAs("bob@mail.x.com", 45, OS_TYPE_PC);
    ChatPeer& peer = joinAs(kAlice, 45, OS_TYPE_MOBILE);
    const ChatSession* gone = peer.session;
    closeBy(peer, GetParam());
    ASSERT_TRUE(sessionGone(peer));

    EXPECT_FALSE(listedIn(45, kAlice, gone));
    EXPECT_EQ(1, container().getSessionCount(45, kAlice));
    EXPECT_EQ(other.session, container().getSession(45, "bob@mail.x.com", OS_TYPE_PC));
    // Walking the room touches every listed session (ASan: no freed one).
    EXPECT_EQ(2u, container().getSessionList(45, kAlice, OS_TYPE_ALL).size());
}

INSTANTIATE_TEST_SUITE_P(Paths, SessionUnlistedTest,
                         ::testing::Values(CloseBy::BadCommand, CloseBy::CloseSession, CloseBy::PeerClose,
                                           CloseBy::FramingError));

TEST_F(ChatSessionTest, SessionListedUnderTwoRoomsIsUnlistedFromBoth) {
    ChatPeer& peer = joinAs(kAlice, 46, OS_TYPE_PC);
    // The same connection joins another room: its profile moves on.
    peer.session->setProfile(kAlice, "alice", 47, OS_TYPE_PC);
    container().addSession(47, kAlice, peer.session);
    const ChatSession* gone = peer.session;
    peer.session->closeSession();
    ASSERT_TRUE(sessionGone(peer));
    EXPECT_FALSE(listedIn(46, kAlice, gone));
    EXPECT_FALSE(listedIn(47, kAlice, gone));
    container().clearRoom(47, kAlice);
}

TEST_F(ChatSessionTest, RemovingAFailedSecondConnectionKeepsTheLiveOne) {
    ChatPeer& live = joinAs(kAlice, 48, OS_TYPE_PC);
    ChatPeer& second = connectAs(kAlice, 48, OS_TYPE_PC);  // same user and device, never listed
    second.session->removeSession();
    second.session->closeSession();
    ASSERT_TRUE(sessionGone(second));
    EXPECT_EQ(live.session, container().getSession(48, kAlice, OS_TYPE_PC));
}

// ---- identity and pushes --------------------------------------------------------------------

TEST_F(ChatSessionTest, SelfMeansSameUserAndDevice) {
    ChatPeer& pc = connectAs(kAlice, 49, OS_TYPE_PC);
    ChatPeer& mobile = connectAs(kAlice, 49, OS_TYPE_MOBILE);
    ChatPeer& bob = connectAs("bob@mail.x.com", 49, OS_TYPE_PC);
    EXPECT_FALSE(pc.session->isMySelf(mobile.session));
    EXPECT_FALSE(pc.session->isMySelf(bob.session));
    EXPECT_FALSE(pc.session->isMySelf(nullptr));
    EXPECT_EQ("alice@mail.x.com-name", pc.session->getNameInfo());
}

TEST_F(ChatSessionTest, PushPastTheSendLimitFailsWithoutTouchingTheContainerTwice) {
    memberJoined(50, kAlice);
    ChatPeer& peer = joinAs(kAlice, 50, OS_TYPE_PC);
    peer.session->setSendBufLimit(100000);
    P2PPacket notice;
    notice.m_h.make2(USER_JOIN_ALARM, "", 0, "", 0, 0, 0, 0);
    std::string big(60000, 'x');
    notice.setBody(big.data(), static_cast<int>(big.size()));
    // Through the container: the push fails inside its lock.
    int result = 0;
    for (int i = 0; i < 50 && result == 0; ++i) result = container().push(50, kAlice, OS_TYPE_PC, &notice);
    EXPECT_EQ(-1, result);
    EXPECT_EQ(JOIN_SESSION_CLOSE, joinStateOf(50, kAlice));
    ASSERT_TRUE(runUntil([&] { return container().getSessionCount(50, kAlice) == 0; }));
    EXPECT_EQ(1, occurrences(commandLog(), std::string("send_buffer_max reached: userid=") + kAlice + ", room_id=50, osType=1, 120"));
}

// What the framework meets on its own (here a posted task that threw)
// reaches the daemon's command log, one line each.
TEST_F(ChatSessionTest, FrameworkFailuresReachTheCommandLog) {
    routeFrameworkErrorsToCommandLog();
    LoopTaskQueue tasks;
    tasks.post([] { throw std::runtime_error("boom"); });
    tasks.drain();
    stopRoutingFrameworkErrors();
    EXPECT_EQ(1, occurrences(commandLog(), "posted task threw: boom"));
}

// ---- factory and dummy ---------------------------------------------------------------------

TEST_F(ChatSessionTest, FactoryAppliesTheConfiguredSendBufferLimit) {
    const int before = ChatFactory::getInst().sendBufLimit();
    ChatFactory::getInst().setSendBufLimit(4096);
    ChatPeer& peer = connect();
    ChatFactory::getInst().setSendBufLimit(before);
    EXPECT_EQ(4096, peer.session->sendBufLimit());

    // A peer that does not read cannot make the session queue past it.
    P2PPacket notice;
    notice.m_h.make2(USER_JOIN_ALARM, "", 0, "", 0, 0, 0, 0);
    std::string big(3000, 'x');
    notice.setBody(big.data(), static_cast<int>(big.size()));
    int result = 0;
    for (int i = 0; i < 1000 && result == 0; ++i) result = peer.session->chatPush(&notice);
    EXPECT_EQ(-1, result);
}

TEST_F(ChatSessionTest, DummyCarriesItsMessageAndDeletesItselfOnExpiry) {
    msg_info msg;
    msg.roomId = 51;
    msg.msgNum = 8;
    std::strcpy(msg.fromId, kAlice);
    ChatSessionDummy* dummy = ChatSessionDummy::create(msg);
    msg.msgNum = 9;  // the dummy holds its own copy
    const msg_info carried = dummy->getMsgInfo();
    EXPECT_EQ(51u, carried.roomId);
    EXPECT_EQ(8u, carried.msgNum);
    EXPECT_STREQ(kAlice, carried.fromId);
    dummy->setExpired();  // LeakSanitizer reports it if it did not delete itself
}
