// The per-message delivery accounting: what a message owes once it is
// acknowledged, in whatever order relays, notices and the MSG_ACK arrive.
// A slip here makes every benchmark figure lie.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench/BenchRoster.h"
#include "bench/DeliveryLedger.h"

namespace {

using Mark = bench::DeliveryLedger::Mark;

class DeliveryLedgerTest : public ::testing::Test {
protected:
    // Room 0 has four members (m0 sends), room 1 two.
    static std::vector<bench::room_plan_t> roster() {
        std::vector<bench::room_plan_t> rooms(2);
        for (int m = 0; m < 4; ++m) rooms[0].members.push_back({"r0m" + std::to_string(m), "", 1, m == 0});
        for (int m = 0; m < 2; ++m) rooms[1].members.push_back({"r1m" + std::to_string(m), "", 1, m == 0});
        return rooms;
    }

    // Relays message msgNum of room 0 to members 1..3 and reports them.
    void deliverFully(uint32_t msgNum) {
        for (size_t m = 1; m <= 3; ++m) EXPECT_EQ(Mark::kFirst, m_ledger.relayed(0, msgNum, m));
        for (const char* id : {"r0m1", "r0m2", "r0m3"}) EXPECT_EQ(Mark::kFirst, m_ledger.reported(0, msgNum, id));
    }

    bench::DeliveryLedger m_ledger{roster()};
};

TEST_F(DeliveryLedgerTest, AcceptedMessageOwesOneRelayAndOneReportPerOtherMember) {
    m_ledger.accepted(0, 1, 0);
    m_ledger.accepted(1, 1, 0);  // numbered alike in another room: kept apart
    EXPECT_EQ(2u, m_ledger.acceptedMessages());
    EXPECT_EQ(4u, m_ledger.expectedRelays());
    EXPECT_EQ(4u, m_ledger.lostRelays());
    EXPECT_DOUBLE_EQ(0.0, m_ledger.reportedShare());

    for (size_t m = 1; m <= 3; ++m) m_ledger.relayed(0, 1, m);
    EXPECT_EQ(1u, m_ledger.lostRelays());
    // Reports may come in several notices: complete only with the last member.
    m_ledger.reported(0, 1, "r0m1");
    m_ledger.reported(0, 1, "r0m2");
    EXPECT_EQ(0u, m_ledger.completeReports());
    m_ledger.reported(0, 1, "r0m3");
    EXPECT_EQ(1u, m_ledger.completeReports());
    EXPECT_DOUBLE_EQ(0.5, m_ledger.reportedShare());
}

TEST_F(DeliveryLedgerTest, RelaysAndReportsBeforeTheAckCountOnceItComesExceptTheSenders) {
    m_ledger.relayed(0, 7, 0);
    m_ledger.reported(0, 7, "r0m0");
    deliverFully(7);
    EXPECT_EQ(0u, m_ledger.expectedRelays());
    EXPECT_EQ(4u, m_ledger.orphanRelays());  // the sender's too, until the ACK names it
    EXPECT_EQ(4u, m_ledger.orphanReports());

    m_ledger.accepted(0, 7, 0);
    EXPECT_EQ(3u, m_ledger.deliveredRelays());
    EXPECT_EQ(0u, m_ledger.lostRelays());
    EXPECT_EQ(1u, m_ledger.completeReports());
    EXPECT_EQ(0u, m_ledger.orphanRelays());
    EXPECT_EQ(0u, m_ledger.orphanReports());
    // Finished and forgotten: a late copy is an orphan, not a delivery.
    m_ledger.relayed(0, 7, 1);
    EXPECT_EQ(1u, m_ledger.orphanRelays());
    EXPECT_EQ(3u, m_ledger.deliveredRelays());
}

TEST_F(DeliveryLedgerTest, DuplicatesAndStrangersAreCountedApartAndDoNotHideALoss) {
    m_ledger.accepted(0, 2, 0);
    EXPECT_EQ(Mark::kFirst, m_ledger.relayed(0, 2, 1));
    EXPECT_EQ(Mark::kDuplicate, m_ledger.relayed(0, 2, 1));
    EXPECT_EQ(Mark::kFirst, m_ledger.relayed(0, 2, 2));
    EXPECT_EQ(Mark::kStranger, m_ledger.relayed(0, 2, 0));  // the sender
    EXPECT_EQ(Mark::kStranger, m_ledger.relayed(0, 2, 9));
    EXPECT_EQ(Mark::kStranger, m_ledger.relayed(5, 2, 1));
    EXPECT_EQ(Mark::kStranger, m_ledger.reported(0, 2, "r1m1"));
    // Five relays arrived for three owed, yet member 3 never got one.
    EXPECT_EQ(1u, m_ledger.lostRelays());
    EXPECT_EQ(1u, m_ledger.duplicateRelays());

    EXPECT_EQ(Mark::kFirst, m_ledger.reported(0, 2, "r0m1"));
    EXPECT_EQ(Mark::kDuplicate, m_ledger.reported(0, 2, "r0m1"));
    EXPECT_EQ(1u, m_ledger.duplicateReports());
    EXPECT_EQ(0u, m_ledger.completeReports());
}

TEST_F(DeliveryLedgerTest, RelaysOwedToADepartedMemberAreCountedApartNotLost) {
    m_ledger.accepted(0, 1, 0);
    m_ledger.relayed(0, 1, 3);  // reached member 3 before it went
    m_ledger.accepted(0, 2, 0);
    m_ledger.departed(0, 3);
    m_ledger.departed(0, 3);
    m_ledger.accepted(0, 3, 0);
    for (uint32_t msg = 1; msg <= 3; ++msg) {
        m_ledger.relayed(0, msg, 1);
        for (const char* id : {"r0m1", "r0m2", "r0m3"}) m_ledger.reported(0, msg, id);
    }
    // Member 2 never got any of them: that is a loss.
    EXPECT_EQ(3u, m_ledger.lostRelays());
    EXPECT_EQ(2u, m_ledger.departedRelays());
    for (uint32_t msg = 1; msg <= 3; ++msg) m_ledger.relayed(0, msg, 2);
    EXPECT_EQ(0u, m_ledger.lostRelays());
}

}  // namespace
