// The send-state task: the result notices a sender receives (bytes, batching,
// splitting, registration for the result ACK), the send-state requests the
// WAS receives, the steps' intervals, the clean-up of message copies, and
// the thread's hand-off to the loop.

#include "tolvex/task/SendStateTask.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "LoopQueue.h"
#include "support/FakeWas.h"
#include "tolvex/util/WasServerTable.h"
#include "tolvex/ack/AckManager.h"
#include "tolvex/chat/JobHandler.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/chat/QuillonJob.h"
#include "tolvex/session/ChatPeerFixture.h"

namespace {

constexpr uint32_t kRoom = 61;
const std::string kSender = "sam@m.xcorp";
const std::string kAnn = "ann@m.xcorp";
const std::string kBen = "ben@m.xcorp";
const std::string kCat = "cat@m.xcorp";
const std::string kUpdatePage = "/was/update_msgsend";

std::string le32(uint32_t v) {
    std::string s;
    putU32(s, v);
    return s;
}

// The recipients a notice body lists, in order; nothing unless the body is
// exactly as long as its count says.
std::optional<std::vector<std::string>> recipientsIn(const std::string& b) {
    std::vector<std::string> ids;
    size_t at = 26;
    const uint32_t count = b.size() >= at ? getU32(b, 22) : 0;
    for (uint32_t i = 0; i < count && at + 2 <= b.size(); ++i) {
        ids.push_back(b.substr(at + 2, getU16(b, at)));
        at += 2 + getU16(b, at);
        at += 2 + getU16(b, at) + 6;  // name, OS type, code
    }
    if (ids.size() != count || at != b.size()) return std::nullopt;
    return ids;
}

int countOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

}  // namespace

class SendStateTaskTest : public ChatPeerFixture {
protected:
    void SetUp() override {
        ChatPeerFixture::SetUp();
        task().clearSendResults();
        AckManager::getInstance().clearAll();
        task().setNowFunction([this] { return m_now; });
        const std::string address = m_was.address();
        g_was.convert2WasInfo(&address, 1);
        g_was.setSize(1);
        m_settings.was_update_msgsend = kUpdatePage;
        QuillonSettings::setForTests(&m_settings);
    }
    void TearDown() override {
        task().stop();
        task().setNowFunction({});
        task().setCycleInterval(std::chrono::seconds(1));
        EXPECT_TRUE(runUntil([] { return JobHandler::liveJobCount() == 0; }));
        QuillonSettings::setForTests(nullptr);
        task().clearSendResults();
        AckManager::getInstance().clearAll();
        ChatPeerFixture::TearDown();
    }

    static SendStateTask& task() { return SendStateTask::getInstance(); }

    // The sender's PC session in a room of the sender and members, joined in
    // this order (join sequences 1, 2, ...).
    ChatPeer& roomWith(const std::vector<std::string>& members) {
        memberJoined(kRoom, kSender);
        for (const std::string& m : members) memberJoined(kRoom, m);
        return joinAs(kSender, kRoom, OS_TYPE_PC);
    }

    // An outcome of message 7 (trid 31, time 1234) from the sender's PC.
    static void add(const std::string& userId, uint32_t code, uint16_t osType = OS_TYPE_PC,
                    const std::string& name = "", uint32_t msgNum = 7) {
        msg_info msg;
        msg.roomId = kRoom;
        msg.msgNum = msgNum;
        msg.trid = 31;
        msg.msgTime = 1234;
        msg.fromOsType = OS_TYPE_PC;
        setMsgText(msg.fromId, msg.fromIdLen, kSender);
        send_result r;
        setMsgText(r.userId, r.userIdLen, userId);
        setMsgText(r.userNameInfo, r.userNameInfoLen, name.empty() ? userId + "-name" : name);
        r.osType = osType;
        r.sendResultCode = code;
        task().addSendResult(keptMsgOf(msg), r);
    }

    // The notice bodies the peer has received (a step pushes on this thread).
    static std::vector<std::string> noticesAt(ChatPeer& peer) {
        std::vector<std::string> got;
        peer.drain();
        for (wire_packet_t p; parseWirePacket(peer.inbox, &p); peer.inbox.erase(0, p.wireSize)) {
            EXPECT_EQ(MSG_RESULT, p.code);
            got.push_back(p.body);
        }
        return got;
    }
    std::vector<FakeWas::Request> updates(size_t count) {
        runUntil([&] { return m_was.requestsTo(kUpdatePage).size() >= count && JobHandler::liveJobCount() == 0; });
        return m_was.requestsTo(kUpdatePage);
    }
    static std::string registeredFor(uint32_t resultSeq) {
        const send_result r = AckManager::getInstance().clearResultAckInfo(kRoom, kSender, 7, resultSeq);
        return std::string(msgText(r.userId, r.userIdLen));
    }

    uint32_t m_now = 1000;  // set while the thread is stopped
    FakeWas m_was;
    ConfigValues m_settings;
};

