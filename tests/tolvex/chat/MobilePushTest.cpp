// Who is pushed for a message, how often, and what the push requests hold:
// judged by the selection, the request bodies, what the fake WAS receives
// and which relay ACKs the replies stand in for.

#include "tolvex/chat/MobilePush.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "ChatRoomFixture.h"
#include "tolvex/util/Globals.h"
#include "tolvex/ack/AckManager.h"
#include "tolvex/ack/SendMsgDetail.h"
#include "tolvex/chat/MsgText.h"
#include "tolvex/chat/OutPacket.h"
#include "tolvex/chat/QuillonJob.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/task/SendStateTask.h"
#include "tolvex/util/ChatCodes.h"

namespace {

const std::string kSender = "sam@m.acme";
const std::string kAnn = "ann@m.acme";
const std::string kBen = "ben@m.acme";
const std::string kCid = "cid@m.acme";

// The fields of one push request body, in wire order.
struct push_body_t {
    uint32_t roomId = 0;
    std::string fromId;
    std::string fromName;
    std::string msg;
    uint32_t msgNum = 0;
    uint8_t msgType = 0;
    uint32_t msgTime = 0;
    std::string recipients;
    std::string serviceIp;
    uint32_t servicePort = 0;
    uint32_t memberCount = 0;
    size_t leftOver = 0;
};

push_body_t readPushBody(const OutPacket& pk) {
    BodyReader r(std::string(pk.body().begin(), pk.body().end()));
    push_body_t b;
    b.roomId = r.u32();
    b.fromId = r.str16();
    b.fromName = r.str16();
    b.msg = r.str16();
    b.msgNum = r.u32();
    b.msgType = r.u8();
    b.msgTime = r.u32();
    b.recipients = r.str16();
    b.serviceIp = r.str16();
    b.servicePort = r.u32();
    b.memberCount = r.u32();
    b.leftOver = r.remaining();
    return b;
}

std::vector<std::string> splitIds(const std::string& text) {
    std::vector<std::string> ids;
    size_t from = 0;
    for (;;) {
        const size_t comma = text.find(',', from);
        ids.push_back(text.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
        if (comma == std::string::npos) return ids;
        from = comma + 1;
    }
}

}  // namespace

class MobilePushTest : public ChatRoomFixture {
protected:
    void SetUp() override {
        ChatRoomFixture::SetUp();
        g_service_port = 7100;
        setPushLimit(-1);
        AckManager::getInstance().clearAll();
        SendStateTask::getInstance().clearSendResults();
        m_room = freshRoomId();
        addMembers({kSender, kAnn, kBen, kCid});
    }
    void TearDown() override {
        AckManager::getInstance().clearAll();
        SendStateTask::getInstance().clearSendResults();
        ChatRoomFixture::TearDown();
    }

    void setPushLimit(int limit) {
        ConfigValues settings = *QuillonSettings::values();
        settings.push_alarm_count = limit;
        QuillonSettings::setForTests(&settings);
    }

    void addMembers(const std::vector<std::string>& ids) {
        RoomManager& rooms = RoomManager::getInst();
        rooms.addRoom(m_room, kSender);
        for (const std::string& id : ids) rooms.addRoomUser(m_room, id, id + " name");
    }

    void lastDevices(const std::string& userId, uint16_t lastSend, uint16_t lastJoin) {
        User* user = RoomManager::getInst().getRoomUser(m_room, userId);
        ASSERT_NE(nullptr, user) << userId;
        user->setLastSendActionOsType(lastSend);
        user->setLastJoinOsType(lastJoin);
    }

    // The members selected for message msgNum out of candidates.
    std::vector<std::string> select(const std::list<std::string>& candidates, uint32_t msgNum = 5) {
        push_data data;
        const bool any = MobilePush::reSelectPushUsers(m_room, msgNum, kSender, candidates, &data);
        EXPECT_EQ(any, !data.userIds.empty());
        return data.userIds;
    }

    uint32_t pushCountOf(const std::string& userId) { return RoomManager::getInst().getPushAlarmCount(m_room, userId); }

    msg_info message(uint32_t msgNum) const {
        msg_info m;
        m.roomId = m_room;
        setMsgText(m.fromId, m.fromIdLen, kSender);
        setMsgText(m.fromIdTalkName, m.fromIdTalkNameLen, "Sam");
        setMsgText(m.msg, m.msgLen, "sealed text");
        m.msgNum = msgNum;
        m.msgType = MSG_TALK;
        m.msgTime = 1700000001;
        m.memberCount = 4;
        return m;
    }

    static push_data recipients(const std::vector<std::string>& ids) {
        push_data data;
        data.fromId = kSender;
        data.userIds = ids;
        return data;
    }

