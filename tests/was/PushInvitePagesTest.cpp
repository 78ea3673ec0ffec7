// The mobile push and invite pages record what they are asked to send in
// their outboxes; push answers one result row per recipient.
#include <gtest/gtest.h>

#include "WasHarness.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

// An encrypted preview is binary: zero bytes and high bytes included.
const std::string kPreview = bytesOf("\x00\x9A\x10\xFF\x00 +&=%");

class PushInvitePagesTest : public WasLoopbackTest {
protected:
    void SetUp() override {
        WasLoopbackTest::SetUp();
        startWas();
    }
    was_reply_t push(const std::string& recipients) {
        return post("/was/mobilePush", Form()
                                           .num("notiType", 1)
                                           .num("room_id", 17)
                                           .text("userid", recipients)
                                           .text("senderId", "alice@corp.example.com")
                                           .text("senderNickNm", "Alice")
                                           .text("msg", kPreview)
                                           .num("msgSeq", 3)
                                           .num("msgType", 1)
                                           .num("time", 1700000000)
                                           .text("conn", "10.0.0.1:7000")
                                           .num("mbCnt", 3)
                                           .num("btnType", 1)
                                           .num("badge", 0));
    }
    Rows results(const was_reply_t& reply) {
        xml_rows_t rows = xmlRows(reply.payload, "result");
        EXPECT_TRUE(rows.parsed) << reply.payload;
        return rows.rows;
    }
};

TEST_F(PushInvitePagesTest, EachRecipientGetsARecordedResultInRequestOrder) {
    was_reply_t reply = push("carol@corp.example.com,bob@corp.example.com");

    ASSERT_EQ(0, reply.code);
    // room, message number, recipient, result code, result text
    EXPECT_EQ((Rows{{"17", "3", "carol@corp.example.com", "0", "recorded"},
                    {"17", "3", "bob@corp.example.com", "0", "recorded"}}),
              results(reply));
    EXPECT_EQ((Rows{{"carol@corp.example.com", "alice@corp.example.com", "17", "3", kPreview,
                     "1700000000"},
                    {"bob@corp.example.com", "alice@corp.example.com", "17", "3", kPreview,
                     "1700000000"}}),
              sql("SELECT recipient, sender_id, room_id, msg_seq, preview, msg_time "
                  "FROM push_outbox ORDER BY id"));
}

TEST_F(PushInvitePagesTest, ARecipientWithoutDeviceGetsAFailureCode) {
    ASSERT_EQ(0, post("/was/noDevice", Form().text("user_id", "bob@corp.example.com")).code);
    was_reply_t reply = push("carol@corp.example.com,bob@corp.example.com");

    Rows rows = results(reply);
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ("0", rows[0][3]);
    EXPECT_GE(std::stoi(rows[1][3]), 300);  // the daemon treats 300 and above as push failed
    EXPECT_EQ((Rows{{"carol@corp.example.com"}}), sql("SELECT recipient FROM push_outbox"));
}

TEST_F(PushInvitePagesTest, ARegisteredUserCanGetADeviceBack) {
    store().setNoDevice("bob@corp.example.com", true);
    ASSERT_EQ(0, post("/was/noDevice",
                      Form().text("user_id", "bob@corp.example.com").raw("no_device", "n"))
                     .code);
    EXPECT_EQ("0", results(push("bob@corp.example.com")).at(0).at(3));
}

TEST_F(PushInvitePagesTest, InviteIsRecordedInTheOutbox) {
    const std::string contents = "alice@corp.example.com|Alice|17|10.0.0.1|7000|10";
    was_reply_t reply = post("/was/inviteRequest", Form()
                                                       .text("from_id", "alice@corp.example.com")
                                                       .text("to_id", "bob@corp.example.com")
                                                       .text("target_ids", "bob@corp.example.com")
                                                       .text("contents", contents));

    EXPECT_EQ(bytesOf("\xFE\x00\x00\x00"), reply.body);
    EXPECT_EQ((Rows{{"alice@corp.example.com", "bob@corp.example.com", "bob@corp.example.com",
                     contents}}),
              sql("SELECT from_id, to_id, target_ids, contents FROM invite_outbox"));
}

}  // namespace
