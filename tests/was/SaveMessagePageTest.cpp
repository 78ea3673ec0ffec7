// The save-message, send-state and failed-recipient pages, posted as the
// daemon posts them, checked on the reply bytes and on the database file.
#include <gtest/gtest.h>

#include "WasHarness.h"

namespace {

const std::string kOkHeader = bytesOf("\xFE\x00\x00\x00");

class SaveMessagePageTest : public WasLoopbackTest {
protected:
    void SetUp() override {
        WasLoopbackTest::SetUp();
        startWas();
    }

    was_reply_t save(const save_args_t& args) { return post("/was/saveMessage", saveForm(args)); }
    was_reply_t markDelivered(uint32_t msgSeq, const std::string& users,
                              const std::string& joinSeqs) {
        return post("/was/updateMsgSend", Form()
                                              .num("room_id", 17)
                                              .num("msg_seq", msgSeq)
                                              .text("tenant_id", "example.com")
                                              .text("userids", users)
                                              .text("join_seqs", joinSeqs)
                                              .raw("send_yn", "y"));
    }
    was_reply_t failedRecipients(uint32_t msgSeq) {
        return post("/was/sendFailUser", Form()
                                             .num("room_id", 17)
                                             .num("msg_num", msgSeq)
                                             .text("tenant_id", "example.com"));
    }
    std::vector<std::vector<std::string>> recipients(uint32_t msgSeq) {
        return sql("SELECT user_id, join_seq, read_yn, delivered FROM recipients WHERE msg_seq = " +
                   std::to_string(msgSeq) + " ORDER BY user_id");
    }
};

TEST_F(SaveMessagePageTest, MessageBytesAreStoredExactlyZerosIncluded) {
    save_args_t args;
    args.msg = bytesOf("hi\0there %&+\xEA\xB0\x80");
    was_reply_t reply = save(args);

    ASSERT_TRUE(reply.complete);
    EXPECT_EQ(kOkHeader, reply.body);
    auto rows = sql(
        "SELECT room_id, tenant_id, msg_seq, msg_type, msg_time, sender_id, sender_name, "
        "sender_os_type, body, trid, member_count FROM messages");
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ((std::vector<std::string>{"17", "example.com", "1", "1", "1700000000",
                                        "alice@corp.example.com", "Alice", "1", args.msg, "77",
                                        "3"}),
              rows[0]);
}

TEST_F(SaveMessagePageTest, RoomAndMembersComeFromTheRecipientLists) {
    ASSERT_EQ(0, save(save_args_t()).code);

    EXPECT_EQ((std::vector<std::vector<std::string>>{{"17", "example.com", "10", "1", "0"}}),
              sql("SELECT room_id, tenant_id, room_type, max_msg_seq, ended FROM rooms"));
    EXPECT_EQ((std::vector<std::vector<std::string>>{{"alice@corp.example.com", "Alice", "1", "0"},
                                                     {"bob@corp.example.com", "Bob", "2", "0"},
                                                     {"carol@corp.example.com", "Carol", "3", "0"}}),
              sql("SELECT user_id, name, join_seq, has_left FROM members ORDER BY user_id"));
    EXPECT_EQ((std::vector<std::vector<std::string>>{{"alice@corp.example.com", "1", "y", "0"},
                                                     {"bob@corp.example.com", "2", "n", "0"},
                                                     {"carol@corp.example.com", "3", "n", "0"}}),
              recipients(1));
}

TEST_F(SaveMessagePageTest, AttachmentKeepsFileNameSizeAndUrl) {
    save_args_t args;
    args.msg = "";
    args.msgType = 5;
    args.fileName = "report 2024.pdf";
    args.fileSize = 123456;
    args.fileUrl = "https://files.example.com/a?b=c&d=e";
    ASSERT_EQ(0, save(args).code);

    EXPECT_EQ((std::vector<std::vector<std::string>>{
                  {"5", "", "report 2024.pdf", "123456", "https://files.example.com/a?b=c&d=e"}}),
              sql("SELECT msg_type, body, file_name, file_size, file_url FROM messages"));
}

TEST_F(SaveMessagePageTest, RepeatedSaveChangesNothing) {
    ASSERT_EQ(0, save(save_args_t()).code);
    const std::string before = dump();

    was_reply_t again = save(save_args_t());
    EXPECT_EQ(kOkHeader, again.body);
    EXPECT_EQ(before, dump());
}

TEST_F(SaveMessagePageTest, SameSequenceWithOtherContentIsRefusedAndTheFirstKept) {
    ASSERT_EQ(0, save(save_args_t()).code);
    save_args_t other;
    other.msg = "something else";
    was_reply_t reply = save(other);

    EXPECT_EQ(409, reply.code);
    EXPECT_FALSE(reply.errorText.empty());
    EXPECT_EQ((std::vector<std::vector<std::string>>{{"hello"}}), sql("SELECT body FROM messages"));
}

TEST_F(SaveMessagePageTest, ListsShorterThanTheIdsKeepWhatIsKnown) {
    // The daemon builds the join sequence and read lists in bounded buffers.
    Form form;
    form.num("room_id", 17).text("send_user_id", "alice@corp.example.com").num("msg_seq", 1);
    form.text("recv_user_list", "alice@corp.example.com\tbob@corp.example.com");
    form.text("recv_user_join_seq_list", "1").text("read_yn_list", "y");
    ASSERT_EQ(0, post("/was/saveMessage", form).code);

    EXPECT_EQ((std::vector<std::vector<std::string>>{{"alice@corp.example.com", "1", "y", "0"},
                                                     {"bob@corp.example.com", "NULL", "NULL", "0"}}),
              recipients(1));
}

TEST_F(SaveMessagePageTest, DeliveredRecipientsAreMarked) {
    ASSERT_EQ(0, save(save_args_t()).code);
    was_reply_t reply = markDelivered(1, "bob@corp.example.com\tcarol@corp.example.com", "2\t3");

    EXPECT_EQ(kOkHeader, reply.body);
    EXPECT_EQ((std::vector<std::vector<std::string>>{{"alice@corp.example.com", "1", "y", "0"},
                                                     {"bob@corp.example.com", "2", "n", "1"},
                                                     {"carol@corp.example.com", "3", "n", "1"}}),
              recipients(1));
}

TEST_F(SaveMessagePageTest, DeliveryReportedBeforeTheSaveIsKept) {
    ASSERT_EQ(0, markDelivered(1, "bob@corp.example.com", "2").code);
    ASSERT_EQ(0, save(save_args_t()).code);

    EXPECT_EQ((std::vector<std::vector<std::string>>{{"alice@corp.example.com", "1", "y", "0"},
                                                     {"bob@corp.example.com", "2", "n", "1"},
                                                     {"carol@corp.example.com", "3", "n", "0"}}),
              recipients(1));
}

TEST_F(SaveMessagePageTest, FailedRecipientsAreTheUndeliveredOthers) {
    ASSERT_EQ(0, save(save_args_t()).code);
    ASSERT_EQ(0, markDelivered(1, "bob@corp.example.com", "2").code);

    was_reply_t reply = failedRecipients(1);
    ASSERT_EQ(0, reply.code);
    xml_rows_t rows = xmlRows(reply.payload, "send_fail_info");
    ASSERT_TRUE(rows.parsed);
    // room id, message number, trid, user id; the sender is never listed.
    EXPECT_EQ((std::vector<std::vector<std::string>>{{"17", "1", "77", "carol@corp.example.com"}}),
              rows.rows);
}

TEST_F(SaveMessagePageTest, FailedRecipientsOfAnUnknownMessageIsAnEmptyList) {
    was_reply_t reply = failedRecipients(9);
    EXPECT_EQ(404, reply.code);
    xml_rows_t rows = xmlRows(reply.payload, "send_fail_info");
    EXPECT_TRUE(rows.parsed);
    EXPECT_TRUE(rows.rows.empty());
}

TEST_F(SaveMessagePageTest, DumpShowsMessagesWithTheirDeliveryStates) {
    save_args_t args;
    args.msg = bytesOf("a\0b");
    ASSERT_EQ(0, save(args).code);
    ASSERT_EQ(0, markDelivered(1, "bob@corp.example.com", "2").code);

    const std::string text = dump();
    EXPECT_NE(std::string::npos,
              text.find("room 17 tenant \"example.com\" type 10 max_msg_seq 1 last_activity "
                        "2023-11-14T22:13:20Z open\n"));
    EXPECT_NE(std::string::npos, text.find("  member \"bob@corp.example.com\" name \"Bob\" "
                                           "join_seq 2 member\n"));
    EXPECT_NE(std::string::npos, text.find("text \"a\\x00b\"\n"));
    EXPECT_NE(std::string::npos,
              text.find("    to \"bob@corp.example.com\" join_seq 2 read n delivered\n"));
    EXPECT_NE(std::string::npos,
              text.find("    to \"carol@corp.example.com\" join_seq 3 read n not-delivered\n"));
}

}  // namespace
