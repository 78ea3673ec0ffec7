// Loading rooms from the WAS: the room-list pages (what is asked for, how the
// rows land in the room and session registries, when loading is complete)
// and the reload of one room a client asked for.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ChatRoomFixture.h"
#include "tolvex/util/Globals.h"
#include "tolvex/chat/JobHandler.h"
#include "tolvex/chat/QuillonJob.h"
#include "tolvex/chat/WasXmlReader.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/room/RoomReload.h"
#include "tolvex/session/SessionContainer.h"
#include "tolvex/task/LoopPost.h"
#include "tolvex/task/RoomInitTask.h"
#include "tolvex/util/ChatCodes.h"

namespace {

constexpr const char* kNotEndRoomPage = "/was/not_endroom";
constexpr const char* kLoadRoomPage = "/was/load_room";
const std::string kAnn = "ann@corp.load.org";
const std::string kBen = "ben@corp.load.org";
const std::string kCid = "cid@corp.load.org";

struct row_t {
    row_t(uint32_t room, std::string user, uint32_t join = 1, uint32_t maxMsg = 0, std::string end = "",
          uint32_t members = 2, uint32_t maxJoin = 1)
        : roomId(room), userId(std::move(user)), joinSeq(join), maxMsgSeq(maxMsg), endYmdt(std::move(end)),
          memberCount(members), maxJoinSeq(maxJoin) {}

    uint32_t roomId;
    std::string userId;
    uint32_t joinSeq;
    uint32_t maxMsgSeq;
    std::string endYmdt;
    uint32_t memberCount;
    uint32_t maxJoinSeq;
};
}  // namespace

class RoomLoadTest : public ChatRoomFixture {
protected:
    void SetUp() override {
        ChatRoomFixture::SetUp();
        RoomManager& rooms = RoomManager::getInst();
        rooms.resetRoomInit();
        rooms.setCallNextRoomListAvailable(true);
        rooms.setMaxLoadedRoomId(0);
        setLoadMode("all");
    }
    void TearDown() override {
        LoopPost::setSink({});
        RoomInitTask::getInstance().stop();
        RoomInitTask::getInstance().setSleeper({});
        RoomManager::getInst().setMaxLoadedRoomId(0);
        RoomManager::getInst().setRoomInitComplete();
        ChatRoomFixture::TearDown();
    }

    static void setLoadMode(const std::string& mode) {
        ConfigValues v = *QuillonSettings::values();
        v.was_not_endroom = kNotEndRoomPage;
        v.was_load_room = kLoadRoomPage;
        v.room_load_mode = mode;
        QuillonSettings::setForTests(&v);
    }

    static std::string rowXml(const row_t& r) {
        return "<room room_id=\"" + std::to_string(r.roomId) + "\" user_id=\"" + r.userId + "\" name_info=\"N " +
               r.userId.substr(0, 3) + "\" join_seq=\"" + std::to_string(r.joinSeq) + "\" max_msg_seq=\"" +
               std::to_string(r.maxMsgSeq) + "\" end_ymdt=\"" + r.endYmdt +
               "\" last_recv_time=\"1700000500\" member_cnt=\"" + std::to_string(r.memberCount) +
               "\" max_join_seq=\"" + std::to_string(r.maxJoinSeq) + "\"/>";
    }
    // The WAS answers page with these rows until told otherwise.
    void answerRows(const std::string& page, const std::vector<row_t>& rows) {
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><rooms>";
        for (const row_t& r : rows) xml += rowXml(r);
        FakeWas::Reply reply;
        reply.body = FakeWas::resultHeader(0) + xml + "</rooms>";
        m_was.setReply(page, reply);
    }

    void answer(const std::string& page, const std::string& body) {
        FakeWas::Reply reply;
        reply.body = body;
        m_was.setReply(page, reply);
    }
    static size_t count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }

    // One room-list job, as the loading thread would have the loop start it;
    // true once its reply was applied.
    bool loadOnePage() {
        RoomInitTask::callRoomInfo();
        return jobsSettled();
    }

    static RoomManager& rooms() { return RoomManager::getInst(); }
    // The users the session registry lists for the room, with or without
    // live sessions.
    static std::vector<std::string> listedUsers(uint32_t roomId, const std::string& anyUser) {
        std::vector<std::string> users;
        for (const auto& [userId, list] : SessionContainer::getInstance().getSessionList(roomId, anyUser, OS_TYPE_ALL))
            users.push_back(userId);
        return users;
    }
};

