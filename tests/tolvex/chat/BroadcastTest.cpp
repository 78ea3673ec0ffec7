#include "tolvex/chat/Broadcast.h"

#include <gtest/gtest.h>

#include <list>
#include <map>
#include <string>
#include <vector>

#include "ChatRoomFixture.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/chat/OutPacket.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/session/SessionContainer.h"
#include "tolvex/util/ChatCodes.h"

namespace {

const std::string S = "s@m.acme";  // the sender
const std::string A = "a@m.acme";
const std::string B = "b@m.acme";

using OsTypes = std::list<uint16_t>;
using Ids = std::list<std::string>;

}  // namespace

// A room with the sender S as member; members and their sessions are added
// by each test, and one fan-out's lists are read afterwards.
class BroadcastTest : public ChatRoomFixture {
protected:
    void SetUp() override {
        ChatRoomFixture::SetUp();
        m_room = freshRoomId();
        RoomManager::getInst().addRoom(m_room, S);
        addMember(S);
        m_sender = &attach(S, OS_TYPE_PC);
    }

    void addMember(const std::string& userId) {
        RoomManager::getInst().addRoomUser(m_room, userId, userId + " name");
        SessionContainer::getInstance().addEmptySession(m_room, userId);
    }

    ChatPeer& attach(const std::string& userId, uint16_t osType) {
        ChatPeer& peer = connect();
        peer.session()->setProfile(userId, userId + " name", m_room, osType);
        SessionContainer::getInstance().addSession(m_room, userId, peer.session());
        return peer;
    }

    msg_info message(uint8_t msgType = MSG_TALK) const {
        msg_info msg;
        msg.roomId = m_room;
        setMsgText(msg.fromId, msg.fromIdLen, S);
        msg.msgType = msgType;
        msg.msgNum = 5;
        setCText(msg.msgDesc, "hello");
        return msg;
    }

    static OutPacket relay(uint16_t code = MSG_RELAY) { return OutPacket(code, {'h', 'i'}); }

    ChatSession* sender() const { return m_sender->session(); }

    size_t received(ChatPeer& peer, uint16_t code = MSG_RELAY) {
        size_t n = 0;
        for (const pbytes::Received& p : arrived(peer)) n += p.code == code ? 1 : 0;
        return n;
    }

    uint32_t m_room = 0;
    ChatPeer* m_sender = nullptr;
    Broadcast m_broadcast;
};

TEST_F(BroadcastTest, MemberWithOnlyAPcSessionIsReachedAndPushedForAConversation) {
    addMember(A);
    ChatPeer& pc = attach(A, OS_TYPE_PC);
    m_broadcast.broadcastMsg(sender(), relay().get(), message());

    EXPECT_EQ(1u, received(pc));
    EXPECT_EQ(1, m_broadcast.getSendSessionCount());
    EXPECT_EQ((OsTypes{OS_TYPE_PC, OS_TYPE_MOBILE}), m_broadcast.getSendUserList()[A]);
    EXPECT_EQ(Ids{A}, m_broadcast.getPushUserIds());
    EXPECT_EQ("n", m_broadcast.getReadYnList()[A]);
    EXPECT_TRUE(m_broadcast.getMobileSuccessList().empty());
    EXPECT_TRUE(m_broadcast.getSendFailList().empty());
}

TEST_F(BroadcastTest, MemberLastActiveOnAPcIsNotMarkedUnread) {
    addMember(A);
    attach(A, OS_TYPE_PC);
    RoomManager::getInst().getRoomUser(m_room, A)->setLastSendActionOsType(OS_TYPE_PC);
    RoomManager::getInst().getRoomUser(m_room, A)->setLastJoinOsType(OS_TYPE_PC);
    m_broadcast.broadcastMsg(sender(), relay().get(), message());

    EXPECT_EQ(0u, m_broadcast.getReadYnList().count(A));
    EXPECT_EQ(Ids{A}, m_broadcast.getPushUserIds());
}

TEST_F(BroadcastTest, MemberWithOnlyAMobileSessionIsNeitherPushedNorUnread) {
    addMember(A);
    ChatPeer& mobile = attach(A, OS_TYPE_MOBILE);
    m_broadcast.broadcastMsg(sender(), relay().get(), message());

    EXPECT_EQ(1u, received(mobile));
    EXPECT_EQ(OsTypes{OS_TYPE_MOBILE}, m_broadcast.getSendUserList()[A]);
    EXPECT_EQ(Ids{A}, m_broadcast.getMobileSuccessList());
    EXPECT_TRUE(m_broadcast.getPushUserIds().empty());
    EXPECT_TRUE(m_broadcast.getReadYnList().empty());
}

