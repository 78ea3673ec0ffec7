#include "tolvex/chat/WasXmlReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class WasXmlReaderTest : public ::testing::Test {
protected:
    void TearDown() override { simulateXmlParserFailure(false); }

    int readRooms(const std::string& xml) { return parseNotEndRoom(xml.data(), static_cast<int>(xml.size()), &m_rooms); }
    int readPush(const std::string& xml) { return parsePushResult(xml.data(), static_cast<int>(xml.size()), &m_push); }
    int readFails(const std::string& xml) {
        return parseSendFailUserList(xml.data(), static_cast<int>(xml.size()), &m_fails);
    }

    std::vector<RoomNotEnd> m_rooms;
    std::vector<npush_result> m_push;
    std::vector<sendfail_user> m_fails;
};

TEST_F(WasXmlReaderTest, RoomRowsAreReadByPosition) {
    ASSERT_EQ(0, readRooms("<rooms><room r='12' u='a@x' n='Ann' j='3' m='40' e='' t='1700' c='2' mj='5'/>"
                           "<rm r='13' u='b@x' n='Bo' j='1' m='2' e='20240101' t='9' c='3' mj='1'/></rooms>"));
    ASSERT_EQ(2u, m_rooms.size());
    EXPECT_EQ(12u, m_rooms[0].roomId);
    EXPECT_EQ("a@x", m_rooms[0].userId);
    EXPECT_EQ("Ann", m_rooms[0].userNameInfo);
    EXPECT_EQ(3u, m_rooms[0].joinSeq);
    EXPECT_EQ(40u, m_rooms[0].maxMsgSeq);
    EXPECT_EQ("", m_rooms[0].endYmdt);
    EXPECT_EQ(1700u, m_rooms[0].last_recv_time);
    EXPECT_EQ(1, m_rooms[0].roomType);  // two members
    EXPECT_EQ(5u, m_rooms[0].maxJoinSeq);
    EXPECT_EQ("20240101", m_rooms[1].endYmdt);
    EXPECT_EQ(10, m_rooms[1].roomType);  // three members
}

TEST_F(WasXmlReaderTest, MissingAttributesReadAsZeroOrEmpty) {
    ASSERT_EQ(0, readRooms("<rooms><room r='7' u='a@x'/></rooms>"));
    ASSERT_EQ(1u, m_rooms.size());
    EXPECT_EQ(7u, m_rooms[0].roomId);
    EXPECT_EQ("", m_rooms[0].userNameInfo);
    EXPECT_EQ(0u, m_rooms[0].maxJoinSeq);
    EXPECT_EQ(1, m_rooms[0].roomType);
}

TEST_F(WasXmlReaderTest, OverlongValuesAreCutToTheirField) {
    const std::string longId(1000, 'u');
    ASSERT_EQ(0, readRooms("<rooms><room r='1' u='" + longId + "' n='n' j='1' m='1' e='" + std::string(200, '9') +
                           "'/></rooms>"));
    ASSERT_EQ(1u, m_rooms.size());
    EXPECT_EQ(RoomNotEnd::kIdLen, m_rooms[0].userId.size());
    EXPECT_EQ(RoomNotEnd::kEndYmdtLen, m_rooms[0].endYmdt.size());
}

TEST_F(WasXmlReaderTest, HugeNumbersDoNotOverflow) {
    ASSERT_EQ(0, readRooms("<rooms><room r='99999999999999999999999' u='a'/></rooms>"));
    ASSERT_EQ(1u, m_rooms.size());  // saturated, not undefined
}

TEST_F(WasXmlReaderTest, BrokenRoomListIsAnError) {
    EXPECT_EQ(-1, readRooms("<rooms><room r='1' u='a'/>"));  // unclosed, parsed as final
    EXPECT_EQ(-1, readRooms(""));
}

TEST_F(WasXmlReaderTest, PushResultsAreReadByPosition) {
    ASSERT_EQ(0, readPush("<results><result r='5' m='9' to='b@x' c='500' t='no token'/>"
                          "<result r='5' m='9' to='c@x' c='0'/>"));  // unclosed is accepted
    ASSERT_EQ(2u, m_push.size());
    EXPECT_EQ(5u, m_push[0].roomId);
    EXPECT_EQ(9u, m_push[0].msgNum);
    EXPECT_EQ("b@x", m_push[0].toId);
    EXPECT_EQ(500, m_push[0].resultCode);
    EXPECT_EQ("no token", m_push[0].resultMsg);
    EXPECT_EQ("", m_push[1].resultMsg);
}

TEST_F(WasXmlReaderTest, SendFailRowsAreReadByPosition) {
    ASSERT_EQ(0, readFails("<list><send_fail_info r='3' m='8' t='77' u='d@x'/><other/></list>"));
    ASSERT_EQ(1u, m_fails.size());
    EXPECT_EQ(3u, m_fails[0].roomId);
    EXPECT_EQ(8u, m_fails[0].msgNum);
    EXPECT_EQ(77u, m_fails[0].trid);
    EXPECT_EQ("d@x", m_fails[0].failUserId);
}

TEST_F(WasXmlReaderTest, ParserThatCannotBeMadeFailsTheReadOnly) {
    simulateXmlParserFailure(true);
    EXPECT_EQ(-1, readRooms("<rooms/>"));
    EXPECT_EQ(-1, readPush("<results/>"));
    EXPECT_EQ(-1, readFails("<list/>"));
    EXPECT_TRUE(m_push.empty());
}

}  // namespace
