// Writes that share a commit, posted as the daemon posts them: each keeps
// its own reply and effect, and a reply means the write is there to read.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "WasHarness.h"

namespace {

// A reply means the write is there to read, on either engine.
class BatchedWritesTest : public WasEngineTest {};

// Batching on (the default) and off.
class ConcurrentSavesTest : public WasLoopbackTest, public ::testing::WithParamInterface<int> {};

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
    EXPECT_EQ((Rows{{"120", "120"}}), sql("SELECT COUNT(*), SUM(CAST(body AS TEXT) = 'message ' || (room_id - 100) "
                                          "|| '/' || (msg_seq - 1)) FROM messages"));
    EXPECT_EQ((Rows{{"360"}}), sql("SELECT COUNT(*) FROM recipients"));
    EXPECT_EQ((Rows{{"8", "15"}}), sql("SELECT COUNT(*), MIN(max_msg_seq) FROM rooms"));
}

INSTANTIATE_TEST_SUITE_P(CommitWindow, ConcurrentSavesTest, ::testing::Values(500, 0));

TEST_P(BatchedWritesTest, AWriteAnsweredBeforeAReadIsSeenByIt) {
    startWas();
    // The highest message number of room 17, once per member row, as the reload page answers it.
    auto reloadedMaxMsgSeqs = [&] {
        std::vector<std::string> values;
        for (const auto& row : xmlRows(loadRoom(17).payload, "room").rows) values.push_back(row.at(4));
        return values;
    };
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
        EXPECT_EQ(0, markDelivered(seq, "bob@corp.example.com", "2").code);
        EXPECT_EQ((Rows{{"17", std::to_string(seq), "77", "carol@corp.example.com"}}), failedRecipients(seq)) << seq;
    }
    done = true;
    background.join();
}

INSTANTIATE_TEST_SUITE_P(, BatchedWritesTest, kWasEngines, wasEngineName);

}  // namespace
