#include "p2p/P2PSession.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "client/Packet.h"
#include "cpplib/net/SocketHelpers.h"
#include "support/LoopDriver.h"

namespace {

constexpr uint16_t kMsg = 3088;

std::string packet(uint16_t code, const std::string& body, const std::string& to = "", const std::string& from = "") {
    client::packet_options_t opts;
    opts.to = to;
    opts.from = from;
    return client::encodePacket(code, body, opts);
}

// Just the fixed header, with any lengths at all.
std::string header(uint16_t hlen, uint16_t blen) {
    return client::encodeFixedHeader(0xB76C, hlen, kMsg, 2, 0, 7, 0, blen);
}

// What a session went through; outlives the session itself.
struct Probe {
    std::vector<std::string> packets;  // the bodies delivered
    std::vector<int> replyResults;
    bool logicError = false;
    bool destroyed = false;
};

// Records what it is handed and, once a reply is set, answers each packet
// with it through sendres2.
class RecordingSession : public P2PSession {
public:
    explicit RecordingSession(std::shared_ptr<Probe> probe) : m_probe(std::move(probe)) {}
    ~RecordingSession() override { m_probe->destroyed = true; }

    void errorEvent(errortype_t type, int err) override {
        if (type == SESSION_ELOGIC && err == 0) m_probe->logicError = true;
        P2PSession::errorEvent(type, err);
    }
    void recvPacketEvent(const P2PPacket* p) override {
        m_probe->packets.emplace_back(p->m_body, p->m_h.blen);
        if (!replying) return;
        m_probe->replyResults.push_back(sendres2(p, replyBody.data(), static_cast<int>(replyBody.size()), replySid));
    }

    bool replying = false;
    std::string replyBody;
    sessionid_t replySid = 0;

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
        EXPECT_TRUE(runUntil([&] { return m_probe->destroyed; })) << "session never released";
        LoopFixture::TearDown();
    }

    const std::vector<std::string>& packets() const { return m_probe->packets; }

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

    bool peerClosed() {
        return runUntil([&] {
            bool eof = false;
            m_fromServer += readNow(m_peer.get(), &eof);
            return eof;
        });
    }

    // At least n bytes the session sent, as hex.
    std::string received(size_t n) {
        runUntil([&] { return (m_fromServer += readNow(m_peer.get())).size() >= n; });
        return client::toHex(m_fromServer);
    }

    void replyWith(const std::string& body, sessionid_t sid = 0) {
        m_session->replying = true;
        m_session->replyBody = body;
        m_session->replySid = sid;
    }

    std::shared_ptr<Probe> m_probe = std::make_shared<Probe>();
    RecordingSession* m_session = nullptr;
    UniqueFd m_peer;
    std::string m_fromServer;
};

// ---- framing --------------------------------------------------------------

// The shortest header (no addresses at all) is still answered with two
// empty addresses.
TEST_F(P2PSessionTest, SixteenByteHeaderIsAcceptedAndAnsweredWithEmptyAddresses) {
    replyWith("ok");
    sendRaw(header(16, 3) + "abc");
    ASSERT_TRUE(runUntil([&] { return packets().size() == 1; }));
    EXPECT_EQ("abc", packets()[0]);
    EXPECT_EQ("6C B7 12 00 10 8C 02 00 07 00 00 00 00 00 02 00 00 00 6F 6B", received(20));
}

struct refused_case_t {
    const char* name;
    std::string bytes;
    size_t delivered;  // packets handed on before the fault
};

void PrintTo(const refused_case_t& c, std::ostream* os) {
    *os << c.name;
}

class P2PSessionRefusalTest : public P2PSessionTest, public testing::WithParamInterface<refused_case_t> {};

TEST_P(P2PSessionRefusalTest, ClosesWithALogicErrorAndSendsNothing) {
    sendRaw(GetParam().bytes);
    ASSERT_TRUE(peerClosed());
    EXPECT_TRUE(m_probe->logicError);
    EXPECT_EQ(GetParam().delivered, packets().size());
    EXPECT_EQ("", m_fromServer);
}

INSTANTIATE_TEST_SUITE_P(
    Framing, P2PSessionRefusalTest,
    testing::Values(refused_case_t{"WrongFirstByte", std::string(1, '\0') + packet(kMsg, "never"), 0},
                    refused_case_t{"GarbageAfterAGoodPacket", packet(kMsg, "good") + "garbage", 1},
                    refused_case_t{"HeaderLengthZero", header(0, 0), 0},
                    refused_case_t{"HeaderLength15", header(15, 0), 0},
                    refused_case_t{"HeaderLength533", header(533, 0) + std::string(517, '\0'), 0},
                    refused_case_t{"HeaderLengthFFFF", header(0xFFFF, 0) + std::string(0xFFEF, '\0'), 0},
                    // vh + body = 517 + 65,535: one byte more than any packet may carry.
                    refused_case_t{"LargestHeaderWithLargestBody", header(533, 0xFFFF), 0}),
    [](const testing::TestParamInfo<refused_case_t>& info) { return std::string(info.param.name); });

// ---- replies --------------------------------------------------------------

// The request is written out byte by byte, so that the header encoder the
// reply goes through is checked against bytes it did not make.
TEST_F(P2PSessionTest, ReplySwapsAddressesAndCarriesTheResponseCode) {
    replyWith(std::string("\x03\x02", 2), 0x0203);
    sendRaw(std::string("\x6C\xB7\x1A\x00\x10\x0C\x02\x00\x63\x00\x00\x00\x00\x00\x00\x00", 16) +
            "\x03" "AAA" "\x05" "BBBBB");
    // code 0x8C10, trid 99, the given session id, blen 2, "BBBBB" to "AAA".
    EXPECT_EQ("6C B7 1A 00 10 8C 02 00 63 00 00 00 03 02 02 00 05 42 42 42 42 42 03 41 41 41 03 02",
              received(28));
}

TEST_F(P2PSessionTest, ReplyToUnknownEncryptionTypeSendsNothing) {
    replyWith(std::string(40, 'p'));
    client::packet_options_t etype7;
    etype7.etype = 7;
    sendRaw(client::encodePacket(kMsg, "", etype7) + "\x81");
    // The pong behind the packet shows the session went on and sent only that.
    EXPECT_EQ("82", received(1));
    EXPECT_EQ(std::vector<int>{-1}, m_probe->replyResults);
}

}  // namespace
