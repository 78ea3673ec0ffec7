#include "p2p/P2PHeader.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "PacketBytes.h"
#include "p2p/P2PPacket.h"

namespace {

using pbytes::addresses;
using pbytes::hex;

class P2PHeaderTest : public ::testing::Test {
protected:
    // A request header as a peer would send it, decoded the way the session does.
    static p2p_header_t request(uint16_t code, const std::string& vh, uint8_t ver = 2, uint16_t sid = 9) {
        p2p_header_t h{};
        std::string fixed = pbytes::fixedHeader(static_cast<uint16_t>(16 + vh.size()), code, 0, 1, 4242);
        fixed[6] = static_cast<char>(ver);
        fixed[12] = static_cast<char>(sid);
        h.decodeFixed(fixed.data());
        std::memcpy(h.vh, vh.data(), vh.size());
        return h;
    }
};

TEST_F(P2PHeaderTest, NotReadyNoticeHeaderHasExactBytes) {
    P2PPacket p;
    p.m_h.make2(3216, "", 0, "", 0, 0, 0, 0);
    EXPECT_EQ("6C B7 12 00 90 0C 02 00 00 00 00 00 00 00 00 00 00 00", hex(pbytes::wire(p)));
}

TEST_F(P2PHeaderTest, RequestWithoutVhGetsTwoEmptyAddresses) {
    for (const std::string& vh : {std::string(), std::string(1, 'x')}) {
        p2p_header_t res{};
        request(3074, vh).getResHeader(&res);
        EXPECT_EQ(18, res.hlen);
        EXPECT_EQ(std::string(2, '\0'), std::string(res.vh, 2));
    }
}

TEST_F(P2PHeaderTest, AddressesOverrunningVhGetEmptyPairInsteadOfStaleBytes) {
    // tolen says 200 but the vh holds 4 bytes.
    const p2p_header_t req = request(3074, std::string("\xC8" "ab\x00", 4));
    p2p_header_t res{};
    req.getResHeader(&res);
    EXPECT_EQ(18, res.hlen);
    EXPECT_EQ(std::string(2, '\0'), std::string(res.vh, 2));
}

TEST_F(P2PHeaderTest, HeaderTurnsIntoItsOwnReply) {
    p2p_header_t h = request(3074, addresses("AAA", "BBBBB"));
    h.getResHeader(&h);
    EXPECT_EQ(addresses("BBBBB", "AAA"), std::string(h.vh, 10));
    EXPECT_EQ(0x8C02, h.code);
}

TEST_F(P2PHeaderTest, SessionIdIsClearedForVersionTwoOnly) {
    p2p_header_t res{};
    request(3074, addresses("", ""), 2, 9).getResHeader(&res);
    EXPECT_EQ(0, res.sessionid);
    request(3074, addresses("", ""), 1, 9).getResHeader(&res);
    EXPECT_EQ(9, res.sessionid);
}

TEST(NewTridTest, CountsUpByOneAndIsUniqueAcrossThreads) {
    const trid_t first = newTrid();
    EXPECT_EQ(first + 1, newTrid());
    EXPECT_EQ(first + 2, newTrid());

    constexpr int kThreads = 4;
    constexpr int kEach = 2000;
    std::vector<std::vector<trid_t>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&seen, t] {
            for (int i = 0; i < kEach; ++i) seen[t].push_back(newTrid());
        });
    for (auto& th : threads) th.join();
    std::set<trid_t> all;
    for (const auto& v : seen) all.insert(v.begin(), v.end());
    EXPECT_EQ(static_cast<size_t>(kThreads * kEach), all.size());
}

}  // namespace
