// The room pages: the not-ended room list the daemon pages through at
// start-up, the reload of one room, end room and leave.
#include <gtest/gtest.h>

#include "WasHarness.h"

namespace {

const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";
const std::string kCarol = "carol@corp.example.com";
const std::string kDave = "dave@corp.other.org";

class RoomPagesTest : public WasEngineTest {
protected:
    void SetUp() override {
        WasEngineTest::SetUp();
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
        ASSERT_EQ(0, save(args).code) << roomId;
    }
    was_reply_t leave(uint32_t roomId, const std::string& user, int32_t joinSeq) {
        Form form;
        form.num("room_id", roomId).text("user_id", user).num("os_type", 1).num("time", 1700000500);
        form.num("join_seq", joinSeq).raw("leave_current_join_seq", joinSeq == -100 ? "no" : "yes");
        return post("/was/leave", form.text("svr_ip", "10.0.0.1").num("svr_port", 7000));
    }
    // One page of the not-ended list, as the daemon's room loading asks for it.
    Rows notEndedPage(uint32_t startRoomId, const std::string& mode = "p") {
        was_reply_t reply = post("/was/notEndRoomList", Form().text("svr_ip", "10.0.0.1").num("svr_port", 7000)
                                                            .num("start_roomid", startRoomId).text("load_mode", mode));
        EXPECT_EQ(0, reply.code);
        xml_rows_t rows = xmlRows(reply.payload, "room");
        EXPECT_TRUE(rows.parsed) << reply.payload;
        return rows.rows;
    }
    // Column column of every row.
    static std::vector<std::string> column(const Rows& rows, size_t column = 0) {
        std::vector<std::string> values;
        for (const auto& row : rows) values.push_back(row.at(column));
        return values;
    }
};

TEST_P(RoomPagesTest, RowsCarryTheirAttributesInTheOrderTheDaemonReads) {
    saveIn(17, 5);
    ASSERT_EQ(0, leave(17, kCarol, 3).code);
    // The same room id under another tenant: its own count and highest join sequence.
    save_args_t other;
    other.roomId = 17;
    other.senderId = kDave;
    other.members = {{kDave, "Dave", 1, "y"}, {"erin@corp.other.org", "Erin", 7, "n"}};
    ASSERT_EQ(0, save(other).code);

    const Rows rows = notEndedPage(0, "all");
    // room, user, name, join seq, max msg seq, end time, last activity, member count, max join seq
    EXPECT_EQ((Rows{{"17", kAlice, "Alice", "1", "5", "", "1700000500", "3", "3"},
                    {"17", kBob, "Bob", "2", "5", "", "1700000500", "3", "3"},
                    {"17", kCarol, "Carol", "3", "5", "20231114222140", "1700000500", "3", "3"},
                    {"17", kDave, "Dave", "1", "1", "", "1700000000", "2", "7"},
                    {"17", "erin@corp.other.org", "Erin", "7", "1", "", "1700000000", "2", "7"}}),
              rows);
    restartWas();
    EXPECT_EQ(rows, notEndedPage(0, "all"));
}

TEST_P(RoomPagesTest, PagingThroughTheRoomsEndsWithAnEmptyPage) {
    for (uint32_t room : {31u, 5u, 12u, 9u, 20u}) saveIn(room);
    saveIn(5, 1, kDave);  // one room id under two tenants counts once and stays on one page
    std::vector<std::vector<std::string>> pages;
    uint32_t start = 0;
    for (int guard = 0; guard < 10; ++guard) {
        Rows page = notEndedPage(start);
        pages.push_back(column(page));
        if (page.empty()) break;
        start = static_cast<uint32_t>(std::stoul(page.back().at(0)));
    }
    EXPECT_EQ((std::vector<std::vector<std::string>>{{"5", "5", "5", "5", "5", "5", "9", "9", "9"},
                                                     {"12", "12", "12", "20", "20", "20"},
                                                     {"31", "31", "31"},
                                                     {}}),
              pages);
}

TEST_P(RoomPagesTest, EndedRoomsLeaveTheListCanBeReloadedAndReopenWithANewMessage) {
    saveIn(5);
    saveIn(9);
    saveIn(5, 1, kDave);
    EXPECT_EQ(kOkHeader, endRoom(5).body);
    EXPECT_EQ(404, endRoom(6).code);
    EXPECT_EQ(404, endRoom(9, "other.org").code);
    EXPECT_EQ((std::vector<std::string>{"5", "5", "5", "9", "9", "9"}), column(notEndedPage(0, "all")));

    was_reply_t reply = loadRoom(5);  // one room of one tenant
    EXPECT_EQ(0, reply.code);
    EXPECT_EQ((std::vector<std::string>{kAlice, kBob, kCarol}), column(xmlRows(reply.payload, "room").rows, 1));
    EXPECT_EQ(404, loadRoom(6).code);

    save_args_t later;  // a message after the end
    later.roomId = 5;
    later.msgSeq = 2;
    later.time = 1700002000;
    ASSERT_EQ(0, save(later).code);
    EXPECT_EQ(9u, notEndedPage(0, "all").size());
}

TEST_P(RoomPagesTest, LeavesAreRecordedOnceAndUndoneOnlyByANewJoinSequence) {
    saveIn(17, 1);
    EXPECT_EQ(kOkHeader, leave(17, kBob, 2).body);
    ASSERT_EQ(0, leave(17, kCarol, -100).code);  // leaving the whole history
    ASSERT_EQ(0, leave(18, kBob, 2).code);       // before any save of that room
    saveIn(17, 2);                                // the leave notice: still lists both with the same sequences
    const std::string query = "SELECT room_id, user_id, join_seq, has_left, left_at, left_all_history FROM members "
                              "WHERE user_id != '" + kAlice + "' ORDER BY room_id, user_id";
    EXPECT_EQ((Rows{{"17", kBob, "2", "1", "1700000500", "0"},
                    {"17", kCarol, "3", "1", "1700000500", "1"},
                    {"18", kBob, "2", "1", "1700000500", "0"}}),
              sql(query));

    save_args_t again;  // bob added again
    again.msgSeq = 3;
    again.members[1].joinSeq = 4;
    ASSERT_EQ(0, save(again).code);
    ASSERT_EQ(0, leave(17, kBob, 2).code);  // late repeat of the first leave
    EXPECT_EQ((Rows{{"17", kBob, "4", "0", "NULL", "0"}}), Rows{sql(query).at(0)});
}

INSTANTIATE_TEST_SUITE_P(, RoomPagesTest, kWasEngines, wasEngineName);

}  // namespace