TEST_F(BroadcastTest, MemberWithBothDevicesGetsItOnEach) {
    addMember(A);
    ChatPeer& pc = attach(A, OS_TYPE_PC);
    ChatPeer& mobile = attach(A, OS_TYPE_MOBILE);
    m_broadcast.broadcastMsg(sender(), relay().get(), message());

    EXPECT_EQ(1u, received(pc));
    EXPECT_EQ(1u, received(mobile));
    EXPECT_EQ(2, m_broadcast.getSendSessionCount());
    EXPECT_EQ((OsTypes{OS_TYPE_PC, OS_TYPE_MOBILE}), m_broadcast.getSendUserList()[A]);
    EXPECT_EQ(Ids{A}, m_broadcast.getMobileSuccessList());
    EXPECT_TRUE(m_broadcast.getPushUserIds().empty());
}

TEST_F(BroadcastTest, NoticeTypesLeaveNoSendUserEntries) {
    addMember(A);
    attach(A, OS_TYPE_MOBILE);
    addMember(B);
    m_broadcast.broadcastMsg(sender(), relay().get(), message(MSG_JOIN));

    EXPECT_EQ(1, m_broadcast.getSendSessionCount());
    EXPECT_TRUE(m_broadcast.getSendUserList().empty());
    EXPECT_TRUE(m_broadcast.getMobileSuccessList().empty());
    EXPECT_EQ(Ids{B}, m_broadcast.getPushUserIds());
}

TEST_F(BroadcastTest, MemberWhoseSessionsBothFailIsOneFailureWithTheLastDevice) {
    addMember(A);
    ChatPeer& pc = attach(A, OS_TYPE_PC);
    ChatPeer& mobile = attach(A, OS_TYPE_MOBILE);
    // A push fails at once only for a session past its output limit; a
    // reset peer shows when the pass's output is written.
    pc.session()->setSendBufLimit(0);
    mobile.session()->setSendBufLimit(0);
    m_broadcast.broadcastMsg(sender(), relay().get(), message());

    const std::list<send_result> fails = m_broadcast.getSendFailList();
    ASSERT_EQ(1u, fails.size());
    EXPECT_EQ(A, msgText(fails.front().userId, fails.front().userIdLen));
    EXPECT_EQ(A + " name", msgText(fails.front().userNameInfo, fails.front().userNameInfoLen));
    EXPECT_EQ(OS_TYPE_MOBILE, fails.front().osType);
    EXPECT_EQ(SEND_RESULT_NO_SESSION, fails.front().sendResultCode);
    EXPECT_EQ(static_cast<uint32_t>(RoomManager::getInst().getUserJoinSeq(m_room, A)), fails.front().joinSeq);
    EXPECT_EQ(2, countOf(chatLog(), ":MSG_RELAY:" + A + ":"));
    EXPECT_EQ(2, countOf(chatLog(), ":FAIL:hello"));
}

TEST_F(BroadcastTest, FailedSessionOfAnUnknownUserIsLoggedNotListed) {
    const std::string ghost = "ghost@m.acme";
    ChatPeer& peer = attach(ghost, OS_TYPE_PC);
    peer.session()->setSendBufLimit(0);
    m_broadcast.broadcastMsg(sender(), relay().get(), message());

    EXPECT_TRUE(m_broadcast.getSendFailList().empty());
    EXPECT_NE(std::string::npos, commandLog().find("addFailUserList().  Not Existing User " + std::to_string(m_room) +
                                                   ":" + ghost));
}

TEST_F(BroadcastTest, InvitedNoticeSkipsTheInviteeAndReachesTheSender) {
    addMember(A);
    ChatPeer& invitee = attach(A, OS_TYPE_PC);
    msg_info msg = message(MSG_JOIN);
    setMsgText(msg.fromId, msg.fromIdLen, A);
    m_broadcast.broadcastInvited(sender(), relay(USER_JOIN_ALARM).get(), msg);

    EXPECT_EQ(1u, received(*m_sender, USER_JOIN_ALARM));
    EXPECT_EQ(0u, received(invitee, USER_JOIN_ALARM));
}

TEST_F(BroadcastTest, ResendGoesOnlyToListedActiveMembersOnce) {
    addMember(A);
    ChatPeer& pc = attach(A, OS_TYPE_PC);
    addMember(B);
    const std::string left = "left@m.acme";
    addMember(left);
    ChatPeer& leftPeer = attach(left, OS_TYPE_PC);
    RoomManager::getInst().leaveUser(m_room, left);
    m_broadcast.broadcastResendMsg(sender(), relay().get(), message(), {A, left, "nobody@m.acme", A, B});

    EXPECT_EQ(1u, received(pc));
    EXPECT_EQ(0u, received(leftPeer));
    EXPECT_EQ((Ids{A, B}), m_broadcast.getPushUserIds());
    EXPECT_TRUE(m_broadcast.getSendFailList().empty());
}
