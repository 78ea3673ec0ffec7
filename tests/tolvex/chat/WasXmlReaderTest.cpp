// Reading the WAS's XML replies: attributes by position, not by name, with
// every value bounded.

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
                           "<rm r='13' u='b@x' n='Bo' j='1' m='2' e='20240101' t='9' c='3' mj='1'/>"
                           "<room r='7' u='c@x'/><room r='99999999999999999999999' u='" + std::string(1000, 'u') +
                           "' n='n' j='1' m='1' e='" + std::string(200, '9') + "'/></rooms>"));
    ASSERT_EQ(4u, m_rooms.size());
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
    // Missing attributes read as zero or empty.
    EXPECT_EQ("", m_rooms[2].userNameInfo);
    EXPECT_EQ(0u, m_rooms[2].maxJoinSeq);
    EXPECT_EQ(1, m_rooms[2].roomType);
    // Overlong values are cut to their field; a huge number saturates.
    EXPECT_EQ(RoomNotEnd::kIdLen, m_rooms[3].userId.size());
    EXPECT_EQ(RoomNotEnd::kEndYmdtLen, m_rooms[3].endYmdt.size());
}

TEST_F(WasXmlReaderTest, BrokenListOrAParserThatCannotBeMadeFailsTheRead) {
    EXPECT_EQ(-1, readRooms("<rooms><room r='1' u='a'/>"));  // unclosed, parsed as final
    EXPECT_EQ(-1, readRooms(""));
    simulateXmlParserFailure(true);
    EXPECT_EQ(-1, readRooms("<rooms/>"));
    EXPECT_EQ(-1, readPush("<results/>"));
    EXPECT_EQ(-1, readFails("<list/>"));
}

}  // namespace
