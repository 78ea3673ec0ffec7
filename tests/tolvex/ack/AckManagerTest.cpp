// The registry of expected relay ACKs: registration, the timeout scan that
// takes messages out, and room removal.

#include "tolvex/ack/AckManager.h"

#include <gtest/gtest.h>

#include <string>

#include "AckFixture.h"

namespace {

const std::string kSender = "sam@m.xcorp";
const std::string kAnn = "ann@m.xcorp";
const std::string kOther = "olga@m.yorg";  // another tenant

}  // namespace

class AckManagerTest : public AckFixture {
protected:
    static AckManager& acks() { return AckManager::getInstance(); }

    static std::vector<std::pair<uint32_t, uint32_t>> takeTimedOut(int timeoutSec, time_t now) {
        std::vector<std::pair<uint32_t, uint32_t>> taken;
        for (const auto& d : acks().getTimeoutList(timeoutSec, now)) taken.emplace_back(d->getRoomId(), d->getMsgNum());
        return taken;
    }
};

TEST_F(AckManagerTest, SenderNeverOwesAnAck) {
    expectAcks(1, 5, kSender, {{kSender, {OS_TYPE_MOBILE}}, {kAnn, {OS_TYPE_PC}}});
    const auto detail = acks().getSendMsgDetail(1, kAnn, 5);
    ASSERT_TRUE(detail.has_value());
    EXPECT_EQ(1u, detail->getUserSize());
    EXPECT_EQ(0u, acks().getExpectAckCount(1, kSender, 5));
}

TEST_F(AckManagerTest, SecondRegistrationOfANumberKeepsTheFirst) {
    expectAcks(1, 5, kSender, {{kAnn, {OS_TYPE_PC}}}, 1000, 1);
    expectAcks(1, 5, kSender, {{kAnn, {OS_TYPE_PC, OS_TYPE_MOBILE}}}, 1000, 2);
    EXPECT_EQ(1u, acks().getSendMsgDetail(1, kAnn, 5)->getTrid());
    EXPECT_EQ(1u, acks().getExpectAckCount(1, kAnn, 5));
}

TEST_F(AckManagerTest, TimeoutScanTakesOutOnlyOverdueMessagesInRoomThenNumberOrder) {
    expectAcks(2, 9, kSender, {{kAnn, {OS_TYPE_PC}}}, 100);
    expectAcks(1, 4, kSender, {{kAnn, {OS_TYPE_PC}}}, 100);
    expectAcks(1, 3, kSender, {{kAnn, {OS_TYPE_PC}}}, 101);
    expectAcks(1, 6, kSender, {{kAnn, {OS_TYPE_PC}}}, 106);

    EXPECT_TRUE(takeTimedOut(10, 109).empty());
    const auto taken = takeTimedOut(10, 111);
    EXPECT_EQ((std::vector<std::pair<uint32_t, uint32_t>>{{1, 3}, {1, 4}, {2, 9}}), taken);
    // Taken out: a relay ACK no longer finds them.
    EXPECT_FALSE(acks().getSendMsgDetail(1, kAnn, 4).has_value());
    EXPECT_EQ(1u, acks().pendingMessageCount());
}

TEST_F(AckManagerTest, TimeoutOfZeroTakesEverythingAtTheNextScan) {
    expectAcks(1, 1, kSender, {{kAnn, {OS_TYPE_PC}}}, 500);
    expectAcks(1, 2, kSender, {{kAnn, {OS_TYPE_PC}}}, 500);
    EXPECT_EQ(2u, takeTimedOut(0, 500).size());
    EXPECT_EQ(0u, acks().pendingMessageCount());
}

TEST_F(AckManagerTest, RoomsOfDifferentTenantsAreApart) {
    expectAcks(1, 1, kSender, {{kAnn, {OS_TYPE_PC}}});
    expectAcks(1, 1, kOther, {{"pat@m.yorg", {OS_TYPE_PC}}});
    acks().clearAckExpectRoom(1, "xcorp");

    EXPECT_FALSE(acks().getSendMsgDetail(1, kAnn, 1).has_value());
    EXPECT_TRUE(acks().getSendMsgDetail(1, "pat@m.yorg", 1).has_value());
    EXPECT_EQ(1, countOf(commandLog(), "ACK_CLEAR_ROOM:1, xcorp"));
    EXPECT_TRUE(outcomes().empty());
}

TEST_F(AckManagerTest, ClearingTheLastMemberDropsTheMessage) {
    expectAcks(1, 1, kSender, {{kAnn, {OS_TYPE_PC, OS_TYPE_MOBILE}}});
    acks().clearAckExpectUser(1, kAnn, 1, OS_TYPE_MOBILE);
    EXPECT_EQ(1u, acks().pendingMessageCount());
    acks().clearAckExpectUser(1, kAnn, 1, OS_TYPE_PC);
    EXPECT_EQ(0u, acks().pendingMessageCount());
}

TEST(SendMsgDetailTest, RemovingAnOsTypeDropsOnlyItsFirstListing) {
    SendMsgDetail d;
    d.setUserList({{"a", {OS_TYPE_PC, OS_TYPE_MOBILE, OS_TYPE_PC}}});
    d.removeUserOsType("a", OS_TYPE_PC);
    EXPECT_EQ((std::list<uint16_t>{OS_TYPE_MOBILE, OS_TYPE_PC}), d.getUserList().at("a"));
    d.removeUserOsType("nobody", OS_TYPE_PC);
    d.removeUserOsType("a", OS_TYPE_MOBILE);
    d.removeUserOsType("a", OS_TYPE_PC);
    EXPECT_EQ(0u, d.getUserSize());
    EXPECT_EQ(0u, d.getRemainAckCount("a"));
}