    uint32_t m_room = 0;
};

// ---- selection ----

TEST_F(MobilePushTest, SenderAndMembersLastActiveOnAPcAreNotSelected) {
    lastDevices(kAnn, OS_TYPE_PC, OS_TYPE_PC);      // reads on the PC
    lastDevices(kBen, OS_TYPE_PC, OS_TYPE_MOBILE);  // sent from the PC, joined from the mobile
    const std::string stranger = "zed@m.acme";      // not a member

    EXPECT_EQ((std::vector<std::string>{kBen, kCid}), select({kSender, kAnn, kBen, kCid, stranger}, 9));
    EXPECT_EQ(0u, pushCountOf(kSender));
    EXPECT_EQ(0u, pushCountOf(kAnn));
    EXPECT_EQ(1u, pushCountOf(kBen));
    EXPECT_EQ(1u, pushCountOf(kCid));
    EXPECT_EQ(1, countOf(chatLog(), ":9:MSG_RELAY:" + kBen + ":MOBILE:SUCC:NPUSH")) << chatLog();
    EXPECT_EQ(1, countOf(chatLog(), ":9:MSG_RELAY:" + kCid + ":MOBILE:SUCC:NPUSH")) << chatLog();
    EXPECT_EQ(0, countOf(chatLog(), kAnn + ":MOBILE")) << chatLog();
}

TEST_F(MobilePushTest, LimitOfThreeSkipsTheFourthPushUntilAMobileJoin) {
    setPushLimit(3);
    for (uint32_t n = 1; n <= 3; ++n) EXPECT_EQ((std::vector<std::string>{kAnn}), select({kAnn}, n)) << n;
    EXPECT_TRUE(select({kAnn}, 4).empty());
    EXPECT_EQ(3u, pushCountOf(kAnn));

    MobilePush::resetPushCount(m_room, kAnn, OS_TYPE_PC);
    EXPECT_TRUE(select({kAnn}, 5).empty()) << "a PC join does not reset the count";

    MobilePush::resetPushCount(m_room, kAnn, OS_TYPE_MOBILE);
    EXPECT_EQ((std::vector<std::string>{kAnn}), select({kAnn}, 6));
    EXPECT_EQ(1u, pushCountOf(kAnn));
}

// ---- request bodies ----

TEST_F(MobilePushTest, RecipientsBeyondOneBodyAreSplitIntoCompleteBodies) {
    std::vector<std::string> ids;
    for (int i = 0; i < 400; ++i) ids.push_back(std::string(240, 'u') + std::to_string(i) + "@m.acme");
    msg_info m = message(21);
    m.msgLen = MAX_MSG_LEN;  // the longest message a client can send
    std::memset(m.msg, 'x', MAX_MSG_LEN);

    const std::vector<OutPacket> bodies = MobilePush::makeNpushPackets(m, recipients(ids));
    ASSERT_GE(bodies.size(), 3u);
    std::vector<std::string> named;
    for (const OutPacket& pk : bodies) {
        EXPECT_LE(pk.body().size(), static_cast<size_t>(MobilePush::kPushBodyCapacity));
        const push_body_t b = readPushBody(pk);
        EXPECT_EQ(0u, b.leftOver);
        EXPECT_EQ(21u, b.msgNum);
        EXPECT_EQ(std::string(MAX_MSG_LEN, 'x'), b.msg);
        EXPECT_EQ(4u, b.memberCount) << "the last field is present";
        for (const std::string& id : splitIds(b.recipients)) named.push_back(id);
    }
    EXPECT_EQ(ids, named) << "every id once, whole, in order";
}

// ---- jobs and replies ----

TEST_F(MobilePushTest, SplitPushGoesOutAsOneJobPerRequest) {
    std::vector<std::string> ids;
    for (int i = 0; i < 300; ++i) ids.push_back(std::string(200, 'v') + std::to_string(i) + "@m.acme");
    addMembers(ids);
    const std::list<std::string> candidates(ids.begin(), ids.end());
    const msg_info m = message(30);

    MobilePush::pushToMobile(&m, candidates, nullptr);

    ASSERT_TRUE(jobsSettled());
    const std::vector<FakeWas::Request> pushes = m_was.requestsTo(kMobilePushPage);
    ASSERT_GE(pushes.size(), 2u);
    std::vector<std::string> named;
    for (const FakeWas::Request& r : pushes) {
        EXPECT_EQ("30", r.field("msgSeq"));
        EXPECT_EQ(kSender, r.field("senderId"));
        EXPECT_EQ("4", r.field("mbCnt"));
        for (const std::string& id : splitIds(r.field("userid"))) named.push_back(id);
    }
    std::sort(named.begin(), named.end());
    std::vector<std::string> expected = ids;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, named);
    EXPECT_EQ(1u, pushCountOf(ids.front()));
}

TEST_F(MobilePushTest, ReplyAnswersOnlyForTheRecipientsItsRequestNamed) {
    awaitMobileAcks(m_room, 12, kSender, {kAnn, kBen});
    m_was.setReply(kMobilePushPage,
                   {200, FakeWas::resultHeader(0) + "<results>"
                             "<result room_id=\"" + std::to_string(m_room) + "\" msg_num=\"12\" to_id=\"" + kAnn +
                             "\" code=\"0\" msg=\"ok\"/>"
                             "<result room_id=\"" + std::to_string(m_room) + "\" msg_num=\"12\" to_id=\"" + kBen +
                             "\" code=\"0\" msg=\"ok\"/>"
                             "</results>"});
    const msg_info m = message(12);
    MobilePush::pushToMobile(&m, {kAnn}, nullptr);

    ASSERT_TRUE(runUntil([&] { return outcomeOf(kAnn) != 0; }, 3000)) << commandLog();
    ASSERT_TRUE(jobsSettled());
    EXPECT_EQ(SEND_RESULT_SUCCESS, outcomeOf(kAnn));
    EXPECT_EQ(0u, outcomeOf(kBen)) << "ben was not asked for";
    EXPECT_EQ(1u, AckManager::getInstance().getExpectAckCount(m_room, kBen, 12));
    EXPECT_NE(std::string::npos, commandLog().find("not asked by this request, ignored: roomId=" +
                                                    std::to_string(m_room) + ", msgSeq=12, to_id=" + kBen))
        << commandLog();
}