// The notice's bytes and the update request are checked against the real
// daemon; here: one send line per outcome and the ACK awaited for the notice.
TEST_F(SendStateTaskTest, EachOutcomeIsLoggedAndTheNoticeAwaitsItsAckUnderItsFirstOutcome) {
    ChatPeer& sender = roomWith({kAnn, kBen, kCat});
    add(kBen, SEND_RESULT_SUCCESS, OS_TYPE_MOBILE);
    add(kAnn, SEND_RESULT_SUCCESS);
    add(kCat, SEND_RESULT_NO_SESSION);
    task().doTask(1000);

    ASSERT_EQ(1u, noticesAt(sender).size());
    // One line a notice, its outcomes in arrival order.
    EXPECT_EQ(1, countOf(chatLog(), "S:<<:61:7:MSG_RESULT:" + kSender + ":PC:SUCC:1:" + kBen + "/MOBILE/1," + kAnn +
                                        "/PC/1," + kCat + "/PC/11\n"));
    EXPECT_EQ(1, countOf(chatLog(), ":MSG_RESULT:"));
    EXPECT_EQ(std::optional<size_t>(1), AckManager::getInstance().searchSendResultAckRoom(kRoom, kSender));
    EXPECT_EQ(kBen, registeredFor(1));
}

TEST_F(SendStateTaskTest, OutcomesBeyondOneNoticeAreSplitIntoCompleteNoticesWithTheirOwnNumbers) {
    ChatPeer& sender = roomWith({});
    std::vector<std::string> ids;  // 510 bytes per outcome: 16 fit a notice
    for (int i = 0; i < 40; ++i) {
        ids.push_back("m" + std::to_string(100 + i) + std::string(238, 'x') + "@m.xcorp");
        add(ids.back(), SEND_RESULT_ACK_TIMEOUT, OS_TYPE_PC, std::string(250, 'n'));
    }
    task().doTask(1000);

    std::vector<std::string> listed;
    const std::vector<std::string> got = noticesAt(sender);
    ASSERT_EQ(3u, got.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(i + 1, getU32(got[i], 18)) << "result number of notice " << i;
        const auto ids = recipientsIn(got[i]);
        ASSERT_TRUE(ids) << "notice " << i << " is cut";
        EXPECT_EQ(i < 2 ? 16u : 8u, ids->size());
        listed.insert(listed.end(), ids->begin(), ids->end());
    }
    EXPECT_EQ(ids, listed);
    // Each notice awaits its own ACK, under its first outcome.
    EXPECT_EQ(ids[0], registeredFor(1));
    EXPECT_EQ(ids[16], registeredFor(2));
    EXPECT_EQ(ids[32], registeredFor(3));
}

TEST_F(SendStateTaskTest, UpdateRequestsKeepToTheBodyAndToTheJoinSequencesTheJobReads) {
    const msg_key key = ChatUtil::makeMsgKey(9, 7, kAnn);
    const std::vector<OutPacket> one = SendStateTask::makeUpdatePackets(key, {{kAnn, 2}, {kBen, 13}});
    ASSERT_EQ(1u, one.size());
    EXPECT_EQ(WAS_JOB, one[0].packet().m_h.code);
    EXPECT_EQ(le32(9) + le32(7) + le32(5) + "xcorp" + le32(23) + kAnn + "\t" + kBen + le32(4) + "2\t13",
              std::string(one[0].body().begin(), one[0].body().end()));

    // 200 ten-digit join sequences (93 fit 1,023 bytes); 300 ids of 256
    // bytes (about 250 fit 65,535).
    std::vector<update_member_t> longSeqs;
    std::vector<update_member_t> longIds;
    for (uint32_t i = 0; i < 300; ++i) {
        if (i < 200) longSeqs.push_back({"u" + std::to_string(i), 4000000000u + i});
        longIds.push_back({std::to_string(1000 + i) + std::string(244, 'y') + "@m.xcorp", 7});
    }
    for (const auto& members : {longSeqs, longIds}) {
        std::string users;
        std::string seqs;
        const std::vector<OutPacket> parts = SendStateTask::makeUpdatePackets(key, members);
        ASSERT_GT(parts.size(), 1u);
        for (const OutPacket& pk : parts) {
            const std::string b(pk.body().begin(), pk.body().end());
            ASSERT_LE(b.size(), 65535u);
            const uint32_t userLen = getU32(b, 17);
            const uint32_t seqLen = getU32(b, 21 + userLen);
            EXPECT_LE(seqLen, 1023u);
            ASSERT_EQ(b.size(), 25 + userLen + seqLen);
            users += (users.empty() ? "" : "\t") + b.substr(21, userLen);
            seqs += (seqs.empty() ? "" : "\t") + b.substr(25 + userLen, seqLen);
        }
        std::string wantUsers;
        std::string wantSeqs;
        for (const update_member_t& m : members) {
            wantUsers += (wantUsers.empty() ? "" : "\t") + m.userId;
            wantSeqs += (wantSeqs.empty() ? "" : "\t") + std::to_string(m.joinSeq);
        }
        EXPECT_EQ(wantUsers, users);
        EXPECT_EQ(wantSeqs, seqs);
    }
}

