#include "p2p/P2PHeader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/Packet.h"
#include "cpputil/IOBuffer.h"
#include "p2p/P2PPacket.h"

namespace {

// A request header as a peer would send it, decoded the way the session does.
p2p_header_t request(const std::string& vh, uint8_t ver = 2, uint16_t sid = 9) {
    p2p_header_t h{};
    h.decodeFixed(client::encodeFixedHeader(0xB76C, static_cast<uint16_t>(16 + vh.size()), 3074, ver, 1, 4242, sid, 0)
                      .data());
    std::memcpy(h.vh, vh.data(), vh.size());
    return h;
}

std::string vhOf(const p2p_header_t& h) {
    return std::string(h.vh, static_cast<size_t>(h.hlen - P2P_FIXED_HLEN));
}

TEST(P2PHeaderTest, NotReadyNoticeHeaderHasExactBytes) {
    P2PPacket p;
    p.m_h.make2(3216, "", 0, "", 0, 0, 0, 0);
    IOBuffer buf(0);
    ASSERT_EQ(0, p.writeTo(&buf));
    EXPECT_EQ("6C B7 12 00 90 0C 02 00 00 00 00 00 00 00 00 00 00 00",
              client::toHex(std::string(buf.data(), static_cast<size_t>(buf.getDataSize()))));
}

// Addresses are taken from the request only while they lie inside its vh;
// otherwise the reply gets an empty pair, never stale bytes.
TEST(P2PHeaderTest, ReplySwapsTheAddressesThatFitTheVh) {
    const std::string inside = std::string("\x03" "AAA" "\x05" "BBBBB");
    const std::pair<std::string, std::string> cases[] = {
        {inside, std::string("\x05" "BBBBB" "\x03" "AAA")},
        {"", std::string(2, '\0')},
        {"x", std::string(2, '\0')},
        {std::string("\xC8" "ab\x00", 4), std::string(2, '\0')},  // tolen 200 in a vh of 4
    };
    for (const auto& [vh, expected] : cases) {
        p2p_header_t res{};
        request(vh).getResHeader(&res);
        EXPECT_EQ(expected, vhOf(res)) << client::toHex(vh);
        EXPECT_EQ(0x8C02, res.code);
    }
    // The header may turn into its own reply; the session id is cleared
    // for version 2 only.
    p2p_header_t h = request(inside, 2, 9);
    h.getResHeader(&h);
    EXPECT_EQ(cases[0].second, vhOf(h));
    EXPECT_EQ(0, h.sessionid);
    p2p_header_t v1{};
    request(inside, 1, 9).getResHeader(&v1);
    EXPECT_EQ(9, v1.sessionid);
}

TEST(NewTridTest, CountsUpByOneAndIsUniqueAcrossThreads) {
    const trid_t first = newTrid();
    EXPECT_EQ(first + 1, newTrid());

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
