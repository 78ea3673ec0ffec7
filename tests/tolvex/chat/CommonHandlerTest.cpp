#include "tolvex/chat/CommonHandler.h"

#include <gtest/gtest.h>

#include <list>
#include <map>
#include <string>

#include "ChatRoomFixture.h"
#include "tolvex/util/Globals.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/util/ChatCodes.h"

namespace {

const std::string C = "c@m.acme";
const std::string A = "a@m.acme";

using Member = CommonHandler::save_member_t;
using ReadList = std::map<std::string, std::string>;

}  // namespace

class CommonHandlerTest : public ChatRoomFixture {
protected:
    void SetUp() override {
        ChatRoomFixture::SetUp();
        m_room = freshRoomId();
        m_savedPort = g_service_port;
        g_service_port = 7100;
    }
    void TearDown() override {
        g_service_port = m_savedPort;
        ChatRoomFixture::TearDown();
    }

    // A room of C (joined) and A (invited), as a room init leaves it.
    void roomOfTwo() {
        RoomManager& rooms = RoomManager::getInst();
        rooms.addRoom(m_room, C);
        rooms.addRoomUser(m_room, C, "Cee");
        rooms.joinUser(m_room, C);
        rooms.addRoomUser(m_room, A, "Ay");
    }

    msg_info eventOf(const std::string& fromId) const {
        msg_info msg;
        msg.roomId = m_room;
        setMsgText(msg.fromId, msg.fromIdLen, fromId);
        setMsgText(msg.fromIdTalkName, msg.fromIdTalkNameLen, fromId + " name");
        msg.msgNum = 9;
        msg.msgType = MSG_JOIN;
        return msg;
    }

    static send_result outcome(const std::string& userId, uint16_t osType, uint32_t code) {
        send_result r;
        setMsgText(r.userId, r.userIdLen, userId);
        r.osType = osType;
        r.sendResultCode = code;
        return r;
    }

    int inviteRequests() {
        EXPECT_TRUE(jobsSettled());
        return static_cast<int>(m_was.requestsTo(kInviteRequestPage).size());
    }
    FakeWas::Request saveRequest() {
        const std::vector<FakeWas::Request> got = wasRequests(kSaveMsgPage);
        EXPECT_EQ(1u, got.size());
        return got.empty() ? FakeWas::Request() : got.front();
    }

    uint32_t m_room = 0;
    int m_savedPort = 0;
};

TEST(SaveTextsTest, OneMemberHasNoSeparators) {
    const CommonHandler::save_texts_t t = CommonHandler::makeSaveTexts({Member{"a", "Ay", 12}}, nullptr);
    EXPECT_EQ("a", t.recvUserList);
    EXPECT_EQ("Ay", t.recvUserNickNmList);
    EXPECT_EQ("12", t.recvUserJoinSeqList);
    EXPECT_EQ("y", t.readYnList);
}

TEST(SaveTextsTest, OnlyListedMembersNotMarkedYesAreUnread) {
    const ReadList readList{{"b", "n"}, {"c", "y"}};
    const CommonHandler::save_texts_t t = CommonHandler::makeSaveTexts(
        {Member{"a", "", 1}, Member{"b", "", 2}, Member{"c", "", 3}}, &readList);
    EXPECT_EQ("y,n,y", t.readYnList);
}

TEST_F(CommonHandlerTest, SaveRequestListsTheActiveMembers) {
    roomOfTwo();
    const msg_info msg = eventOf(A);
    CommonHandler::saveData(&msg, nullptr);

    const FakeWas::Request r = saveRequest();
    EXPECT_EQ(std::to_string(m_room), r.field("room_id"));
    EXPECT_EQ("a@m.acme", r.field("send_user_id"));
    EXPECT_EQ("a@m.acme name", r.field("send_user_nick_name"));
    EXPECT_EQ("9", r.field("msg_seq"));
    EXPECT_EQ("2", r.field("msg_type"));
    EXPECT_EQ("a@m.acme\tc@m.acme", r.field("recv_user_list"));
    EXPECT_EQ("Ay\tCee", r.field("recv_user_nick_nm_list"));
    EXPECT_EQ("2,1", r.field("recv_user_join_seq_list"));
    EXPECT_EQ("y,y", r.field("read_yn_list"));
    EXPECT_EQ("2", r.field("member_count"));
}

