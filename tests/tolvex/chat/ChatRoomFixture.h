#pragma once
// Fixture of the chat handler tests: real ChatSessions on the test loop,
// each wired to a ChatPeer (the client's end of a socketpair), the command
// and chat logs in a temporary directory, and builders and readers of the
// room command bodies. Test thread only.

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cpplib/net/SocketHelpers.h"
#include "cpplib/p2p/PacketBytes.h"
#include "support/FakeWas.h"
#include "support/LoopDriver.h"
#include "support/TempDir.h"

class ChatSession;

// The client's end of one connection: sends requests, collects what the
// daemon sends back.
class ChatPeer {
public:
    ChatPeer(UniqueFd fd, ChatSession* session) : m_fd(std::move(fd)), m_session(session) {}
    ChatPeer(const ChatPeer&) = delete;
    ChatPeer& operator=(const ChatPeer&) = delete;

    void send(uint16_t code, const std::string& body, uint8_t etype = 0, uint32_t trid = 7);
    // Reads whatever has arrived without waiting.
    void pump();
    // Packets received and not taken yet, oldest first.
    std::deque<pbytes::Received>& inbox() { return m_inbox; }
    pbytes::Received take();
    bool closedByDaemon() const { return m_eof; }
    // The daemon's side; valid while the daemon has not closed it.
    ChatSession* session() const { return m_session; }
    void hangUp() { m_fd.reset(); }

private:
    UniqueFd m_fd;
    ChatSession* m_session;
    std::string m_stream;
    std::deque<pbytes::Received> m_inbox;
    bool m_eof = false;
};

// Reads the fields of a received body in order; a missing field reads 0.
class BodyReader {
public:
    explicit BodyReader(std::string body) : m_body(std::move(body)) {}
    uint8_t u8();
    uint16_t u16();
    uint32_t u32();
    std::string str16();
    size_t remaining() const { return m_body.size() - m_pos; }

private:
    std::string m_body;
    size_t m_pos = 0;
};

// Builds body fields in wire order.
class BodyBuilder {
public:
    BodyBuilder& u8(uint8_t v) { m_s += static_cast<char>(v); return *this; }
    BodyBuilder& u16(uint16_t v) { pbytes::putU16(m_s, v); return *this; }
    BodyBuilder& u32(uint32_t v) { pbytes::putU32(m_s, v); return *this; }
    BodyBuilder& str16(const std::string& s) { u16(static_cast<uint16_t>(s.size())); m_s += s; return *this; }
    BodyBuilder& raw(const std::string& s) { m_s += s; return *this; }
    const std::string& str() const { return m_s; }
    operator const std::string&() const { return m_s; }

private:
    std::string m_s;
};

struct invitee_t {
    std::string userId;
    std::string name;
};

class ChatRoomFixture : public LoopFixture {
protected:
    void SetUp() override;
    void TearDown() override;

    // A new ChatSession on the loop and its client end.
    ChatPeer& connect();
    bool waitPackets(ChatPeer& peer, size_t count);
    bool waitClosed(ChatPeer& peer);
    // What peer holds now. The daemon writes notices while it handles a
    // request, so once that request's reply has arrived, a notice it caused
    // is already readable here.
    std::deque<pbytes::Received>& arrived(ChatPeer& peer);
    // A room id no earlier test in this process used.
    static uint32_t freshRoomId();

    std::string commandLog() const { return readLogs("zpx"); }
    std::string chatLog() const { return readLogs("chat"); }
    static int countOf(const std::string& text, const std::string& needle);

    // Request bodies.
    static std::string joinBody(uint32_t roomId, const std::string& userId, const std::string& name, uint16_t osType);
    static std::string inviteSection(const std::vector<invitee_t>& users);
    static std::string roomInitBody(uint32_t roomId, const std::string& creator, const std::string& name,
                                    uint16_t osType, const std::vector<invitee_t>& invitees = {});
    static std::string inviteBody(uint32_t roomId, const std::vector<invitee_t>& users);

    // Opens a room for creator (PC) with invitees over a new connection and
    // waits until the invitation reply arrived; the peer's inbox is empty
    // afterwards.
    ChatPeer& openRoom(uint32_t roomId, const std::string& creator, const std::vector<invitee_t>& invitees);
    // A new connection that joins (or rejoins) and waits for the reply,
    // which it returns.
    pbytes::Received joinAs(ChatPeer& peer, uint16_t code, uint32_t roomId, const std::string& userId,
                            uint16_t osType);

    // The WAS page paths the jobs of these tests post to.
    static constexpr const char* kSaveMsgPage = "/was/save_msg";
    static constexpr const char* kMobilePushPage = "/was/mobile_push";
    static constexpr const char* kLeavePage = "/was/leave";
    static constexpr const char* kEndRoomPage = "/was/endroom";
    static constexpr const char* kUpdateMsgSendPage = "/was/update_msgsend";
    static constexpr const char* kInviteRequestPage = "/was/invite_request";
    static constexpr const char* kSendFailUserPage = "/was/sendfailuser_request";
    static constexpr const char* kServiceIp = "10.1.2.3";

    // What the fake WAS received on page once at least count requests came
    // (the loop runs meanwhile, so the jobs can post); fewer after the
    // deadline.
    std::vector<FakeWas::Request> wasRequests(const std::string& page, size_t count = 1);
    // The last request to page whose field has value, once one came; an
    // empty request (no path) when none did before the deadline.
    FakeWas::Request wasRequestWith(const std::string& page, const std::string& field, const std::string& value);
    // Registers the relay ACKs awaited from the members' mobiles for message
    // msgNum of sender in roomId, as a relayed message does.
    static void awaitMobileAcks(uint32_t roomId, uint32_t msgNum, const std::string& sender,
                                const std::vector<std::string>& members);
    // The outcome recorded for member, or 0 when there is none.
    static uint32_t outcomeOf(const std::string& member);

    // Runs the loop until no WAS job is left; what the jobs started so far
    // sent has then reached the fake WAS.
    bool jobsSettled();

    std::unique_ptr<TempDir> m_dir;
    FakeWas m_was;  // the only WAS server of the jobs these tests start

private:
    std::string readLogs(const std::string& head) const;

    std::vector<std::unique_ptr<ChatPeer>> m_peers;
    int m_baseSessions = 0;
};
