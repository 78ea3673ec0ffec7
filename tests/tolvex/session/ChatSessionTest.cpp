// One ChatSession's life: the requests it refuses, and every way it ends
// (the room registry afterwards, no pointer to it left listed, the lines it
// logs).

#include "tolvex/session/ChatSession.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "client/Replies.h"
#include "net/LoopTaskQueue.h"
#include "p2p/P2PPacket.h"
#include "support/TextShape.h"
#include "support/chat/ChatRoomFixture.h"
#include "tolvex/util/Globals.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/ChatSessionDummy.h"
#include "tolvex/session/SessionContainer.h"

namespace {

const std::string kAlice = "alice@mail.x.com";
const std::string kBob = "bob@mail.x.com";

SessionContainer& container() {
    return SessionContainer::getInstance();
}

// Whether s is listed anywhere in the room (compares pointers only).
bool listedIn(uint32_t roomId, const ChatSession* s) {
    for (const auto& [id, list] : container().getSessionList(roomId, kAlice, OS_TYPE_ALL))
        for (const ChatSession* listed : list)
            if (listed == s) return true;
    return false;
}

}  // namespace

using ChatSessionTest = ChatRoomFixture;

TEST_F(ChatSessionTest, PacketsAfterARefusedOneInTheSameReadAreNotServed) {
    ChatPeer& peer = connect();
    peer.sendRaw(client::encodePacket(MSG_RELAY, "") +
                 client::encodePacket(ROOM_CREATE, client::encode(client::RoomInitRequest{31, kAlice, "name", OS_TYPE_PC, {}, false, {}})));
    ASSERT_TRUE(waitClosed(peer));
    ASSERT_EQ(1u, peer.inbox().size());
    EXPECT_EQ(MSG_RELAY, client::decodeInvalidCommand(peer.take()).value_or(client::InvalidCommand{}).requestCode);
    EXPECT_EQ(nullptr, RoomManager::getInst().getRoom(31, kAlice));
}

TEST_F(ChatSessionTest, CloseSessionLeavesTheRoomAloneAndTwoErrorsRunTheCleanUpOnce) {
    roomOf(41, {kAlice});
    ChatPeer& closed = listedAs(kAlice, 41, OS_TYPE_PC);
    closed.session()->closeSession();
    EXPECT_TRUE(closed.session()->isDeadAlive());
    ASSERT_TRUE(waitClosed(closed));
    EXPECT_EQ(JOIN_JOIN, joinStateOf(41, kAlice));
    EXPECT_NE(std::string::npos, commandLog().find("CloseSession: room_id:41, user_id:" + kAlice + ", os_type:1"));

    ChatPeer& failing = listedAs(kAlice, 41, OS_TYPE_PC);
    failing.session()->errorEvent(Session::SESSION_EREAD, 0);
    EXPECT_EQ(JOIN_SESSION_CLOSE, joinStateOf(41, kAlice));
    RoomManager::getInst().joinUser(41, kAlice);  // the member comes back on another device
    failing.session()->errorEvent(Session::SESSION_EREAD, 0);
    EXPECT_EQ(JOIN_JOIN, joinStateOf(41, kAlice));
    EXPECT_TRUE(waitClosed(failing));
}

// However a session ends, the container no longer lists it once it is gone.
enum class CloseBy { BadCommand, CloseSession, PeerClose, FramingError };

class SessionUnlistedTest : public ChatRoomFixture, public ::testing::WithParamInterface<CloseBy> {};

TEST_P(SessionUnlistedTest, NoPointerToTheSessionStaysListed) {
    roomOf(45, {kAlice});
    ChatPeer& other = listedAs(kBob, 45, OS_TYPE_PC);
    ChatPeer& peer = listedAs(kAlice, 45, OS_TYPE_MOBILE);
    const ChatSession* gone = peer.session();
    switch (GetParam()) {
        case CloseBy::BadCommand: peer.send(0x0777, ""); break;
        case CloseBy::CloseSession: peer.session()->closeSession(); break;
        case CloseBy::PeerClose: peer.shutdownWrite(); break;
        case CloseBy::FramingError: peer.sendRaw(std::string(1, '\0')); break;
    }
    ASSERT_TRUE(waitClosed(peer));

    EXPECT_FALSE(listedIn(45, gone));
    EXPECT_EQ(1, container().getSessionCount(45, kAlice));
    EXPECT_EQ(other.session(), container().getSession(45, kBob, OS_TYPE_PC));
    // Walking the room touches every listed session (ASan: no freed one).
    EXPECT_EQ(2u, container().getSessionList(45, kAlice, OS_TYPE_ALL).size());
}

INSTANTIATE_TEST_SUITE_P(Paths, SessionUnlistedTest,
                         ::testing::Values(CloseBy::BadCommand, CloseBy::CloseSession, CloseBy::PeerClose,
                                           CloseBy::FramingError));

TEST_F(ChatSessionTest, SessionListedUnderTwoRoomsIsUnlistedFromBoth) {
    ChatPeer& peer = listedAs(kAlice, 46, OS_TYPE_PC);
    // The same connection joins another room: its profile moves on.
    peer.session()->setProfile(kAlice, "alice", 47, OS_TYPE_PC);
    container().addSession(47, kAlice, peer.session());
    const ChatSession* gone = peer.session();
    peer.session()->closeSession();
    ASSERT_TRUE(waitClosed(peer));
    EXPECT_FALSE(listedIn(46, gone));
    EXPECT_FALSE(listedIn(47, gone));
    container().clearRoom(47, kAlice);
}

TEST_F(ChatSessionTest, RemovingAFailedSecondConnectionKeepsTheLiveOne) {
    ChatPeer& live = listedAs(kAlice, 48, OS_TYPE_PC);
    ChatPeer& second = listedAs(kAlice, 48, OS_TYPE_PC, false);  // same user and device, never listed
    second.session()->removeSession();
    second.session()->closeSession();
    ASSERT_TRUE(waitClosed(second));
    EXPECT_EQ(live.session(), container().getSession(48, kAlice, OS_TYPE_PC));
}

TEST_F(ChatSessionTest, PushPastTheSendLimitFailsAndLeavesOneCommandLogLine) {
    roomOf(50, {kAlice});
    listedAs(kAlice, 50, OS_TYPE_PC).session()->setSendBufLimit(100000);
    P2PPacket notice;
    notice.m_h.make2(USER_JOIN_ALARM, "", 0, "", 0, 0, 0, 0);
    const std::string big(60000, 'x');
    notice.setBody(big.data(), static_cast<int>(big.size()));
    // Through the container: the push fails inside its lock.
    int result = 0;
    for (int i = 0; i < 50 && result == 0; ++i) result = container().push(50, kAlice, OS_TYPE_PC, &notice);
    EXPECT_EQ(-1, result);
    EXPECT_EQ(JOIN_SESSION_CLOSE, joinStateOf(50, kAlice));
    ASSERT_TRUE(runUntil([&] { return container().getSessionCount(50, kAlice) == 0; }));
    EXPECT_EQ(1, occurrences(commandLog(), "send_buffer_max reached: userid=" + kAlice + ", room_id=50, osType=1, 120"));
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