TEST_F(CommonHandlerTest, SaveRequestOfARoomWithoutActiveMembersSendsEmptyTexts) {
    roomOfTwo();
    RoomManager::getInst().leaveUser(m_room, C);
    RoomManager::getInst().leaveUser(m_room, A);
    const msg_info msg = eventOf(A);
    CommonHandler::saveData(&msg, nullptr);

    const FakeWas::Request r = saveRequest();
    EXPECT_NE(std::string::npos,
              r.body.find("&recv_user_list=&recv_user_nick_nm_list=&recv_user_join_seq_list=&read_yn_list=&"));
    EXPECT_EQ("0", r.field("member_count"));
}

TEST_F(CommonHandlerTest, SaveRequestWithoutRoomIsNotSent) {
    const msg_info msg = eventOf(A);
    CommonHandler::saveData(&msg, nullptr);
    EXPECT_TRUE(jobsSettled());
    EXPECT_EQ(0u, m_was.requestsTo(kSaveMsgPage).size());
}

TEST_F(CommonHandlerTest, SaveBodyTooLongForItsCapacityIsACleanPrefix) {
    msg_info msg = eventOf(C);
    CommonHandler::save_texts_t texts;
    texts.recvUserList.assign(70000, 'u');  // cannot fit
    texts.recvUserNickNmList = "fits";

    const OutPacket pk = CommonHandler::makeSaveMsgPacket(msg, texts, 1, ROOM_TYPE_COUPLE, attachFileInfo{});
    BodyReader r(std::string(pk.body().begin(), pk.body().end()));
    r.u32();
    r.str16();
    r.str16();
    r.str16();
    r.u32();
    r.u8();
    r.u32();
    // Nothing after the field that did not fit, rather than later fields
    // where the WAS reads the member list.
    EXPECT_EQ(0u, r.remaining());
}

TEST_F(CommonHandlerTest, DeliveredOnlyOnAMobileWithoutPcSessionAsksForAnInvite) {
    roomOfTwo();
    const msg_info msg = eventOf(C);
    CommonHandler::msgRelayResultAdd(outcome(A, OS_TYPE_MOBILE, SEND_RESULT_SUCCESS), keptMsgOf(msg));

    ASSERT_EQ(1, inviteRequests());
    const FakeWas::Request r = m_was.requestsTo(kInviteRequestPage).front();
    EXPECT_EQ("c@m.acme", r.field("from_id"));
    EXPECT_EQ("a@m.acme", r.field("to_id"));
    EXPECT_EQ("a@m.acme", r.field("target_ids"));
    EXPECT_EQ("c@m.acme|Cee|" + std::to_string(m_room) + "||7100|1", r.field("contents"));
}

TEST_F(CommonHandlerTest, DeliveredOnAMobileWithAPcSessionAsksForNoInvite) {
    openRoom(m_room, C, {{A, "Ay"}});
    ChatPeer& pc = connect();
    ASSERT_EQ(USER_JOIN | kResponseBit, joinAs(pc, USER_JOIN, m_room, A, OS_TYPE_PC).code);
    const msg_info msg = eventOf(C);
    CommonHandler::msgRelayResultAdd(outcome(A, OS_TYPE_MOBILE, SEND_RESULT_SUCCESS), keptMsgOf(msg));

    EXPECT_EQ(0, inviteRequests());
}

TEST_F(CommonHandlerTest, EveryFailureAsksForAnInvite) {
    roomOfTwo();
    const msg_info msg = eventOf(C);
    for (uint32_t code : {SEND_RESULT_ACK_TIMEOUT, SEND_RESULT_NO_SESSION, SEND_RESULT_PUSH_FAIL})
        CommonHandler::msgRelayResultAdd(outcome(A, OS_TYPE_PC, code), keptMsgOf(msg));
    EXPECT_EQ(3, inviteRequests());
}

TEST_F(CommonHandlerTest, InviteForAnUnknownSenderGoesOutWithoutContents) {
    CommonHandler::retryInvite(m_room, C, A);
    ASSERT_EQ(1, inviteRequests());
    const FakeWas::Request r = m_was.requestsTo(kInviteRequestPage).front();
    EXPECT_EQ("a@m.acme", r.field("target_ids"));
    EXPECT_TRUE(r.hasField("contents"));
    EXPECT_EQ("", r.field("contents"));
}
