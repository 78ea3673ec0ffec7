// The mobile push page records what it is asked to send in its outbox and
// answers one result row per recipient, failed for one without a device.
#include <gtest/gtest.h>

#include "WasHarness.h"

namespace {

// An encrypted preview is binary: zero bytes and high bytes included.
const std::string kPreview = bytesOf("\x00\x9A\x10\xFF\x00 +&=%");
const std::string kAlice = "alice@corp.example.com";
const std::string kBob = "bob@corp.example.com";
const std::string kCarol = "carol@corp.example.com";

class PushInvitePagesTest : public WasEngineTest {
protected:
    void SetUp() override {
        WasEngineTest::SetUp();
        startWas();
    }
    Rows push(const std::string& recipients) {
        Form form;
        form.num("notiType", 1).num("room_id", 17).text("userid", recipients).text("senderId", kAlice);
        form.text("senderNickNm", "Alice").text("msg", kPreview).num("msgSeq", 3).num("msgType", 1);
        form.num("time", 1700000000).text("conn", "10.0.0.1:7000").num("mbCnt", 3).num("btnType", 1).num("badge", 0);
        was_reply_t reply = post("/was/mobilePush", form);
        EXPECT_EQ(0, reply.code);
        xml_rows_t rows = xmlRows(reply.payload, "result");
        EXPECT_TRUE(rows.parsed) << reply.payload;
        return rows.rows;
    }
    int noDevice(const std::string& user, const char* flag) {
        return post("/was/noDevice", Form().text("user_id", user).raw("no_device", flag)).code;
    }
};

TEST_P(PushInvitePagesTest, EachRecipientGetsAResultInRequestOrderAndOnlyDevicesAreRecorded) {
    ASSERT_EQ(0, noDevice(kBob, "y"));
    ASSERT_EQ(0, noDevice(kCarol, "y"));
    ASSERT_EQ(0, noDevice(kCarol, "n"));  // a device again
    const Rows results = push(kCarol + "," + kBob);
    // room, message number, recipient, result code, result text
    ASSERT_EQ(2u, results.size());
    EXPECT_EQ((std::vector<std::string>{"17", "3", kCarol, "0", "recorded"}), results[0]);
    EXPECT_EQ(kBob, results[1][2]);
    EXPECT_GE(std::stoi(results[1][3]), 300);  // the daemon treats 300 and above as push failed
    EXPECT_EQ((Rows{{kCarol, kAlice, "17", "3", kPreview, "1700000000"}}),
              sql("SELECT recipient, sender_id, room_id, msg_seq, preview, msg_time FROM push_outbox ORDER BY id"));
}

INSTANTIATE_TEST_SUITE_P(, PushInvitePagesTest, kWasEngines, wasEngineName);

}  // namespace
