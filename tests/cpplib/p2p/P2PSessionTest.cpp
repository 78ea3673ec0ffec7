#include "p2p/P2PSession.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "PacketBytes.h"
#include "cpplib/net/SocketHelpers.h"
#include "support/LoopDriver.h"

namespace {

using pbytes::addresses;
using pbytes::fixedHeader;
using pbytes::packet;

constexpr uint16_t kMsg = 3088;

struct Delivered {
    p2p_header_t h{};
    std::string body;
    bool inRecvBuffer = false;  // body read in place, not copied aside
};

// What a session went through; outlives the session itself.
struct Probe {
    std::vector<Delivered> packets;
    std::vector<std::pair<int, int>> errors;
    std::vector<int> replyResults;
    int bytesRead = 0;
    bool destroyed = false;

    bool sawError(int type, int err) const {
        for (const auto& e : errors)
            if (e.first == type && e.second == err) return true;
        return false;
    }
};

class RecordingSession : public P2PSession {
public:
    explicit RecordingSession(std::shared_ptr<Probe> probe) : m_probe(std::move(probe)) {}
    ~RecordingSession() override { m_probe->destroyed = true; }

    void readData(int len, IOBuffer* buf) override {
        m_probe->bytesRead += len;
        P2PSession::readData(len, buf);
    }
    void errorEvent(errortype_t type, int err) override {
        m_probe->errors.emplace_back(type, err);
        P2PSession::errorEvent(type, err);
    }
    void recvPacketEvent(const P2PPacket* p) override {
        Delivered d;
        d.h = p->m_h;
        d.body.assign(p->m_body, p->m_h.blen);
        const char* start = m_bufRecv.getBuf();
        d.inRecvBuffer = p->m_body >= start && p->m_body < start + m_bufRecv.getBufSize();
        m_probe->packets.push_back(d);
        if (onPacket) onPacket(this, p);
        if (forwardToObservers) P2PSession::recvPacketEvent(p);
    }

    std::function<void(RecordingSession*, const P2PPacket*)> onPacket;
    bool forwardToObservers = false;

private:
    std::shared_ptr<Probe> m_probe;
};

class P2PSessionTest : public LoopFixture {
protected:
    void SetUp() override {
        LoopFixture::SetUp();
        auto [mine, peer] = streamPair();
        m_session = new RecordingSession(m_probe);
        m_session->initBuffer(1024, 1024, 1, 1);
        ASSERT_TRUE(m_session->import(mine.release()));
        m_peer = std::move(peer);
        setNonblock(m_peer.get());
    }

    void TearDown() override {
        // Sessions own themselves: a closed peer makes the loop release it.
        m_peer.reset();
        if (!m_probe->destroyed) {
            EXPECT_TRUE(runUntil([&] { return m_probe->destroyed; }));
        }
        LoopFixture::TearDown();
    }

    RecordingSession& server() { return *m_session; }
    const std::vector<Delivered>& packets() const { return m_probe->packets; }