TEST_F(RoomLoadTest, ModeAllAsksForOnePageFromRoomZeroAndCompletes) {
    const uint32_t room = freshRoomId();
    answerRows(kNotEndRoomPage, {{room, kAnn}, {room, kBen}});
    ASSERT_TRUE(loadOnePage());

    const auto requests = m_was.requestsTo(kNotEndRoomPage);
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("svr_ip=10.1.2.3&svr_port=" + std::to_string(g_service_port) + "&start_roomid=0&load_mode=all",
              requests[0].body);
    EXPECT_TRUE(rooms().isRoomInitComplete());
    EXPECT_FALSE(rooms().getCallNextRoomListAvailable());
    EXPECT_EQ(room, rooms().getMaxLoadedRoomId());
    EXPECT_NE(nullptr, rooms().getRoom(room, kAnn));
}

TEST_F(RoomLoadTest, PagedModeAsksFromTheLastRoomIdUntilAnEmptyPage) {
    setLoadMode("page");
    const uint32_t first = freshRoomId();
    const uint32_t second = freshRoomId();
    answerRows(kNotEndRoomPage, {{first, kAnn}, {second, kBen}});
    ASSERT_TRUE(loadOnePage());
    EXPECT_FALSE(rooms().isRoomInitComplete());
    EXPECT_TRUE(rooms().getCallNextRoomListAvailable());

    answerRows(kNotEndRoomPage, {});
    ASSERT_TRUE(loadOnePage());
    EXPECT_TRUE(rooms().isRoomInitComplete());

    const auto requests = m_was.requestsTo(kNotEndRoomPage);
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ("0", requests[0].field("start_roomid"));
    EXPECT_EQ(std::to_string(second), requests[1].field("start_roomid"));
    EXPECT_EQ("page", requests[1].field("load_mode"));
}

TEST_F(RoomLoadTest, SettingSAsksForAllButStillPages) {
    setLoadMode("s");
    answerRows(kNotEndRoomPage, {{freshRoomId(), kAnn}});
    ASSERT_TRUE(loadOnePage());
    EXPECT_EQ("all", m_was.requestsTo(kNotEndRoomPage).at(0).field("load_mode"));
    EXPECT_FALSE(rooms().isRoomInitComplete());
    EXPECT_TRUE(rooms().getCallNextRoomListAvailable());
}

TEST_F(RoomLoadTest, PageThatDoesNotMovePastItsStartEndsLoading) {
    setLoadMode("page");
    const uint32_t room = freshRoomId();
    answerRows(kNotEndRoomPage, {{room, kAnn}});
    ASSERT_TRUE(loadOnePage());
    ASSERT_FALSE(rooms().isRoomInitComplete());
    ASSERT_TRUE(loadOnePage());  // a WAS that ignores start_roomid
    EXPECT_TRUE(rooms().isRoomInitComplete());
}

TEST_F(RoomLoadTest, RowsBecomeMembersWithTheirSequencesAndSessionEntries) {
    const uint32_t room = freshRoomId();
    answerRows(kNotEndRoomPage, {{room, kAnn, 4, 9, "", 3, 6},
                                 {room, kBen, 6, 9, "", 3, 6},
                                 {room, kCid, 2, 9, "20240101000000", 3, 6}});
    ASSERT_TRUE(loadOnePage());

    EXPECT_EQ(4, rooms().getUserJoinSeq(room, kAnn));
    EXPECT_EQ(6, rooms().getUserJoinSeq(room, kBen));
    EXPECT_EQ(JOIN_SEQ_ERROR_LEFT, rooms().getUserJoinSeq(room, kCid));
    ASSERT_NE(nullptr, rooms().getRoomUser(room, kAnn));
    EXPECT_EQ(JOIN_JOIN, rooms().getRoomUser(room, kAnn)->getJoinState());
    EXPECT_EQ("N ann", rooms().getRoomUser(room, kAnn)->getNameInfo());
    EXPECT_EQ(JOIN_LEFT, rooms().getRoomUser(room, kCid)->getJoinState());
    EXPECT_EQ(ROOM_TYPE_GROUP, rooms().getRoom(room, kAnn)->getRoomType());
    EXPECT_EQ(10u, rooms().getNextMsgNumber(room, kAnn));  // follows the saved 9
    EXPECT_EQ((std::vector<std::string>{kAnn, kBen}), listedUsers(room, kAnn));
}

TEST_F(RoomLoadTest, TwoMemberRoomIsOneToOne) {
    const uint32_t room = freshRoomId();
    answerRows(kNotEndRoomPage, {{room, kAnn, 1, 0, "", 2, 2}, {room, kBen, 2, 0, "", 2, 2}});
    ASSERT_TRUE(loadOnePage());
    EXPECT_EQ(ROOM_TYPE_COUPLE, rooms().getRoom(room, kAnn)->getRoomType());
}

