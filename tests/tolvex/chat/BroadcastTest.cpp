// One fan-out through Broadcast: who receives it on which device, and who
// is left for a push.

#include "tolvex/chat/Broadcast.h"

#include <gtest/gtest.h>

#include <list>
#include <string>

#include "support/chat/ChatRoomFixture.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/chat/OutPacket.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/session/SessionContainer.h"

namespace {

const std::string S = "s@m.acme";  // the sender
const std::string A = "a@m.acme";

using OsTypes = std::list<uint16_t>;
using Ids = std::list<std::string>;

}  // namespace

// A room with the sender S on a PC; members and their sessions are added by
// each test, and one fan-out's lists are read afterwards.
class BroadcastTest : public ChatRoomFixture {
protected:
    void SetUp() override {
        ChatRoomFixture::SetUp();
        m_room = freshRoomId();
        RoomManager::getInst().addRoom(m_room, S);
        addMember(S);
        m_sender = &listedAs(S, m_room, OS_TYPE_PC);
    }

    void addMember(const std::string& userId) {
        RoomManager::getInst().addRoomUser(m_room, userId, nameOf(userId));
        SessionContainer::getInstance().addEmptySession(m_room, userId);
    }

    void broadcast() {
        msg_info msg;
        msg.roomId = m_room;
        setMsgText(msg.fromId, msg.fromIdLen, S);
        msg.msgType = MSG_TALK;
        msg.msgNum = 5;
        setCText(msg.msgDesc, "hello");
        m_broadcast.broadcastMsg(m_sender->session(), OutPacket(MSG_RELAY, {'h', 'i'}).get(), msg);
    }

    size_t relays(ChatPeer& peer) {
        size_t n = 0;
        for (const client::Packet& p : arrived(peer)) n += p.code == MSG_RELAY ? 1 : 0;
        return n;
    }

    uint32_t m_room = 0;
    ChatPeer* m_sender = nullptr;
    Broadcast m_broadcast;
};

TEST_F(BroadcastTest, MemberWithBothDevicesGetsItOnEach) {
    addMember(A);
    ChatPeer& pc = listedAs(A, m_room, OS_TYPE_PC);
    ChatPeer& mobile = listedAs(A, m_room, OS_TYPE_MOBILE);
    broadcast();

    EXPECT_EQ(1u, relays(pc));
    EXPECT_EQ(1u, relays(mobile));
    EXPECT_EQ(2, m_broadcast.getSendSessionCount());
    EXPECT_EQ((OsTypes{OS_TYPE_PC, OS_TYPE_MOBILE}), m_broadcast.getSendUserList()[A]);
    EXPECT_EQ(Ids{A}, m_broadcast.getMobileSuccessList());
    EXPECT_TRUE(m_broadcast.getPushUserIds().empty());
    EXPECT_TRUE(m_broadcast.getReadYnList().empty());
}

