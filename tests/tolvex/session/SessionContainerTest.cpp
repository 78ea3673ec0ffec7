#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "ChatPeerFixture.h"

namespace {

const char* const kAlice = "alice@mail.x.com";
const char* const kBob = "bob@mail.x.com";

}  // namespace

class SessionContainerTest : public ChatPeerFixture {
protected:
    // The SESSION_CLOSE notice a replaced session's peer receives.
    void expectSessionClose(ChatPeer& peer, uint32_t roomId, uint16_t reason) {
        wire_packet_t notice;
        ASSERT_TRUE(readPacket(peer, &notice));
        EXPECT_EQ(SESSION_CLOSE, notice.code);
        EXPECT_EQ(18, notice.hlen);
        ASSERT_EQ(6u, notice.body.size());
        EXPECT_EQ(roomId, getU32(notice.body, 0));
        EXPECT_EQ(reason, getU16(notice.body, 4));
    }
};

TEST_F(SessionContainerTest, PcAndMobileOfOneUserAreKeptSideBySide) {
    ChatPeer& pc = joinAs(kAlice, 60, OS_TYPE_PC);
    ChatPeer& mobile = joinAs(kAlice, 60, OS_TYPE_MOBILE);
    EXPECT_EQ(2, container().getSessionCount(60, kAlice));
    EXPECT_EQ(pc.session, container().getSession(60, kAlice, OS_TYPE_PC));
    EXPECT_EQ(mobile.session, container().getSession(60, kAlice, OS_TYPE_MOBILE));
    EXPECT_TRUE(container().existPcSession(60, kAlice));
    pc.drain();
    EXPECT_TRUE(pc.inbox.empty());
}

TEST_F(SessionContainerTest, SecondPcSessionReplacesTheFirstWithADuplicateNotice) {
    ChatPeer& old = joinAs(kAlice, 61, OS_TYPE_PC);
    ChatPeer& fresh = joinAs(kAlice, 61, OS_TYPE_PC);

    expectSessionClose(old, 61, SESSION_CLOSE_REASON_DUPLICATED_OLD_SESSION);
    EXPECT_TRUE(sessionGone(old));
    const SessionContainer::sessionlist_t listed = container().getSessionList(61, kAlice);
    ASSERT_EQ(1u, listed.size());
    EXPECT_EQ(fresh.session, listed.front());
    EXPECT_NE(std::string::npos, chatLog().find("]:S:<<:61:-1:SESSION_CLOSE:alice@mail.x.com:PC:SUCC:10(dup)\n"))
        << chatLog();
}

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

TEST_F(SessionContainerTest, PushReachesTheSessionOfThatKind) {
    joinAs(kAlice, 67, OS_TYPE_PC);
    ChatPeer& mobile = joinAs(kAlice, 67, OS_TYPE_MOBILE);
    P2PPacket notice;
    notice.m_h.make2(TYPING_ALARM, "", 0, "", 0, 0, 0, 0);
    EXPECT_EQ(0, container().push(67, kAlice, OS_TYPE_MOBILE, &notice));
    wire_packet_t got;
    ASSERT_TRUE(readPacket(mobile, &got));
    EXPECT_EQ(TYPING_ALARM, got.code);
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

TEST_F(SessionContainerTest, LeavingFromOneDeviceClosesTheOthers) {
    ChatPeer& pc = joinAs(kAlice, 70, OS_TYPE_PC);
    ChatPeer& mobile = joinAs(kAlice, 70, OS_TYPE_MOBILE);
    ChatPeer& bob = joinAs(kBob, 70, OS_TYPE_PC);
    container().forceLeaveOtherSession(70, kAlice, OS_TYPE_MOBILE);
    EXPECT_TRUE(sessionGone(pc));
    EXPECT_EQ((SessionContainer::sessionlist_t{mobile.session}), container().getSessionList(70, kAlice));

    container().forceLeaveOtherSession(70, kAlice, OS_TYPE_ALL);
    EXPECT_TRUE(sessionGone(mobile));
    EXPECT_TRUE(container().getSessionList(70, kAlice).empty());
    EXPECT_EQ(bob.session, container().getSession(70, kBob, OS_TYPE_ALL));
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

TEST_F(SessionContainerTest, TenantsKeepTheirRoomsApart) {
    joinAs(kAlice, 72, OS_TYPE_PC);
    ChatPeer& other = joinAs("alice@mail.y.com", 72, OS_TYPE_PC);
    EXPECT_EQ(1, container().getSessionCount(72, kAlice));
    EXPECT_EQ(1, container().getSessionCount(72, "alice@mail.y.com"));
    other.drain();
    EXPECT_TRUE(other.inbox.empty());  // same id in another tenant is no duplicate
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
