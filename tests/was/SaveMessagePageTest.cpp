// The save-message, send-state and failed-recipient pages, posted as the
// daemon posts them, checked on the reply bytes and on the database file.
#include <gtest/gtest.h>

#include "WasHarness.h"

namespace {

class SaveMessagePageTest : public WasLoopbackTest {
protected:
    void SetUp() override {
        WasLoopbackTest::SetUp();
        startWas();
    }
    Rows recipients(uint32_t msgSeq) {
        return sql("SELECT user_id, join_seq, read_yn, delivered FROM recipients WHERE msg_seq = " +
                   std::to_string(msgSeq) + " ORDER BY user_id");
    }
};

TEST_F(SaveMessagePageTest, EveryFieldIsStoredExactlyZerosIncluded) {
    save_args_t args;
    args.msg = bytesOf("hi\0there %&+\xEA\xB0\x80");
    args.msgType = 5;
    args.fileName = "report 2024.pdf";
    args.fileSize = 123456;
    args.fileUrl = "https://files.example.com/a?b=c&d=e";
    EXPECT_EQ(kOkHeader, save(args).body);

    EXPECT_EQ((Rows{{"17", "example.com", "1", "5", "1700000000", "alice@corp.example.com", "Alice", "1", args.msg,
                     "77", "3", "report 2024.pdf", "123456", "https://files.example.com/a?b=c&d=e"}}),
              sql("SELECT room_id, tenant_id, msg_seq, msg_type, msg_time, sender_id, sender_name, sender_os_type, "
                  "body, trid, member_count, file_name, file_size, file_url FROM messages"));
    EXPECT_EQ((Rows{{"17", "example.com", "10", "1", "0"}}),
              sql("SELECT room_id, tenant_id, room_type, max_msg_seq, ended FROM rooms"));
    EXPECT_EQ((Rows{{"alice@corp.example.com", "Alice", "1", "0"},
                    {"bob@corp.example.com", "Bob", "2", "0"},
                    {"carol@corp.example.com", "Carol", "3", "0"}}),
              sql("SELECT user_id, name, join_seq, has_left FROM members ORDER BY user_id"));
    EXPECT_EQ((Rows{{"alice@corp.example.com", "1", "y", "0"},
                    {"bob@corp.example.com", "2", "n", "0"},
                    {"carol@corp.example.com", "3", "n", "0"}}),
              recipients(1));
}

// The daemon repeats a save it got no reply to.
TEST_F(SaveMessagePageTest, RepeatedSaveChangesNothingAndOtherContentUnderItsSequenceIsRefused) {
    ASSERT_EQ(0, save(save_args_t()).code);
    const std::string before = dump();
    EXPECT_EQ(kOkHeader, save(save_args_t()).body);
    EXPECT_EQ(before, dump());

    save_args_t other;
    other.msg = "something else";
    was_reply_t reply = save(other);
    EXPECT_EQ(409, reply.code);
    EXPECT_FALSE(reply.errorText.empty());
    EXPECT_EQ(before, dump());
}

TEST_F(SaveMessagePageTest, ListsShorterThanTheIdsKeepWhatIsKnown) {
    // The daemon builds the join sequence and read lists in bounded buffers.
    Form form;
    form.num("room_id", 17).text("send_user_id", "alice@corp.example.com").num("msg_seq", 1);
    form.text("recv_user_list", "alice@corp.example.com\tbob@corp.example.com");
    form.text("recv_user_join_seq_list", "1").text("read_yn_list", "y");
    ASSERT_EQ(0, post("/was/saveMessage", form).code);

    EXPECT_EQ((Rows{{"alice@corp.example.com", "1", "y", "0"}, {"bob@corp.example.com", "NULL", "NULL", "0"}}),
              recipients(1));
}

TEST_F(SaveMessagePageTest, DeliveriesAreMarkedWhenEverTheyCome) {
    int code = 0;
    EXPECT_EQ(Rows{}, failedRecipients(1, &code));  // unknown message: an empty list
    EXPECT_EQ(404, code);
    ASSERT_EQ(0, markDelivered(1, "bob@corp.example.com", "2").code);  // before the save
    ASSERT_EQ(0, save(save_args_t()).code);
    EXPECT_EQ(kOkHeader, markDelivered(1, "carol@corp.example.com", "3").body);
    EXPECT_EQ((Rows{{"alice@corp.example.com", "1", "y", "0"},
                    {"bob@corp.example.com", "2", "n", "1"},
                    {"carol@corp.example.com", "3", "n", "1"}}),
              recipients(1));

    EXPECT_EQ(Rows{}, failedRecipients(1));  // the sender is never listed
    EXPECT_NE(std::string::npos, dump().find("max_msg_seq 1 last_activity 2023-11-14T22:13:20Z open\n"));
}

}  // namespace
