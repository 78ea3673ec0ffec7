// Idle rooms against the real daemon, with its test clock: the first pass
// after one second and idle minutes of one second each, and a tenant whose
// rooms time out after two such minutes.

#include <gtest/gtest.h>

#include <string>

#include "ChatLoopback.h"
#include "support/Process.h"

namespace {

const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";

DaemonHarness::Options quickRoomTimeouts() {
    DaemonHarness::Options options;
    options.extraSections =
        "<room_timeout_list><tenant_size>10</tenant_size>"
        "<timeout_list>example.com:0:0:2</timeout_list></room_timeout_list>";
    options.env = {"TOLVEXD_TEST_ROOM_FIRST_PASS_SEC=1", "TOLVEXD_TEST_ROOM_MINUTE_SEC=1"};
    return options;
}

}  // namespace

class RoomTimeoutFlowTest : public ChatLoopbackTest {
protected:
    RoomTimeoutFlowTest() : ChatLoopbackTest(quickRoomTimeouts()) {}

    int endRoomRequestsFor(uint32_t roomId) {
        int n = 0;
        for (const FakeWas::Request& r : m_daemon.was().requestsTo(DaemonHarness::kEndRoomPage))
            n += r.field("room_id") == std::to_string(roomId);
        return n;
    }

    static std::string endLineOf(uint32_t roomId) { return "S:<>:" + std::to_string(roomId) + ":-1:ROOM_END::"; }
};

TEST_F(RoomTimeoutFlowTest, IdleRoomWithoutSessionsIsEndedOnceAndARoomWithOneStays) {
    EXPECT_TRUE(m_daemon.waitForCommandLog("ROOM_TIMEOUT:example.com, 2")) << m_daemon.commandLog();
    openRoom(401, kAlice, {kBob});  // alice stays connected
    Client& leaving = openRoom(400, kAlice, {kBob});
    leaving.close();
    ASSERT_TRUE(m_daemon.waitForCommandLog("remove session: room_id=400")) << m_daemon.commandLog();

    ASSERT_TRUE(m_daemon.waitForChatLog(endLineOf(400), 1, 8000)) << m_daemon.chatLog();
    const std::string chat = m_daemon.chatLog();
    const size_t at = chat.find(endLineOf(400));
    const std::string line = chat.substr(at, chat.find('\n', at) - at);
    const std::string reasonHead = "NONE:SUCC:OLD,";
    ASSERT_NE(std::string::npos, line.find(reasonHead)) << line;
    EXPECT_GE(std::stoi(line.substr(line.find(reasonHead) + reasonHead.size())), 2) << line;

    ASSERT_TRUE(waitFor([&] { return endRoomRequestsFor(400) > 0; }, 3000));
    const FakeWas::Request end = wasRequestMatching(m_daemon.was(), DaemonHarness::kEndRoomPage,
                                                    [](const FakeWas::Request& r) { return r.field("room_id") == "400"; });
    EXPECT_EQ("example.com", end.field("tenant_id"));

    // Passes go on every second; the connected room stays and the ended one
    // is not ended again.
    EXPECT_FALSE(m_daemon.waitForChatLog(endLineOf(401), 1, 2500)) << m_daemon.chatLog();
    EXPECT_EQ(1, endRoomRequestsFor(400));
    EXPECT_EQ(0, endRoomRequestsFor(401));
    EXPECT_EQ(1, m_daemon.countInCommandLog("ROOM_CLOSE:"));
}
