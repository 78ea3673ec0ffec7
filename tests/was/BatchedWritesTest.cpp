// Writes that share a commit, posted as the daemon posts them: each keeps
// its own reply and effect, and a reply means the write is there to read.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "WasHarness.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

const std::string kOkHeader = bytesOf("\xFE\x00\x00\x00");

class BatchedWritesTest : public WasLoopbackTest {
protected:
    was_reply_t save(const save_args_t& args) { return post("/was/saveMessage", saveForm(args)); }
    was_reply_t markDelivered(uint32_t msgSeq, const std::string& user, uint32_t joinSeq) {
        return post("/was/updateMsgSend", Form()
                                              .num("room_id", 17)
                                              .num("msg_seq", msgSeq)
                                              .text("tenant_id", "example.com")
                                              .text("userids", user)
                                              .num("join_seqs", joinSeq));
    }
    was_reply_t endRoom(uint32_t roomId) {
        return post("/was/endRoom",
                    Form().num("room_id", roomId).text("tenant_id", "example.com"));
    }
    // The highest message number of room 17, once per member row, as the
    // reload page answers it.
    std::vector<std::string> reloadedMaxMsgSeqs() {
        was_reply_t reply =
            post("/was/loadRoom", Form().num("room_id", 17).text("tenant_id", "example.com"));
        std::vector<std::string> values;
        for (const auto& row : xmlRows(reply.payload, "room").rows) values.push_back(row.at(4));
        return values;
    }
    std::vector<std::string> failedRecipients(uint32_t msgSeq) {
        was_reply_t reply = post("/was/sendFailUser", Form()
                                                          .num("room_id", 17)
                                                          .num("msg_num", msgSeq)
                                                          .text("tenant_id", "example.com"));
        std::vector<std::string> users;
        for (const auto& row : xmlRows(reply.payload, "send_fail_info").rows)
            users.push_back(row.at(3));
        return users;
    }
};

// Batching on (the default) and off.
class ConcurrentSavesTest : public BatchedWritesTest,
                            public ::testing::WithParamInterface<int> {};

TEST_P(ConcurrentSavesTest, EachSaveIsStoredOnceAndAnsweredAsDone) {
    startWas(was_server_settings_t(), commit_settings_t{std::chrono::microseconds(GetParam()), 64});
    constexpr int kThreads = 8;
    constexpr int kPerThread = 15;
    std::atomic<int> wrongReplies{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                save_args_t args;
                args.roomId = 100 + static_cast<uint32_t>(t);
                args.msgSeq = static_cast<uint32_t>(i + 1);
                args.msg = "message " + std::to_string(t) + "/" + std::to_string(i);
                // The daemon repeats a save it got no reply to; both are done.
                for (int repeat = 0; repeat < 2; ++repeat)
                    if (save(args).body != kOkHeader) ++wrongReplies;
            }
        });
    for (auto& sender : senders) sender.join();

    EXPECT_EQ(0, wrongReplies.load());
    EXPECT_EQ((Rows{{"120", "120"}}),
              sql("SELECT COUNT(*), SUM(CAST(body AS TEXT) = "
                  "'message ' || (room_id - 100) || '/' || (msg_seq - 1)) FROM messages"));
    EXPECT_EQ((Rows{{"360"}}), sql("SELECT COUNT(*) FROM recipients"));
    EXPECT_EQ((Rows{{"8", "15"}}), sql("SELECT COUNT(*), MIN(max_msg_seq) FROM rooms"));
}

INSTANTIATE_TEST_SUITE_P(CommitWindow, ConcurrentSavesTest, ::testing::Values(500, 0));

TEST_F(BatchedWritesTest, RefusedRequestsInABatchUndoNothingOfTheOthers) {
    startWas();
    ASSERT_EQ(0, save(save_args_t()).code);
    stopWas();
    // A window far longer than the test: the batch closes when all four are
    // in, so none of them is answered unless they commit together.
    startWas(was_server_settings_t(), commit_settings_t{std::chrono::seconds(60), 4});
    save_args_t conflicting;
    conflicting.msg = "other content";
    save_args_t next;
    next.msgSeq = 2;
    next.msg = "second";
    std::vector<int> codes(4, -1);
    std::vector<std::thread> requests;
    requests.emplace_back([&] { codes[0] = save(conflicting).code; });
    requests.emplace_back([&] { codes[1] = endRoom(18).code; });
    requests.emplace_back([&] { codes[2] = save(next).code; });
    requests.emplace_back([&] { codes[3] = markDelivered(1, "bob@corp.example.com", 2).code; });
    for (auto& request : requests) request.join();

    EXPECT_EQ((std::vector<int>{409, 404, 0, 0}), codes);
    EXPECT_EQ((Rows{{"1", "hello"}, {"2", "second"}}),
              sql("SELECT msg_seq, body FROM messages ORDER BY msg_seq"));
    EXPECT_EQ((Rows{{"bob@corp.example.com"}}),
              sql("SELECT user_id FROM recipients WHERE msg_seq = 1 AND delivered = 1"));
}

TEST_F(BatchedWritesTest, AWriteAnsweredBeforeAReadIsSeenByIt) {
    startWas();
    // Other rooms keep the writer and the read connections busy meanwhile.
    std::atomic<bool> done{false};
    std::thread background([&] {
        save_args_t other;
        other.roomId = 99;
        while (!done) {
            ++other.msgSeq;
            save(other);
        }
    });
    for (uint32_t seq = 1; seq <= 20; ++seq) {
        save_args_t args;
        args.msgSeq = seq;
        EXPECT_EQ(0, save(args).code);
        EXPECT_EQ(std::vector<std::string>(3, std::to_string(seq)), reloadedMaxMsgSeqs()) << seq;
        EXPECT_EQ(0, markDelivered(seq, "bob@corp.example.com", 2).code);
        EXPECT_EQ(std::vector<std::string>{"carol@corp.example.com"}, failedRecipients(seq)) << seq;
    }
    done = true;
    background.join();
}

}  // namespace
