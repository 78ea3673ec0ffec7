// The HTTP side of the WAS as the daemon's client sees it: HTTP/1.0 without
// Host, a status line long enough for its reader, a binary body, and the
// connection closed after each reply.
#include "was/WasServer.h"

#include <gtest/gtest.h>

#include "WasHarness.h"

namespace {

const std::string kNotEnded = "svr_ip=&svr_port=7000&start_roomid=0&load_mode=all";

class WasServerTest : public WasLoopbackTest {
protected:
    void SetUp() override { WasLoopbackTest::SetUp(); }
};

TEST_F(WasServerTest, DaemonRequestGetsABinaryReplyAndTheConnectionCloses) {
    startWas();
    // exchange() returns only once the server has closed the connection.
    std::string wire = exchange(daemonRequest("/was/notEndRoomList", kNotEnded));
    was_reply_t reply = parseReply(wire);

    ASSERT_TRUE(reply.complete);
    EXPECT_EQ("HTTP/1.1 200 OK", reply.statusLine);  // the daemon needs 15 characters or more
    EXPECT_NE(std::string::npos, reply.headers.find("Content-Type: application/octet-stream"));
    EXPECT_NE(std::string::npos, reply.headers.find("Connection: close"));
    EXPECT_EQ(bytesOf("\xFE\x00\x00\x00"), reply.body.substr(0, 4));
    EXPECT_TRUE(xmlRows(reply.payload, "room").parsed);
}

TEST_F(WasServerTest, ASecondRequestOnTheSameConnectionIsNotRead) {
    startWas();
    std::string one = daemonRequest("/was/notEndRoomList", kNotEnded);
    std::string wire = exchange(one + one);
    EXPECT_EQ(std::string::npos, wire.find("HTTP/1.1", 1));
}

TEST_F(WasServerTest, UnknownPathsAndOtherMethodsGet404) {
    startWas();
    EXPECT_EQ("HTTP/1.1 404 Not Found", parseReply(exchange(daemonRequest("/was/nope", ""))).statusLine);
    EXPECT_EQ("HTTP/1.1 404 Not Found",
              parseReply(exchange("GET /was/notEndRoomList HTTP/1.0\r\n\r\n")).statusLine);
}

TEST_F(WasServerTest, PagePathsAreLiteralSettings) {
    was_server_settings_t settings;
    settings.pages.notEndRoom = "/legacy/GetNotEndRoom.php";
    startWas(settings);

    EXPECT_EQ(0, postBody("/legacy/GetNotEndRoom.php", kNotEnded).code);
    EXPECT_EQ("HTTP/1.1 404 Not Found",
              parseReply(exchange(daemonRequest("/legacy/GetNotEndRoomXphp", kNotEnded))).statusLine);
    EXPECT_EQ("HTTP/1.1 404 Not Found",
              parseReply(exchange(daemonRequest("/was/notEndRoomList", kNotEnded))).statusLine);
}

TEST_F(WasServerTest, AnOversizedBodyIsRefusedAndTheServerGoesOn) {
    startWas();
    std::string huge = "msg=" + std::string(2 << 20, 'a');
    was_reply_t refused = parseReply(exchange(daemonRequest("/was/saveMessage", huge)));
    EXPECT_NE("HTTP/1.1 200 OK", refused.statusLine);

    EXPECT_EQ(0, postBody("/was/notEndRoomList", kNotEnded).code);
    EXPECT_EQ((std::vector<std::vector<std::string>>{{"0"}}), sql("SELECT COUNT(*) FROM messages"));
}

TEST_F(WasServerTest, ARequestCutShortChangesNothing) {
    startWas();
    std::string wire = daemonRequest("/was/saveMessage", saveForm(save_args_t()).body());
    std::string reply = exchange(wire.substr(0, wire.size() - 10), true);
    EXPECT_EQ(std::string::npos, reply.find("200 OK"));

    EXPECT_EQ(0, postBody("/was/notEndRoomList", kNotEnded).code);
    EXPECT_EQ((std::vector<std::vector<std::string>>{{"0"}}), sql("SELECT COUNT(*) FROM messages"));
}

}  // namespace
