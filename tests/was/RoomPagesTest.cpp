// The room pages: leave, end room, the not-ended room list the daemon pages
// through at start-up, and the reload of one room.
#include <gtest/gtest.h>

#include "WasHarness.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";
const std::string kCarol = "carol@corp.example.com";

class RoomPagesTest : public WasLoopbackTest {
protected:
    void SetUp() override {
        WasLoopbackTest::SetUp();
        was_server_settings_t settings;
        settings.roomsPerPage = 2;
        startWas(settings);
    }

    void saveIn(uint32_t roomId, uint32_t msgSeq = 1, const std::string& sender = kAlice) {
        save_args_t args;
        args.roomId = roomId;
        args.msgSeq = msgSeq;
        args.senderId = sender;
        args.members[0].id = sender;
        ASSERT_EQ(0, post("/was/saveMessage", saveForm(args)).code) << roomId;
    }
    was_reply_t leave(const std::string& user, int32_t joinSeq, uint32_t time = 1700000500) {
        return post("/was/leave", Form()
                                      .num("room_id", 17)
                                      .text("user_id", user)
                                      .num("os_type", 1)
                                      .num("time", time)
                                      .num("join_seq", joinSeq)
                                      .raw("leave_current_join_seq", joinSeq == -100 ? "no" : "yes")
                                      .text("svr_ip", "10.0.0.1")
                                      .num("svr_port", 7000));
    }
    was_reply_t endRoom(uint32_t roomId, const std::string& tenant = "example.com") {
        return post("/was/endRoom", Form()
                                        .num("room_id", roomId)
                                        .text("tenant_id", tenant)
                                        .num("time", 1700001000)
                                        .text("svr_ip", "10.0.0.1")
                                        .num("svr_port", 7000));
    }
    // One page of the not-ended list, as the daemon's room loading asks for it.
    Rows notEndedPage(uint32_t startRoomId, const std::string& mode = "p") {
        was_reply_t reply = post("/was/notEndRoomList", Form()
                                                            .text("svr_ip", "10.0.0.1")
                                                            .num("svr_port", 7000)
                                                            .num("start_roomid", startRoomId)
                                                            .text("load_mode", mode));
        EXPECT_EQ(0, reply.code);
        xml_rows_t rows = xmlRows(reply.payload, "room");
        EXPECT_TRUE(rows.parsed) << reply.payload;
        return rows.rows;
    }
    was_reply_t reload(uint32_t roomId, const std::string& tenant) {
        return post("/was/loadRoom", Form().num("room_id", roomId).text("tenant_id", tenant));
    }
    // The room ids of a list of rows.
    static std::vector<std::string> roomIds(const Rows& rows) {
        std::vector<std::string> ids;
        for (const auto& row : rows) ids.push_back(row.at(0));
        return ids;
    }
};

TEST_F(RoomPagesTest, RowsCarryTheirAttributesInTheOrderTheDaemonReads) {
    saveIn(17, 5);
    ASSERT_EQ(0, leave(kCarol, 3).code);

    Rows rows = notEndedPage(0, "all");
    // room, user, name, join seq, max msg seq, end time, last activity, member count, max join seq
    EXPECT_EQ((Rows{{"17", kAlice, "Alice", "1", "5", "", "1700000500", "3", "3"},
                    {"17", kBob, "Bob", "2", "5", "", "1700000500", "3", "3"},
                    {"17", kCarol, "Carol", "3", "5", "20231114222140", "1700000500", "3", "3"}}),
              rows);
}

TEST_F(RoomPagesTest, PagingThroughTheRoomsEndsWithAnEmptyPage) {
    for (uint32_t room : {31u, 5u, 12u, 9u, 20u}) saveIn(room);
    std::vector<std::vector<std::string>> pages;
    uint32_t start = 0;
    for (int guard = 0; guard < 10; ++guard) {
        Rows page = notEndedPage(start);
        pages.push_back(roomIds(page));
        if (page.empty()) break;
        start = static_cast<uint32_t>(std::stoul(page.back().at(0)));
    }
    // Two rooms of three members per page, then the last room, then nothing.
    EXPECT_EQ((std::vector<std::vector<std::string>>{
                  {"5", "5", "5", "9", "9", "9"},
                  {"12", "12", "12", "20", "20", "20"},
                  {"31", "31", "31"},
                  {}}),
              pages);
}

