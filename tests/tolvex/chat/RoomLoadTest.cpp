// Loading rooms from the WAS page by page: when loading is complete, how a
// row's member count sets the room type, and what a failed page leaves.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/chat/ChatRoomFixture.h"
#include "tolvex/chat/JobHandler.h"
#include "tolvex/chat/QuillonJob.h"
#include "tolvex/chat/WasXmlReader.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/task/RoomInitTask.h"

namespace {

constexpr const char* kNotEndRoomPage = "/was/not_endroom";
const std::string kAnn = "ann@corp.load.org";
const std::string kBen = "ben@corp.load.org";

std::string rowXml(uint32_t roomId, const std::string& userId) {
    return "<room room_id=\"" + std::to_string(roomId) + "\" user_id=\"" + userId +
           "\" name_info=\"N\" join_seq=\"1\" max_msg_seq=\"0\" end_ymdt=\"\" last_recv_time=\"1700000500\""
           " member_cnt=\"2\" max_join_seq=\"2\"/>";
}

}  // namespace

class RoomLoadTest : public ChatRoomFixture {
protected:
    void SetUp() override {
        ChatRoomFixture::SetUp();
        rooms().resetRoomInit();
        rooms().setCallNextRoomListAvailable(true);
        rooms().setMaxLoadedRoomId(0);
        ConfigValues v = *QuillonSettings::values();
        v.was_not_endroom = kNotEndRoomPage;
        v.room_load_mode = "page";
        QuillonSettings::setForTests(&v);
    }
    void TearDown() override {
        rooms().setMaxLoadedRoomId(0);
        rooms().setRoomInitComplete();
        ChatRoomFixture::TearDown();
    }

    void answer(const std::string& body) { m_was.setReply(kNotEndRoomPage, {200, body}); }
    // One room-list job, as the loading thread would have the loop start it;
    // true once its reply was applied.
    bool loadOnePage() {
        RoomInitTask::callRoomInfo();
        return jobsSettled();
    }
    static RoomManager& rooms() { return RoomManager::getInst(); }
};

TEST_F(RoomLoadTest, PageThatDoesNotMovePastItsStartEndsLoading) {
    answer(FakeWas::resultHeader(0) + "<rooms>" + rowXml(freshRoomId(), kAnn) + "</rooms>");
    ASSERT_TRUE(loadOnePage());
    ASSERT_FALSE(rooms().isRoomInitComplete());
    ASSERT_TRUE(loadOnePage());  // a WAS that ignores start_roomid
    EXPECT_TRUE(rooms().isRoomInitComplete());
}

TEST_F(RoomLoadTest, TwoMemberRoomIsOneToOne) {
    const uint32_t room = freshRoomId();
    answer(FakeWas::resultHeader(0) + "<rooms>" + rowXml(room, kAnn) + rowXml(room, kBen) + "</rooms>");
    ASSERT_TRUE(loadOnePage());
    EXPECT_EQ(ROOM_TYPE_COUPLE, rooms().getRoom(room, kAnn)->getRoomType());
}

// Each failed page leaves loading where it was, so the thread asks for it
// again, and says why in one line naming the page.
TEST_F(RoomLoadTest, FailedPagesMoveNothingOnAndSayWhyOnce) {
    JobHandler::setWaitSecOverride(1);
    const uint32_t room = freshRoomId();
    const std::string goodRow = rowXml(room, kAnn);
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
            answer(body);
        const int before = countOf(commandLog(), "Quillon NotEndRoomList: page from room 0 failed (" +
                                                      std::string(kNotEndRoomPage) + "): ");
        ASSERT_TRUE(loadOnePage());
        EXPECT_FALSE(rooms().isRoomInitComplete());
        EXPECT_FALSE(rooms().getCallNextRoomListAvailable());
        EXPECT_EQ(0u, rooms().getMaxLoadedRoomId());
        EXPECT_EQ(before + 1, countOf(commandLog(), "Quillon NotEndRoomList: page from room 0 failed (" +
                                                      std::string(kNotEndRoomPage) + "): "));
    }
    const std::string log = commandLog();
    const std::vector<std::string> reasons = {
        "failed (" + std::string(kNotEndRoomPage) + "): 500 database busy",
        "): 1033 invalid magiccode=3c",
        "): a row of more than 65536 bytes",
        "): 1029 Timeout in doing WAS",
        "): XML error at line 1: not well-formed",
        "): the reply ended inside the document (XML error at line 1: no element found)",
        "Failed to parse XML data...",
    };
    for (const std::string& why : reasons) EXPECT_NE(std::string::npos, log.find(why)) << why << " is not in\n" << log;
    // Rows read before a bound stay stored; the page asked for again stores them again.
    EXPECT_NE(nullptr, rooms().getRoomUser(room, kAnn));
}