// Each failed page leaves loading where it was, so the thread asks for it
// again, and says why in one line naming the page.
TEST_F(RoomLoadTest, FailedPagesMoveNothingOnAndSayWhyOnce) {
    JobHandler::setWaitSecOverride(1);
    const uint32_t room = freshRoomId();
    const std::string goodRow = rowXml({room, kAnn});
    // A row that does not end within the bound; expat would keep all of it.
    const std::string endlessRow = "<room room_id=\"" + std::to_string(room) + "\" user_id=\"" +
                                   std::string(RoomRowReader::kMaxRowBytes + 1, 'x');
    const std::string head = FakeWas::resultHeader(0) + "<rooms>";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"refused", FakeWas::resultHeader(500, "database busy") + "<rooms/>"},
        {"no header", "<rooms>" + goodRow + "</rooms>"},
        {"a row over the bound", head + goodRow + endlessRow},
        {"broken off", head + goodRow},
        {"broken XML", head + goodRow + "<room </rooms>"},
        {"no answer", ""},
    };
    for (const auto& [what, body] : cases) {
        SCOPED_TRACE(what);
        if (what == "no answer")
            m_was.neverAnswer(kNotEndRoomPage);
        else
            answer(kNotEndRoomPage, body);
        const size_t before = count(commandLog(), "Quillon NotEndRoomList: page from room 0 failed (" +
                                                      std::string(kNotEndRoomPage) + "): ");
        ASSERT_TRUE(loadOnePage());
        EXPECT_FALSE(rooms().isRoomInitComplete());
        EXPECT_FALSE(rooms().getCallNextRoomListAvailable());
        EXPECT_EQ(0u, rooms().getMaxLoadedRoomId());
        EXPECT_EQ(before + 1, count(commandLog(), "Quillon NotEndRoomList: page from room 0 failed (" +
                                                      std::string(kNotEndRoomPage) + "): "));
    }
    const std::string log = commandLog();
    EXPECT_NE(std::string::npos, log.find("failed (" + std::string(kNotEndRoomPage) + "): 500 database busy"));
    EXPECT_NE(std::string::npos, log.find("): 1033 invalid magiccode=3c"));
    EXPECT_NE(std::string::npos, log.find("): a row of more than 65536 bytes"));
    EXPECT_NE(std::string::npos, log.find("): 1029 Timeout in doing WAS"));
    EXPECT_NE(std::string::npos, log.find("): XML error at line 1: not well-formed"));
    EXPECT_NE(std::string::npos, log.find("): the reply ended inside the document (XML error at line 1: no element found)"));
    EXPECT_NE(std::string::npos, log.find("Failed to parse XML data..."));
    // Rows read before a bound stay stored; the page asked for again stores them again.
    EXPECT_NE(nullptr, rooms().getRoomUser(room, kAnn));
}

TEST_F(RoomLoadTest, ReloadAddsOnlyTheMissingMembersAsInvited) {
    const uint32_t room = freshRoomId();
    rooms().addRoom(room, kAnn);
    rooms().addRoomUser(room, kAnn, "kept name");
    answerRows(kLoadRoomPage, {{room, kAnn, 7, 12, "", 3, 9},
                               {room, kBen, 9, 12, "", 3, 9},
                               {room, kCid, 3, 12, "20240101000000", 3, 9}});
    (new RoomReload)->callReloadRoomPage(nullptr, room, kBen, nullptr);
    ASSERT_TRUE(jobsSettled());

    const auto requests = m_was.requestsTo(kLoadRoomPage);
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("room_id=" + std::to_string(room) + "&tenant_id=load.org", requests[0].body);
    EXPECT_EQ("kept name", rooms().getRoomUser(room, kAnn)->getNameInfo());
    ASSERT_NE(nullptr, rooms().getRoomUser(room, kBen));
    EXPECT_EQ(JOIN_INVITED, rooms().getRoomUser(room, kBen)->getJoinState());
    EXPECT_EQ(9, rooms().getUserJoinSeq(room, kBen));
    EXPECT_EQ(nullptr, rooms().getRoomUser(room, kCid));  // left members are not reloaded
}

TEST_F(RoomLoadTest, ReloadOfRoomZeroStartsNoJob) {
    (new RoomReload)->callReloadRoomPage(nullptr, 0, kAnn, nullptr);
    ASSERT_TRUE(jobsSettled());
    EXPECT_TRUE(m_was.requestsTo(kLoadRoomPage).empty());
}
