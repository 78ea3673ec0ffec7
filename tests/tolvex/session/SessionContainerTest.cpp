#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "ChatPeerFixture.h"

namespace {

const char* const kAlice = "alice@mail.x.com";
const char* const kBob = "bob@mail.x.com";

}  // namespace

using SessionContainerTest = ChatPeerFixture;

TEST_F(SessionContainerTest, ReplacedSessionDoesNotMarkTheMemberDisconnected) {
    memberJoined(62, kAlice);
    ChatPeer& old = joinAs(kAlice, 62, OS_TYPE_MOBILE);
    joinAs(kAlice, 62, OS_TYPE_MOBILE);
    ASSERT_TRUE(sessionGone(old));
    EXPECT_EQ(JOIN_JOIN, joinStateOf(62, kAlice));
    EXPECT_EQ(1, container().getSessionCount(62, kAlice));
}

TEST_F(SessionContainerTest, SameSessionRegisteredTwiceIsListedOnce) {
    ChatPeer& peer = joinAs(kAlice, 63, OS_TYPE_PC);
    container().addSession(63, kAlice, peer.session);
    EXPECT_EQ(1, container().getSessionCount(63, kAlice));
    peer.drain();
    EXPECT_TRUE(peer.inbox.empty());
    EXPECT_FALSE(peer.eof);
}

TEST_F(SessionContainerTest, FinishedOldSessionIsClosedWithoutANoticeAndLoggedAsFail) {
    ChatPeer& old = joinAs(kAlice, 64, OS_TYPE_PC);
    old.session->setIsDeadAlive(true);
    joinAs(kAlice, 64, OS_TYPE_PC);
    ASSERT_TRUE(sessionGone(old));
    EXPECT_TRUE(old.inbox.empty());
    EXPECT_NE(std::string::npos, chatLog().find("S:<<:64:-1:SESSION_CLOSE:alice@mail.x.com:PC:FAIL:10(dup)"));
}

TEST_F(SessionContainerTest, RoomWideListShowsEveryUserEvenWithoutSessions) {
    ChatPeer& pc = joinAs(kAlice, 65, OS_TYPE_PC);
    ChatPeer& mobile = joinAs(kAlice, 65, OS_TYPE_MOBILE);
    container().addEmptySession(65, kBob);

    const auto all = container().getSessionList(65, kAlice, OS_TYPE_ALL);
    ASSERT_EQ(2u, all.size());
    EXPECT_EQ((SessionContainer::sessionlist_t{pc.session, mobile.session}), all.at(kAlice));
    EXPECT_TRUE(all.at(kBob).empty());

    const auto mobiles = container().getSessionList(65, kBob, OS_TYPE_MOBILE);
    EXPECT_EQ((SessionContainer::sessionlist_t{mobile.session}), mobiles.at(kAlice));
    EXPECT_TRUE(mobiles.at(kBob).empty());

    EXPECT_TRUE(container().getSessionList(65, "carol@mail.x.com").empty());
    EXPECT_TRUE(container().getSessionList(66, kAlice, OS_TYPE_ALL).empty());
}

TEST_F(SessionContainerTest, PushWithoutSuchSessionFailsAndSaysSo) {
    joinAs(kAlice, 68, OS_TYPE_PC);
    P2PPacket notice;
    notice.m_h.make2(TYPING_ALARM, "", 0, "", 0, 0, 0, 0);
    EXPECT_EQ(-1, container().push(68, kAlice, OS_TYPE_MOBILE, &notice));
    EXPECT_EQ(-1, container().push(68, kBob, OS_TYPE_PC, &notice));
    EXPECT_FALSE(container().existPcSession(68, kBob));
    EXPECT_NE(std::string::npos,
              commandLog().find("try push: NOT FOUND SESSION. room_id=68, alice@mail.x.com, 2"));
}

TEST_F(SessionContainerTest, ClearRoomClosesEveryListedSession) {
    ChatPeer& a = joinAs(kAlice, 69, OS_TYPE_PC);
    ChatPeer& b = joinAs(kBob, 69, OS_TYPE_MOBILE);
    container().clearRoom(69, "x.com");  // the room task names rooms by tenant
    EXPECT_EQ(0, container().getSessionCount(69, kAlice));
    EXPECT_TRUE(sessionGone(a));
    EXPECT_TRUE(sessionGone(b));
    EXPECT_NE(std::string::npos,
              commandLog().find("CLEAR_ROOM. Existing not closed ChatSession !!! 69:bob@mail.x.com:2"));
}

TEST_F(SessionContainerTest, ClearUserForgetsTheEntryButLeavesSessionsOpen) {
    ChatPeer& pc = joinAs(kAlice, 71, OS_TYPE_PC);
    container().clearUser(71, kAlice);
    EXPECT_EQ(0, container().getSessionCount(71, kAlice));
    EXPECT_EQ(0u, container().getSessionList(71, kBob, OS_TYPE_ALL).count(kAlice));
    pc.drain();
    EXPECT_FALSE(pc.eof);
    // Listed again later, it is still only listed once.
    container().addSession(71, kAlice, pc.session);
    EXPECT_EQ(1, container().getSessionCount(71, kAlice));
}

// Workers read the registry while the loop registers and drops sessions.
TEST_F(SessionContainerTest, WorkerReadsWhileTheLoopRegistersDoNotRace) {
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        while (!stop) {
            (void)container().getSessionCount(73, kAlice);
            (void)container().getSessionList(73, kAlice, OS_TYPE_ALL);
        }
    });
    for (int i = 0; i < 20; ++i) {
        ChatPeer& peer = joinAs(kAlice, 73, i % 2 ? OS_TYPE_PC : OS_TYPE_MOBILE);
        peer.session->closeSession();
        runUntil([&] { return container().getSessionCount(73, kAlice) == 0; }, 200);
    }
    stop = true;
    worker.join();
    EXPECT_TRUE(runUntil([&] { return container().getSessionCount(73, kAlice) == 0; }));
}