TEST_F(RoomPagesTest, AllModeAnswersEveryRoomAtOnce) {
    for (uint32_t room : {5u, 9u, 12u}) saveIn(room);
    EXPECT_EQ((std::vector<std::string>{"5", "5", "5", "9", "9", "9", "12", "12", "12"}),
              roomIds(notEndedPage(0, "all")));
}

TEST_F(RoomPagesTest, OneRoomIdUnderTwoTenantsStaysOnOnePage) {
    saveIn(5);
    saveIn(5, 1, "dave@corp.other.org");
    saveIn(6);
    saveIn(7);
    Rows first = notEndedPage(0);
    // Room 5 counts once though it is two rooms; the next page starts after 6.
    EXPECT_EQ((std::vector<std::string>{"5", "5", "5", "5", "5", "5", "6", "6", "6"}),
              roomIds(first));
    EXPECT_EQ((std::vector<std::string>{"7", "7", "7"}), roomIds(notEndedPage(6)));
}

TEST_F(RoomPagesTest, MemberCountAndHighestJoinSequenceAreEachTenantsOwn) {
    saveIn(5);
    save_args_t other;
    other.roomId = 5;
    other.senderId = "dave@corp.other.org";
    other.members = {{"dave@corp.other.org", "Dave", 1, "y"},
                     {"erin@corp.other.org", "Erin", 7, "n"}};
    ASSERT_EQ(0, post("/was/saveMessage", saveForm(other)).code);

    Rows counts;
    for (const auto& row : notEndedPage(0, "all"))
        counts.push_back({row.at(1), row.at(7), row.at(8)});  // user, member count, max join seq
    EXPECT_EQ((Rows{{kAlice, "3", "3"},
                    {kBob, "3", "3"},
                    {kCarol, "3", "3"},
                    {"dave@corp.other.org", "2", "7"},
                    {"erin@corp.other.org", "2", "7"}}),
              counts);
}

// Several megabytes: the reply is built and sent in more than one block.
TEST_F(RoomPagesTest, AListOfManyMegabytesArrivesWholeWithItsLength) {
    saved_message_t message;
    message.tenantId = "example.com";
    message.senderId = "m0@corp.example.com";
    for (int k = 0; k < 1000; ++k)
        message.recipients.push_back(
            {"m" + std::to_string(k) + "@corp.example.com", "Member", 1, "n"});
    for (message.roomId = 1; message.roomId <= 40; ++message.roomId) store().saveMessage(message);

    was_reply_t reply = post("/was/notEndRoomList", Form()
                                                        .text("svr_ip", "10.0.0.1")
                                                        .num("svr_port", 7000)
                                                        .num("start_roomid", 0)
                                                        .text("load_mode", "all"));
    ASSERT_GT(reply.body.size(), 5u << 20);
    EXPECT_NE(std::string::npos,
              reply.headers.find("Content-Length: " + std::to_string(reply.body.size()) + "\r\n"));
    xml_rows_t rows = xmlRows(reply.payload, "room");
    ASSERT_TRUE(rows.parsed);
    ASSERT_EQ(40000u, rows.rows.size());
    EXPECT_EQ((std::vector<std::string>{"40", "m9@corp.example.com"}),
              (std::vector<std::string>{rows.rows.back().at(0), rows.rows.back().at(1)}));
}

TEST_F(RoomPagesTest, EndedRoomsLeaveTheListButCanStillBeReloaded) {
    saveIn(5);
    saveIn(9);
    EXPECT_EQ(bytesOf("\xFE\x00\x00\x00"), endRoom(5).body);

    EXPECT_EQ((std::vector<std::string>{"9", "9", "9"}), roomIds(notEndedPage(0, "all")));
    was_reply_t reply = reload(5, "example.com");
    EXPECT_EQ(0, reply.code);
    EXPECT_EQ(3u, xmlRows(reply.payload, "room").rows.size());
}