    // Writes all of bytes while the loop keeps draining the other end.
    void sendRaw(const std::string& bytes) {
        size_t off = 0;
        ASSERT_TRUE(runUntil([&] {
            while (off < bytes.size()) {
                const ssize_t n = ::send(m_peer.get(), bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
                if (n <= 0) break;
                off += static_cast<size_t>(n);
            }
            return off == bytes.size();
        }));
    }

    bool waitForPackets(size_t n) {
        return runUntil([&] { return packets().size() >= n; });
    }

    bool peerClosed() {
        return runUntil([&] {
            bool eof = false;
            m_fromServer += readNow(m_peer.get(), &eof);
            return eof;
        });
    }

    // The next packet the peer receives from the session.
    bool readReply(pbytes::Received* out) {
        return runUntil([&] {
            m_fromServer += readNow(m_peer.get());
            return pbytes::takePacket(m_fromServer, out);
        });
    }

    void replyWith(const std::string& body, sessionid_t sid = 0) {
        m_replyBody = body;
        server().onPacket = [this, sid](RecordingSession* s, const P2PPacket* p) {
            m_probe->replyResults.push_back(
                s->sendres2(p, m_replyBody.data(), static_cast<int>(m_replyBody.size()), sid));
        };
    }

    std::shared_ptr<Probe> m_probe = std::make_shared<Probe>();
    RecordingSession* m_session = nullptr;
    UniqueFd m_peer;
    std::string m_fromServer;
    std::string m_replyBody;
};

// ---- framing --------------------------------------------------------------

TEST_F(P2PSessionTest, PingIsAnsweredPongIgnoredThenPacketDelivered) {
    sendRaw("\x81\x82" + packet(kMsg, "hello"));
    ASSERT_TRUE(waitForPackets(1));
    EXPECT_EQ("hello", packets()[0].body);
    ASSERT_TRUE(runUntil([&] { return !(m_fromServer += readNow(m_peer.get())).empty(); }));
    EXPECT_EQ("\x82", m_fromServer);
}

TEST_F(P2PSessionTest, WrongFirstByteClosesWithLogicError) {
    sendRaw(std::string(1, '\0') + packet(kMsg, "never"));
    ASSERT_TRUE(peerClosed());
    EXPECT_TRUE(m_probe->sawError(Session::SESSION_ELOGIC, 0));
    EXPECT_TRUE(packets().empty());
    EXPECT_TRUE(m_fromServer.empty());
}

TEST_F(P2PSessionTest, GarbageAfterAGoodPacketClosesAfterDeliveringIt) {
    sendRaw(packet(kMsg, "good") + "garbage");
    ASSERT_TRUE(peerClosed());
    ASSERT_EQ(1u, packets().size());
    EXPECT_TRUE(m_probe->sawError(Session::SESSION_ELOGIC, 0));
}

TEST_F(P2PSessionTest, EmptyVhOfSixteenByteHeaderIsAccepted) {
    replyWith("ok");
    sendRaw(fixedHeader(16, kMsg, 3) + "abc");
    ASSERT_TRUE(waitForPackets(1));
    EXPECT_EQ("abc", packets()[0].body);

    pbytes::Received reply;
    ASSERT_TRUE(readReply(&reply));
    EXPECT_EQ(18, reply.hlen);
    EXPECT_EQ(std::string(2, '\0'), reply.vh);
}

class P2PSessionHeaderBoundsTest : public P2PSessionTest, public ::testing::WithParamInterface<int> {};

TEST_P(P2PSessionHeaderBoundsTest, HeaderLengthOutsideBoundsCloses) {
    const int hlen = GetParam();
    const std::string vh(static_cast<size_t>(std::max(hlen - 16, 0)), '\0');
    sendRaw(fixedHeader(static_cast<uint16_t>(hlen), kMsg, 0) + vh);
    ASSERT_TRUE(peerClosed());
    EXPECT_TRUE(m_probe->sawError(Session::SESSION_ELOGIC, 0));
    EXPECT_TRUE(packets().empty());
}

INSTANTIATE_TEST_SUITE_P(TooShortOrTooLong, P2PSessionHeaderBoundsTest, ::testing::Values(0, 15, 533, 0xFFFF));

TEST_F(P2PSessionTest, AnnouncedLengthPastTheLargestPacketClosesAtOnce) {
    // vh + body = 65,535 + 517: one byte more than any packet may carry.
    sendRaw(fixedHeader(533, kMsg, 0xFFFF));
    ASSERT_TRUE(peerClosed());
    EXPECT_TRUE(m_probe->sawError(Session::SESSION_ELOGIC, 0));
}

TEST_F(P2PSessionTest, PacketLargerThanReceiveBufferIsGatheredAndDelivered) {
    std::string body(5000, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 23);
    sendRaw(packet(kMsg, body, 0, addresses("room", "me")) + packet(3090, "after"));
    ASSERT_TRUE(waitForPackets(2));
    EXPECT_EQ(body, packets()[0].body);
    EXPECT_FALSE(packets()[0].inRecvBuffer);
    EXPECT_EQ(addresses("room", "me"), std::string(packets()[0].h.vh, 8));
    // The next packet is read in place again.
    EXPECT_EQ("after", packets()[1].body);
    EXPECT_TRUE(packets()[1].inRecvBuffer);
    EXPECT_TRUE(m_probe->errors.empty());
}

TEST_F(P2PSessionTest, PeerClosingMidPacketDeliversNothing) {
    sendRaw(packet(kMsg, std::string(3000, 'x')).substr(0, 2000));
    ASSERT_TRUE(runUntil([&] { return m_probe->bytesRead == 2000; }));
    m_peer.reset();
    ASSERT_TRUE(runUntil([&] { return m_probe->destroyed; }));
    EXPECT_TRUE(packets().empty());
    EXPECT_TRUE(m_probe->sawError(Session::SESSION_ECLOSE, 0));
}

TEST_F(P2PSessionTest, PacketsBehindOneThatClosedTheSessionAreNotDispatched) {
    server().onPacket = [](RecordingSession* s, const P2PPacket*) { s->setExpired(); };
    sendRaw(packet(kMsg, "one") + packet(kMsg, "two"));
    ASSERT_TRUE(peerClosed());
    ASSERT_EQ(1u, packets().size());
    EXPECT_EQ("one", packets()[0].body);
}

// ---- replies --------------------------------------------------------------

TEST_F(P2PSessionTest, ReplySwapsAddressesAndCarriesTheResponseCode) {
    replyWith(std::string("\x03\x02", 2));
    sendRaw(packet(kMsg, "", 0, addresses("AAA", "BBBBB"), 99));
    pbytes::Received reply;
    ASSERT_TRUE(readReply(&reply));
    EXPECT_EQ(0x8C10, reply.code);
    EXPECT_EQ(26, reply.hlen);
    EXPECT_EQ(addresses("BBBBB", "AAA"), reply.vh);
    EXPECT_EQ(99u, reply.trid);
    EXPECT_EQ(std::string("\x03\x02", 2), reply.body);
}

TEST_F(P2PSessionTest, Sendres2SetsTheGivenSessionId) {
    replyWith("x", 0x0203);
    sendRaw(packet(kMsg, ""));
    pbytes::Received reply;
    ASSERT_TRUE(readReply(&reply));
    EXPECT_EQ(0x0203, reply.sessionid);
}

TEST_F(P2PSessionTest, ReplyToUnknownEncryptionTypeSendsNothing) {
    replyWith(std::string(40, 'p'));
    sendRaw(packet(kMsg, "", 7) + "\x81");
    // The pong behind the packet shows the session went on and sent only that.
    ASSERT_TRUE(runUntil([&] { return !(m_fromServer += readNow(m_peer.get())).empty(); }));
    EXPECT_EQ("\x82", m_fromServer);
    ASSERT_EQ(1u, m_probe->replyResults.size());
    EXPECT_EQ(-1, m_probe->replyResults[0]);
}

// ---- observers ------------------------------------------------------------

class CodeObserver : public Session::EventHandler {
public:
    CodeObserver(uint16_t code, bool stay) : m_code(code), m_stay(stay) {}

