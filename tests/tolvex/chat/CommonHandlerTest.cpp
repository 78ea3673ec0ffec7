// The save request a room event makes: its member lists in full, and a body
// too long for its capacity.

#include "tolvex/chat/CommonHandler.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/chat/ChatRoomFixture.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/chat/OutPacket.h"
#include "tolvex/room/RoomManager.h"

namespace {

const std::string C = "c@m.acme";
const std::string A = "a@m.acme";

}  // namespace

class CommonHandlerTest : public ChatRoomFixture {
protected:
    void SetUp() override {
        ChatRoomFixture::SetUp();
        m_room = freshRoomId();
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
        setMsgText(msg.fromIdTalkName, msg.fromIdTalkNameLen, nameOf(fromId));
        msg.msgNum = 9;
        msg.msgType = MSG_JOIN;
        return msg;
    }

    uint32_t m_room = 0;
};

TEST_F(CommonHandlerTest, SaveRequestListsTheActiveMembers) {
    roomOfTwo();
    const msg_info msg = eventOf(A);
    CommonHandler::saveData(&msg, nullptr);

    const std::vector<FakeWas::Request> saved = wasRequests(kSaveMsgPage);
    ASSERT_EQ(1u, saved.size());
    const FakeWas::Request& r = saved[0];
    EXPECT_EQ(std::to_string(m_room), r.field("room_id"));
    EXPECT_EQ(A, r.field("send_user_id"));
    EXPECT_EQ(nameOf(A), r.field("send_user_nick_name"));
    EXPECT_EQ("9", r.field("msg_seq"));
    EXPECT_EQ("2", r.field("msg_type"));
    EXPECT_EQ(A + "\t" + C, r.field("recv_user_list"));
    EXPECT_EQ("Ay\tCee", r.field("recv_user_nick_nm_list"));
    EXPECT_EQ("2,1", r.field("recv_user_join_seq_list"));
    EXPECT_EQ("y,y", r.field("read_yn_list"));
    EXPECT_EQ("2", r.field("member_count"));

    // Nobody active: empty lists; no room: no request.
    RoomManager::getInst().leaveUser(m_room, C);
    RoomManager::getInst().leaveUser(m_room, A);
    CommonHandler::saveData(&msg, nullptr);
    const msg_info elsewhere = [&] { msg_info m = msg; m.roomId = freshRoomId(); return m; }();
    CommonHandler::saveData(&elsewhere, nullptr);
    const std::vector<FakeWas::Request> again = wasRequests(kSaveMsgPage);
    ASSERT_EQ(2u, again.size());
    EXPECT_NE(std::string::npos,
              again[1].body.find("&recv_user_list=&recv_user_nick_nm_list=&recv_user_join_seq_list=&read_yn_list=&"));
    EXPECT_EQ("0", again[1].field("member_count"));
}

TEST_F(CommonHandlerTest, SaveBodyTooLongForItsCapacityIsACleanPrefix) {
    const msg_info msg = eventOf(C);
    CommonHandler::save_texts_t texts;
    texts.recvUserList.assign(70000, 'u');  // cannot fit
    texts.recvUserNickNmList = "fits";

    const OutPacket pk = CommonHandler::makeSaveMsgPacket(msg, texts, 1, ROOM_TYPE_COUPLE, attachFileInfo{});
    // Room, sender, name, text, number, type, time: nothing after the field
    // that did not fit, rather than later fields where the WAS reads the
    // member list.
    const size_t prefix = 4 + (2 + C.size()) + (2 + nameOf(C).size()) + 2 + 4 + 1 + 4;
    EXPECT_EQ(prefix, pk.body().size());
}

