// Rooms held by the daemons that load them: the not-ended list and the
// reload as two daemons see them, the save that takes a new room, the room
// directory, the operator's release of a daemon gone for good, and a file of
// the schema before rooms had a holder.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <thread>

#include "WasHarness.h"
#include "support/Process.h"
#include "was/SqliteDb.h"

namespace {

struct daemon_t {
    std::string ip;
    int port = 0;  // 0: the form does not say
};
const daemon_t kA{"10.0.0.1", 7000};
const daemon_t kB{"10.0.0.1", 7001};  // another daemon on the same machine
const daemon_t kUnknown{};

std::set<std::string> roomIds(const Rows& rows) {
    std::set<std::string> ids;
    for (const auto& row : rows) ids.insert(row.at(0));
    return ids;
}

// The pages as daemons that report themselves post them, on either engine.
class AssignmentFixture : public WasLoopbackTest {
protected:
    explicit AssignmentFixture(WasEngine engine) : WasLoopbackTest(engine) {}
    void SetUp() override {
        WasLoopbackTest::SetUp();
        was_server_settings_t settings;
        settings.roomsPerPage = 2;
        startWas(settings);
    }

    // The fields the daemon appends after all others when it reports itself.
    static Form from(const daemon_t& daemon, Form form) {
        if (daemon.port != 0) form.text("svr_ip", daemon.ip).num("svr_port", daemon.port);
        return form;
    }
    was_reply_t saveBy(const daemon_t& daemon, uint32_t roomId, uint32_t msgSeq = 1) {
        save_args_t args;
        args.roomId = roomId;
        args.msgSeq = msgSeq;
        return post("/was/saveMessage", from(daemon, saveForm(args)));
    }
    void saveRooms(const daemon_t& daemon, std::initializer_list<uint32_t> rooms) {
        for (uint32_t room : rooms) ASSERT_EQ(0, saveBy(daemon, room).code) << room;
    }
    // The room ids of one page of the not-ended list.
    std::set<std::string> listedBy(const daemon_t& daemon, uint32_t start = 0, const std::string& mode = "all") {
        was_reply_t reply = post("/was/notEndRoomList",
                                 from(daemon, Form().num("start_roomid", start).text("load_mode", mode)));
        EXPECT_EQ(0, reply.code) << reply.errorText;
        return roomIds(xmlRows(reply.payload, "room").rows);
    }
    was_reply_t reloadBy(const daemon_t& daemon, uint32_t roomId) {
        return post("/was/loadRoom", from(daemon, Form().num("room_id", roomId).text("tenant_id", "example.com")));
    }
    // The directory's one row (room, tenant, svr_ip, svr_port), or its code when refused.
    std::vector<std::string> directory(uint32_t roomId) {
        was_reply_t reply = post("/was/roomDirectory", Form().num("room_id", roomId).text("tenant_id", "example.com"));
        if (reply.code != 0) return {std::to_string(reply.code)};
        Rows rows = xmlRows(reply.payload, "room").rows;
        EXPECT_EQ(1u, rows.size()) << reply.payload;
        return rows.empty() ? std::vector<std::string>() : rows[0];
    }
    std::string holderOf(uint32_t roomId) {
        std::vector<std::string> row = directory(roomId);
        return row.size() == 4 ? row[2] + ":" + row[3] : row.at(0);
    }
};

class RoomAssignmentTest : public AssignmentFixture, public ::testing::WithParamInterface<WasEngine> {
protected:
    RoomAssignmentTest() : AssignmentFixture(GetParam()) {}
};

TEST_P(RoomAssignmentTest, TwoDaemonsListTheirOwnAndShareTheUnheldRoomsWithoutOverlap) {
    saveRooms(kA, {100});
    saveRooms(kB, {101});
    for (uint32_t room = 1; room <= 40; ++room) ASSERT_EQ(0, saveBy(kUnknown, room).code);

    std::set<std::string> byA, byB;
    std::thread other([&] { byB = listedBy(kB); });
    byA = listedBy(kA);
    other.join();

    EXPECT_EQ(1u, byA.count("100"));
    EXPECT_EQ(0u, byB.count("100"));
    EXPECT_EQ(1u, byB.count("101"));
    EXPECT_EQ(0u, byA.count("101"));
    std::set<std::string> both;
    for (const std::string& id : byA) EXPECT_EQ(0u, byB.count(id)) << "listed to both: room " << id;
    both.insert(byA.begin(), byA.end());
    both.insert(byB.begin(), byB.end());
    EXPECT_EQ(42u, both.size());
    // What each listed is now its own: listing again gives the same rooms.
    EXPECT_EQ(byA, listedBy(kA));
    EXPECT_EQ(byB, listedBy(kB));
}

// The page bound counts only the rooms the daemon may list: rooms held by
// another daemon must not make a page look empty before the end.
TEST_P(RoomAssignmentTest, PagesOfAKnownDaemonSkipRoomsHeldByAnother) {
    saveRooms(kUnknown, {1, 2, 5, 6, 7});
    saveRooms(kB, {3, 4});
    std::vector<std::set<std::string>> pages;
    for (uint32_t start = 0;;) {
        std::set<std::string> page = listedBy(kA, start, "p");
        pages.push_back(page);
        if (page.empty() || pages.size() > 5) break;
        start = static_cast<uint32_t>(std::stoul(*page.rbegin()));
    }
    EXPECT_EQ((std::vector<std::set<std::string>>{{"1", "2"}, {"5", "6"}, {"7"}, {}}), pages);
}

TEST_P(RoomAssignmentTest, SaveTakesAnUnheldRoomAndNeverMovesAHeldOne) {
    ASSERT_EQ(0, saveBy(kUnknown, 30).code);
    EXPECT_EQ(":0", holderOf(30));
    ASSERT_EQ(0, saveBy(kA, 30, 2).code);
    EXPECT_EQ("10.0.0.1:7000", holderOf(30));
    // Another daemon's message is still stored; the room stays where it is.
    ASSERT_EQ(0, saveBy(kB, 30, 3).code);
    EXPECT_EQ("10.0.0.1:7000", holderOf(30));
    EXPECT_EQ((Rows{{"1"}, {"2"}, {"3"}}), sql("SELECT msg_seq FROM messages WHERE room_id = 30 ORDER BY msg_seq"));
}

TEST_P(RoomAssignmentTest, ReloadTakesAnUnheldRoomAndIsRefusedToAnotherDaemon) {
    saveRooms(kUnknown, {40});
    was_reply_t first = reloadBy(kA, 40);
    EXPECT_EQ(0, first.code);
    EXPECT_EQ(3u, xmlRows(first.payload, "room").rows.size());
    EXPECT_EQ("10.0.0.1:7000", holderOf(40));

    was_reply_t refused = reloadBy(kB, 40);
    EXPECT_EQ(409, refused.code);
    EXPECT_EQ("room held by another daemon", refused.errorText);
    EXPECT_EQ("", refused.payload);
    EXPECT_EQ("10.0.0.1:7000", holderOf(40));
    EXPECT_EQ(0, reloadBy(kA, 40).code);
    EXPECT_EQ(404, reloadBy(kB, 41).code);
}

// A daemon that does not report itself is served as before assignment
// existed, and moves nothing.
TEST_P(RoomAssignmentTest, UnknownDaemonListsAndReloadsEveryRoomAndTakesNone) {
    saveRooms(kA, {50});
    saveRooms(kUnknown, {51});
    EXPECT_EQ((std::set<std::string>{"50", "51"}), listedBy(kUnknown));
    EXPECT_EQ(0, reloadBy(kUnknown, 50).code);
    EXPECT_EQ(0, reloadBy(kUnknown, 51).code);
    EXPECT_EQ(":0", holderOf(51));
    EXPECT_EQ(0, post("/was/loadRoom", Form().num("room_id", 50).text("tenant_id", "example.com")
                                           .text("svr_ip", "10.0.0.9").num("svr_port", 0)).code);
}

TEST_P(RoomAssignmentTest, DirectoryNamesTheHolderOrNoneAndRefusesAnUnknownRoom) {
    saveRooms(kA, {60});
    saveRooms(kUnknown, {61});
    EXPECT_EQ((std::vector<std::string>{"60", "example.com", "10.0.0.1", "7000"}), directory(60));
    EXPECT_EQ((std::vector<std::string>{"61", "example.com", "", "0"}), directory(61));
    EXPECT_EQ(std::vector<std::string>{"404"}, directory(62));
}

struct bad_daemon_t {
    const char* name;
    std::string fields;
};

// Reading the fields is the pages' work, the same on either engine.
class BadDaemonFieldTest : public AssignmentFixture, public ::testing::WithParamInterface<bad_daemon_t> {
protected:
    BadDaemonFieldTest() : AssignmentFixture(WasEngine::Sqlite) {}
};

TEST_P(BadDaemonFieldTest, IsRefusedOnEveryPageThatReadsIt) {
    const std::string& fields = GetParam().fields;
    EXPECT_EQ(400, postBody("/was/saveMessage", saveForm(save_args_t()).body() + fields).code);
    EXPECT_EQ(400, postBody("/was/loadRoom", "room_id=17&tenant_id=example.com" + fields).code);
    EXPECT_EQ(400, postBody("/was/notEndRoomList", "start_roomid=0&load_mode=all" + fields).code);
    EXPECT_EQ(std::vector<std::string>{"404"}, directory(17)) << "nothing was stored";
}

INSTANTIATE_TEST_SUITE_P(Fields, BadDaemonFieldTest,
                         ::testing::Values(bad_daemon_t{"PortAboveRange", "&svr_ip=10.0.0.1&svr_port=65536"},
                                           bad_daemon_t{"NegativePort", "&svr_ip=10.0.0.1&svr_port=-1"},
                                           bad_daemon_t{"PortNotANumber", "&svr_ip=10.0.0.1&svr_port=70x"},
                                           bad_daemon_t{"IpTooLong",
                                                        "&svr_ip=" + std::string(256, 'a') + "&svr_port=1"},
                                           bad_daemon_t{"ZeroByteInIp", "&svr_ip=10%00&svr_port=1"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(RoomAssignmentTest, ReleasedRoomsGoToTheNextDaemonThatLoadsThem) {
    saveRooms(kA, {70, 71});
    saveRooms(kB, {72});
    ASSERT_EQ(409, reloadBy(kB, 70).code);

    Process release(binPath("tolvex-was"), {"--db", location(), "--release-daemon", "10.0.0.1:7000"});
    ASSERT_EQ(0, release.waitExit(10000)) << release.stderrText();
    EXPECT_EQ("released 2 rooms held by 10.0.0.1:7000\n", release.stdoutText());

    EXPECT_EQ(":0", holderOf(71));
    EXPECT_EQ(0, reloadBy(kB, 70).code);
    EXPECT_EQ((std::set<std::string>{"70", "71", "72"}), listedBy(kB));
    EXPECT_EQ("10.0.0.1:7001", holderOf(71));

    Process bad(binPath("tolvex-was"), {"--db", location(), "--release-daemon", "10.0.0.1"});
    EXPECT_EQ(2, bad.waitExit(10000));
}

INSTANTIATE_TEST_SUITE_P(, RoomAssignmentTest, kWasEngines, wasEngineName);

// A file written before rooms had a holder keeps its rows; every room starts
// held by none.
class SqliteMigrationTest : public AssignmentFixture {
protected:
    SqliteMigrationTest() : AssignmentFixture(WasEngine::Sqlite) {}
};

TEST_F(SqliteMigrationTest, FileOfTheFirstSchemaIsMigratedWithItsRows) {
    const std::string path = location();
    stopWas();
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    {
        SqliteDb old(path, SqliteDb::Mode::ReadWrite);
        old.exec(
            "CREATE TABLE rooms(room_id INTEGER NOT NULL, tenant_id TEXT NOT NULL, room_type INTEGER NOT NULL, "
            "max_msg_seq INTEGER NOT NULL, last_activity INTEGER NOT NULL, ended INTEGER NOT NULL DEFAULT 0, "
            "ended_at INTEGER, PRIMARY KEY(room_id, tenant_id));"
            "CREATE TABLE members(room_id INTEGER NOT NULL, tenant_id TEXT NOT NULL, user_id TEXT NOT NULL, "
            "name TEXT NOT NULL, join_seq INTEGER NOT NULL, has_left INTEGER NOT NULL DEFAULT 0, left_at INTEGER, "
            "left_all_history INTEGER NOT NULL DEFAULT 0, PRIMARY KEY(room_id, tenant_id, user_id));"
            "INSERT INTO rooms VALUES(80, 'example.com', 1, 9, 1700000000, 0, NULL);"
            "INSERT INTO members VALUES(80, 'example.com', 'bob@corp.example.com', 'Bob', 2, 0, NULL, 0);"
            "PRAGMA user_version = 1;");
    }
    was_server_settings_t settings;
    startWas(settings);

    EXPECT_EQ((Rows{{"2"}}), sql("PRAGMA user_version"));
    EXPECT_EQ(":0", holderOf(80));
    was_reply_t reply = reloadBy(kA, 80);
    EXPECT_EQ((Rows{{"80", "bob@corp.example.com", "Bob", "2", "9", "", "1700000000", "1", "2"}}),
              xmlRows(reply.payload, "room").rows);
    EXPECT_EQ("10.0.0.1:7000", holderOf(80));
}

}  // namespace