    void connectEvent(Session*, bool*) override {}
    void reqRecvEvent(Session*, const Packet*, bool* remove) override {
        ++requests;
        if (m_stay) *remove = false;
    }
    void resRecvEvent(Session*, const Packet*, bool* remove) override {
        ++responses;
        if (m_stay) *remove = false;
    }
    void errorEvent(Session*, bool* remove) override { *remove = false; }
    bool compareKey(Session*, const Packet* p) override {
        return static_cast<const P2PPacket*>(p)->m_h.code == m_code;
    }

    int requests = 0;
    int responses = 0;

private:
    uint16_t m_code;
    bool m_stay;
};

TEST_F(P2PSessionTest, BaseDispatchHandsPacketsToMatchingObservers) {
    CodeObserver once(kMsg, false);
    CodeObserver staying(0x8C10, true);
    CodeObserver other(3090, true);
    server().forwardToObservers = true;
    server().addEH(&once);
    server().addEH(&staying);
    server().addEH(&other);

    sendRaw(packet(kMsg, "a") + packet(kMsg, "b") + packet(0x8C10, "r1") + packet(0x8C10, "r2"));
    ASSERT_TRUE(waitForPackets(4));

    EXPECT_EQ(1, once.requests);  // dropped after its first match
    EXPECT_EQ(0, once.responses);
    EXPECT_EQ(2, staying.responses);
    EXPECT_EQ(0, staying.requests);
    EXPECT_EQ(0, other.requests + other.responses);
    EXPECT_EQ(-1, server().delEH(&once));
    EXPECT_EQ(0, server().delEH(&staying));
    EXPECT_EQ(0, server().delEH(&other));
}

}  // namespace