TEST_F(RoomPagesTest, EndingAnUnknownRoomIsReportedNotFound) {
    saveIn(5);
    EXPECT_EQ(404, endRoom(6).code);
    EXPECT_EQ(404, endRoom(5, "other.org").code);
    EXPECT_EQ((Rows{{"0"}}), sql("SELECT ended FROM rooms"));
}

TEST_F(RoomPagesTest, ANewMessageReopensAnEndedRoom) {
    saveIn(17, 1);
    ASSERT_EQ(0, endRoom(17).code);
    save_args_t later;
    later.msgSeq = 2;
    later.time = 1700002000;
    ASSERT_EQ(0, post("/was/saveMessage", saveForm(later)).code);

    EXPECT_EQ(3u, notEndedPage(0, "all").size());
}

TEST_F(RoomPagesTest, ReloadAnswersOneRoomOfOneTenant) {
    saveIn(5);
    saveIn(5, 1, "dave@corp.other.org");
    was_reply_t reply = reload(5, "other.org");

    ASSERT_EQ(0, reply.code);
    Rows rows = xmlRows(reply.payload, "room").rows;
    std::vector<std::string> users;
    for (const auto& row : rows) users.push_back(row.at(1));
    EXPECT_EQ((std::vector<std::string>{kBob, kCarol, "dave@corp.other.org"}), users);
    was_reply_t unknown = reload(6, "example.com");
    EXPECT_EQ(404, unknown.code);
    EXPECT_TRUE(xmlRows(unknown.payload, "room").parsed);
}

TEST_F(RoomPagesTest, LeaveKeepsTheJoinSequence) {
    saveIn(17);
    ASSERT_EQ(bytesOf("\xFE\x00\x00\x00"), leave(kBob, 2).body);
    EXPECT_EQ((Rows{{"2", "1", "1700000500", "0"}}),
              sql("SELECT join_seq, has_left, left_at, left_all_history FROM members "
                  "WHERE user_id = '" + kBob + "'"));
}

TEST_F(RoomPagesTest, LeavingTheWholeHistoryIsRecorded) {
    saveIn(17);
    ASSERT_EQ(0, leave(kBob, -100).code);
    EXPECT_EQ((Rows{{"2", "1", "1"}}),
              sql("SELECT join_seq, has_left, left_all_history FROM members "
                  "WHERE user_id = '" + kBob + "'"));
}

TEST_F(RoomPagesTest, TheLeaveNoticeSavedAfterTheLeaveDoesNotUndoIt) {
    saveIn(17, 1);
    ASSERT_EQ(0, leave(kBob, 2).code);
    saveIn(17, 2);  // still lists bob with the same join sequence
    EXPECT_EQ((Rows{{"1"}}), sql("SELECT has_left FROM members WHERE user_id = '" + kBob + "'"));
}

TEST_F(RoomPagesTest, AMemberAddedAgainWithANewJoinSequenceIsBackAndOldLeavesAreIgnored) {
    saveIn(17, 1);
    ASSERT_EQ(0, leave(kBob, 2).code);
    save_args_t again;
    again.msgSeq = 2;
    again.members[1].joinSeq = 4;
    ASSERT_EQ(0, post("/was/saveMessage", saveForm(again)).code);
    ASSERT_EQ(0, leave(kBob, 2).code);  // late repeat of the first leave

    EXPECT_EQ((Rows{{"4", "0", "NULL"}}),
              sql("SELECT join_seq, has_left, left_at FROM members WHERE user_id = '" + kBob + "'"));
}

TEST_F(RoomPagesTest, ALeaveBeforeAnySaveRecordsTheMember) {
    ASSERT_EQ(0, leave(kBob, 2).code);
    EXPECT_EQ((Rows{{"17", "example.com", "2", "1"}}),
              sql("SELECT room_id, tenant_id, join_seq, has_left FROM members"));
}

TEST_F(RoomPagesTest, RowsComeBackAfterARestartOnTheSameFile) {
    saveIn(5, 3);
    saveIn(17);
    ASSERT_EQ(0, leave(kCarol, 3).code);
    const Rows before = notEndedPage(0, "all");

    restartWas();
    EXPECT_EQ(before, notEndedPage(0, "all"));
    EXPECT_EQ(6u, before.size());
}

}  // namespace