TEST_F(SendStateTaskTest, DeliveredMemberNoLongerInTheRoomIsLoggedAndLeftOut) {
    roomWith({kAnn});
    add("gone@m.xcorp", SEND_RESULT_SUCCESS);
    add(kAnn, SEND_RESULT_SUCCESS);
    task().doTask(1000);
    ASSERT_EQ(1u, updates(1).size());
    EXPECT_EQ(kAnn, updates(1)[0].field("userids"));
    EXPECT_EQ(1, countOf(commandLog(), "makeUpdatePacket() User is NULL. room_id=61, msg_seq=7, user_id=gone@m.xcorp"));

    add("gone@m.xcorp", SEND_RESULT_SUCCESS);  // nobody left to report: no request
    task().doTask(1003);
    EXPECT_EQ(1u, updates(1).size());
}

TEST_F(SendStateTaskTest, StepsKeepTheirIntervalsAndNothingGoesOutWithoutOutcomes) {
    ChatPeer& sender = roomWith({kAnn});
    task().doTask(1000);
    EXPECT_TRUE(noticesAt(sender).empty());
    EXPECT_EQ(0, JobHandler::liveJobCount());

    add(kAnn, SEND_RESULT_SUCCESS);
    task().doTask(1001);
    EXPECT_TRUE(noticesAt(sender).empty());
    task().doTask(1002);  // notices every 2 s
    EXPECT_EQ(1u, noticesAt(sender).size());
    EXPECT_EQ(0, JobHandler::liveJobCount());
    task().doTask(1003);  // updates every 3 s
    EXPECT_EQ(1u, updates(1).size());
}

TEST_F(SendStateTaskTest, MessageCopyGoesAMinuteAfterItsLastOutcomeAndComesBackWithTheNext) {
    ChatPeer& sender = roomWith({kAnn});
    add(kAnn, SEND_RESULT_SUCCESS);
    task().doClearMsgInfo(5000);  // its outcome still waits for the notice
    EXPECT_EQ(1u, task().keptMsgInfoCount());
    task().doResponseToFromUser();

    m_now = 1029;
    add(kAnn, SEND_RESULT_ACK_TIMEOUT);
    task().doResponseToFromUser();
    task().doClearMsgInfo(1088);
    EXPECT_EQ(1u, task().keptMsgInfoCount());
    task().doClearMsgInfo(1089);
    EXPECT_EQ(0u, task().keptMsgInfoCount());

    add(kAnn, SEND_RESULT_SUCCESS);
    task().doResponseToFromUser();
    const std::vector<std::string> got = noticesAt(sender);
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(le32(kRoom) + le32(7) + le32(31) + le32(1234), got[2].substr(0, 16));
    EXPECT_EQ(0, countOf(commandLog(), "msg_info is NULL"));
}

// A pass of thousands of notices leaves the loop to its sockets between
// slices, and still sends every notice once, in message order.
TEST_F(SendStateTaskTest, ABigPassOfNoticesGoesOutInSlicesInOrder) {
    ChatPeer& sender = roomWith({kAnn});
    LoopQueue loop;
    constexpr uint32_t kMessages = 3000;
    for (uint32_t n = 1; n <= kMessages; ++n) add(kAnn, SEND_RESULT_NO_SESSION, OS_TYPE_PC, "", n);
    task().doTask(1000);

    ASSERT_EQ(1u, loop.runQueued());
    std::vector<std::string> got = noticesAt(sender);
    EXPECT_GT(got.size(), 0u);
    EXPECT_LT(got.size(), kMessages) << "the whole pass ran as one task";
    loop.drain();
    ASSERT_TRUE(runUntil([&] {
        for (std::string& body : noticesAt(sender)) got.push_back(std::move(body));
        return got.size() >= kMessages;
    }));
    ASSERT_EQ(kMessages, got.size());
    for (uint32_t n = 1; n <= kMessages; ++n) ASSERT_EQ(n, getU32(got[n - 1], 4)) << "notice " << n;
}

TEST_F(SendStateTaskTest, ThreadLeavesThePushToTheLoopAndStopsOnRequest) {
    ChatPeer& sender = roomWith({kAnn});
    LoopQueue loop;
    add(kAnn, SEND_RESULT_NO_SESSION);  // the clock stands still: the first pass must find it
    task().setCycleInterval(std::chrono::milliseconds(5));
    ASSERT_TRUE(task().start());
    ASSERT_TRUE(runUntil([] { return SendStateTask::getInstance().getSendResults().empty(); }));
    EXPECT_TRUE(noticesAt(sender).empty());

    size_t pushed = 0;
    EXPECT_TRUE(runUntil([&] {
        loop.drain();
        pushed += noticesAt(sender).size();
        return pushed == 1;
    }));
    task().stop();
    EXPECT_FALSE(task().isRunning());
}
