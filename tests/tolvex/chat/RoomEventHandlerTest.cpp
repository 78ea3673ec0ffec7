// Room init, invitation and join through real sessions: the replies and
// notices, the registries afterwards and the saves asked for.

#include "tolvex/chat/RoomEventHandler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/Replies.h"
#include "support/chat/ChatRoomFixture.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/SessionContainer.h"

namespace {

const std::string C = "c@m.acme";
const std::string A = "a@m.acme";
const std::string B = "b@m.acme";

}  // namespace

class RoomEventHandlerTest : public ChatRoomFixture {
protected:
    void SetUp() override {
        ChatRoomFixture::SetUp();
        m_room = freshRoomId();
    }

    client::JoinReply joinReply(const client::Packet& p) {
        const auto j = client::decodeJoinReply(p);
        EXPECT_TRUE(j) << "not a whole join reply: " << client::describe(p);
        return j.value_or(client::JoinReply{});
    }
    client::UserJoinAlarm joinAlarm(ChatPeer& peer) {
        EXPECT_TRUE(waitPackets(peer, 1));
        const auto a = peer.inbox().empty() ? std::nullopt : client::decodeUserJoinAlarm(peer.take());
        EXPECT_TRUE(a) << "no whole USER_JOIN_ALARM";
        return a.value_or(client::UserJoinAlarm{});
    }
    // Save requests the WAS received for the room once every job is over.
    size_t savedNotices() {
        size_t n = 0;
        for (const FakeWas::Request& r : wasRequests(kSaveMsgPage)) n += r.field("room_id") == std::to_string(m_room);
        return n;
    }

    uint32_t m_room = 0;
};

// ---- room init and invite ----

TEST_F(RoomEventHandlerTest, RoomInitWithTwoInviteesSavesTheWholeMemberList) {
    ChatPeer& creator = connect();
    creator.send(ROOM_CREATE, client::encode(client::RoomInitRequest{m_room, C, "Cee", OS_TYPE_PC, {{A, "Ay"}, {B, "Bee"}}, false, {}}));
    ASSERT_TRUE(waitPackets(creator, 4));

    EXPECT_EQ(2u, savedNotices());
    // The save of the last invitation lists every member, tab-separated.
    const FakeWas::Request saved = wasRequestWith(kSaveMsgPage, "recv_user_list", A + "\t" + B + "\t" + C);
    EXPECT_EQ("Ay\tBee\tCee", saved.field("recv_user_nick_nm_list"));
}

TEST_F(RoomEventHandlerTest, InviteEntryCutShortIsSkipped) {
    ChatPeer& creator = openRoom(m_room, C, {});
    // Two invitees announced, the second without its name.
    const std::string body = client::encode(client::InviteRequest{m_room, {{A, "Ay"}, {B, "Bee"}}, {}});
    creator.send(USER_ADD, body.substr(0, body.size() - 2 - 3));

    EXPECT_EQ(A, joinAlarm(creator).userId);
    ASSERT_TRUE(waitPackets(creator, 1));
    const auto reply = client::decodeInviteReply(creator.take());
    ASSERT_TRUE(reply);
    EXPECT_EQ(2u, reply->memberCount);
    EXPECT_EQ(1u, reply->requestedCount);
    EXPECT_FALSE(RoomManager::getInst().isActiveMember(m_room, B));
}

// ---- join ----

TEST_F(RoomEventHandlerTest, MemberListTooLongForOneReplyCountsOnlyTheEntriesSent) {
    openRoom(m_room, C, {});
    // 200 members of about 500 bytes each cannot all fit in a 64 KiB body.
    for (int i = 0; i < 200; ++i)
        RoomManager::getInst().addRoomUser(m_room, std::to_string(1000 + i) + std::string(240, 'm') + "@m.acme",
                                           std::string(250, 'n'));

    const client::JoinReply j = joinReply(joinAs(connect(), USER_JOIN, m_room, C, OS_TYPE_MOBILE));
    EXPECT_EQ(0, j.result);
    EXPECT_GT(j.members.size(), 100u);
    EXPECT_LT(j.members.size(), 201u);
    EXPECT_EQ(ROOM_TYPE_GROUP, j.roomKind);
}

TEST_F(RoomEventHandlerTest, JoinCutShortAfterTheIdIsStillServed) {
    openRoom(m_room, C, {{A, "Ay"}});
    ChatPeer& member = connect();
    member.send(USER_JOIN, client::encode(client::JoinRequest{m_room, A, "", OS_TYPE_PC}).substr(0, 4 + 2 + A.size()));

    ASSERT_TRUE(waitPackets(member, 1));
    EXPECT_EQ(0, joinReply(member.take()).result);
    EXPECT_TRUE(RoomManager::getInst().alreadyJoinedUser(m_room, A));
}

// ---- rejoin ----

