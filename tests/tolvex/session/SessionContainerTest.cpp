#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "support/chat/ChatRoomFixture.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/session/SessionContainer.h"

namespace {

const std::string kAlice = "alice@mail.x.com";

SessionContainer& container() {
    return SessionContainer::getInstance();
}

}  // namespace

using SessionContainerTest = ChatRoomFixture;

TEST_F(SessionContainerTest, ReplacedSessionDoesNotMarkTheMemberDisconnected) {
    roomOf(62, {kAlice});
    ChatPeer& old = listedAs(kAlice, 62, OS_TYPE_MOBILE);
    listedAs(kAlice, 62, OS_TYPE_MOBILE);
    ASSERT_TRUE(waitClosed(old));
    EXPECT_EQ(JOIN_JOIN, joinStateOf(62, kAlice));
    EXPECT_EQ(1, container().getSessionCount(62, kAlice));
}

TEST_F(SessionContainerTest, FinishedOldSessionIsClosedWithoutANoticeAndLoggedAsFail) {
    ChatPeer& old = listedAs(kAlice, 64, OS_TYPE_PC);
    old.session()->setIsDeadAlive(true);
    listedAs(kAlice, 64, OS_TYPE_PC);
    ASSERT_TRUE(waitClosed(old));
    EXPECT_TRUE(old.inbox().empty());
    EXPECT_NE(std::string::npos, chatLog().find("S:<<:64:-1:SESSION_CLOSE:alice@mail.x.com:PC:FAIL:10(dup)"));
}

// Workers read the registry while the loop registers and drops sessions.
// They ask only what any thread may ask, the counts: the lists hand out
// session pointers, which belong to the loop.
TEST_F(SessionContainerTest, WorkerReadsWhileTheLoopRegistersDoNotRace) {
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        while (!stop) {
            (void)container().getSessionCount(73, kAlice);
        }
    });
    for (int i = 0; i < 20; ++i) {
        ChatPeer& peer = listedAs(kAlice, 73, i % 2 ? OS_TYPE_PC : OS_TYPE_MOBILE);
        peer.session()->closeSession();
        runUntil([&] { return container().getSessionCount(73, kAlice) == 0; }, 200);
    }
    stop = true;
    worker.join();
    EXPECT_TRUE(runUntil([&] { return container().getSessionCount(73, kAlice) == 0; }));
}
