// The save-message, send-state and failed-recipient pages, posted as the
// daemon posts them, checked on the reply bytes and on the database file.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "WasHarness.h"

namespace {

class SaveMessagePageTest : public WasEngineTest {
protected:
    void SetUp() override {
        WasEngineTest::SetUp();
        startWas();
    }
    Rows recipients(uint32_t msgSeq) {
        return sql("SELECT user_id, join_seq, read_yn, delivered FROM recipients WHERE msg_seq = " +
                   std::to_string(msgSeq) + " ORDER BY user_id");
    }
};

TEST_P(SaveMessagePageTest, EveryFieldIsStoredExactlyZerosIncluded) {
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
TEST_P(SaveMessagePageTest, RepeatedSaveChangesNothingAndOtherContentUnderItsSequenceIsRefused) {
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

TEST_P(SaveMessagePageTest, ListsShorterThanTheIdsKeepWhatIsKnown) {
    // The daemon builds the join sequence and read lists in bounded buffers.
    Form form;
    form.num("room_id", 17).text("send_user_id", "alice@corp.example.com").num("msg_seq", 1);
    form.text("recv_user_list", "alice@corp.example.com\tbob@corp.example.com");
    form.text("recv_user_join_seq_list", "1").text("read_yn_list", "y");
    ASSERT_EQ(0, post("/was/saveMessage", form).code);

    EXPECT_EQ((Rows{{"alice@corp.example.com", "1", "y", "0"}, {"bob@corp.example.com", "NULL", "NULL", "0"}}),
              recipients(1));
}

TEST_P(SaveMessagePageTest, DeliveriesAreMarkedWhenEverTheyCome) {
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

// Daemon threads save one room's messages at once, each listing the members
// it knows, some in common, in an order of its own: every save is done and
// every member is stored once.
TEST_P(SaveMessagePageTest, ConcurrentSavesOfOneRoomKeepEveryMember) {
    const std::vector<std::string> users = {"m0@x.com", "m1@x.com", "m2@x.com", "m3@x.com", "m4@x.com", "m5@x.com"};
    constexpr uint32_t kThreads = 6, kPerThread = 10;
    std::atomic<int> failures{0};
    std::vector<std::thread> senders;
    for (uint32_t t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            for (uint32_t i = 0; i < kPerThread; ++i) {
                save_args_t args;
                args.msgSeq = t * kPerThread + i + 1;
                args.members.resize(1);  // the sender, then three others
                for (uint32_t k : {t + i, t + i + 1, t + i + 3})
                    args.members.push_back({users[k % 6], "U" + std::to_string(k % 6), k % 6 + 2, "n"});
                if (t % 2) std::reverse(args.members.begin(), args.members.end());
                if (save(args).body != kOkHeader) ++failures;
            }
        });
    for (auto& sender : senders) sender.join();

    EXPECT_EQ(0, failures.load());
    Rows expected = {{"alice@corp.example.com", "1"}};
    for (uint32_t k = 0; k < 6; ++k) expected.push_back({users[k], std::to_string(k + 2)});
    EXPECT_EQ(expected, sql("SELECT user_id, join_seq FROM members ORDER BY user_id"));
    EXPECT_EQ((Rows{{"60", "240"}}), sql("SELECT COUNT(DISTINCT msg_seq), COUNT(*) FROM recipients"));
    EXPECT_EQ((Rows{{"60"}}), sql("SELECT max_msg_seq FROM rooms"));
}

INSTANTIATE_TEST_SUITE_P(, SaveMessagePageTest, kWasEngines, wasEngineName);

}  // namespace
