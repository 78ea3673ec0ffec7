#pragma once
// The in-process fixture of the daemon's handler tests: real ChatSessions on
// the test loop, each wired to a ChatPeer (the client's end of a socketpair,
// read with the client library's codec), the room, session, ACK and
// send-state registries emptied around each test, the command and chat logs
// in a temporary directory, and a fake WAS behind every job. Test thread
// only, apart from LoopQueue.

#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/FrameReader.h"
#include "client/Requests.h"
#include "cpplib/net/SocketHelpers.h"
#include "support/FakeWas.h"
#include "support/LoopDriver.h"
#include "support/TempDir.h"
#include "tolvex/task/SendStateTask.h"
#include "tolvex/util/ChatCodes.h"
#include "tolvex/util/ChatUtil.h"

class ChatSession;

// The client's end of one connection: sends requests, collects what the
// daemon sends back.
class ChatPeer {
public:
    ChatPeer(UniqueFd fd, ChatSession* session) : m_fd(std::move(fd)), m_session(session) {}
    ChatPeer(const ChatPeer&) = delete;
    ChatPeer& operator=(const ChatPeer&) = delete;

    void send(uint16_t code, const std::string& body, uint8_t etype = 0, uint32_t trid = 7);
    void sendRaw(const std::string& bytes);
    // Reads whatever has arrived without waiting.
    void pump();
    // Packets received and not taken yet, oldest first.
    std::deque<client::Packet>& inbox() { return m_inbox; }
    client::Packet take();
    bool closedByDaemon() const { return m_eof; }
    // The daemon's side; valid while the daemon has not closed it.
    ChatSession* session() const { return m_session; }
    void hangUp() { m_fd.reset(); }
    // Half-closes the client's side: the daemon reads end of file.
    void shutdownWrite();

private:
    UniqueFd m_fd;
    ChatSession* m_session;
    client::FrameReader m_reader;
    std::deque<client::Packet> m_inbox;
    bool m_eof = false;
};

// Stands in for the event loop where worker threads post: it keeps what they
// hand over until the test thread runs it. post() from any thread.
class LoopQueue {
public:
    LoopQueue();
    ~LoopQueue();
    LoopQueue(const LoopQueue&) = delete;
    LoopQueue& operator=(const LoopQueue&) = delete;

    // Runs what was posted so far (not what those tasks post); the count run.
    size_t runQueued();
    // Runs what was posted, including what those tasks post; the count run.
    size_t drain() {
        size_t ran = 0;
        while (const size_t n = runQueued()) ran += n;
        return ran;
    }

private:
    std::mutex m_mutex;
    std::vector<std::function<void()>> m_tasks;  // guarded by m_mutex
};

class ChatRoomFixture : public LoopFixture {
protected:
    using Members = std::map<std::string, std::list<uint16_t>>;

    void SetUp() override;
    void TearDown() override;

    // ---- connections ----
    // A new ChatSession on the loop and its client end.
    ChatPeer& connect();
    // A connection whose identity is set and listed in the session
    // registry, as a successful join leaves it, without the join itself.
    ChatPeer& listedAs(const std::string& userId, uint32_t roomId, uint16_t osType, bool listed = true);
    bool waitPackets(ChatPeer& peer, size_t count);
    bool waitClosed(ChatPeer& peer);
    // What peer holds now. The daemon writes notices while it handles a
    // request, so once that request's reply has arrived, a notice it caused
    // is already readable here.
    std::deque<client::Packet>& arrived(ChatPeer& peer);
    // A room id no earlier test in this process used.
    static uint32_t freshRoomId();

    // ---- rooms over the wire ----
    // Opens a room for creator (PC) with invitees over a new connection and
    // waits until the invitation reply arrived; the peer's inbox is empty
    // afterwards.
    ChatPeer& openRoom(uint32_t roomId, const std::string& creator, const std::vector<client::invitee_t>& invitees);
    // Sends a join (or rejoin) and returns the reply.
    client::Packet joinAs(ChatPeer& peer, uint16_t code, uint32_t roomId, const std::string& userId,
                          uint16_t osType);
    // A new connection of a member that joined; the notices that caused in
    // others are dropped.
    ChatPeer& joined(uint32_t roomId, const std::string& userId, uint16_t osType,
                     const std::vector<ChatPeer*>& others = {});

    // ---- registries directly ----
    // A room of the first member with every member joined.
    static void roomOf(uint32_t roomId, const std::vector<std::string>& members);
    static uint32_t joinStateOf(uint32_t roomId, const std::string& userId);
    static std::string nameOf(const std::string& userId) { return userId + " name"; }
    // Registers the relay ACKs a fan-out of message msgNum awaits.
    static void expectAcks(uint32_t roomId, uint32_t msgNum, const std::string& sender, const Members& reached,
                           time_t msgTime = 1000, uint32_t trid = 55);
    // A relay ACK as a client sends it (resultCode 1), or as the push path
    // reports a push outcome.
    static bool relayAck(uint32_t roomId, uint32_t msgNum, const std::string& userId, uint16_t osType,
                         uint32_t resultCode = SEND_RESULT_SUCCESS);
    static std::vector<stored_send_result_t> outcomes();
    static std::string userOf(const stored_send_result_t& r);
    // The outcome recorded for member, or 0 when there is none.
    static uint32_t outcomeOf(const std::string& member);

    // ---- WAS ----
    static constexpr const char* kSaveMsgPage = "/was/save_msg";
    static constexpr const char* kMobilePushPage = "/was/mobile_push";
    static constexpr const char* kLeavePage = "/was/leave";
    static constexpr const char* kEndRoomPage = "/was/endroom";
    static constexpr const char* kUpdateMsgSendPage = "/was/update_msgsend";
    static constexpr const char* kInviteRequestPage = "/was/invite_request";
    static constexpr const char* kSendFailUserPage = "/was/sendfailuser_request";
    static constexpr const char* kServiceIp = "10.1.2.3";

    // What the fake WAS received on page once every job is over.
    std::vector<FakeWas::Request> wasRequests(const std::string& page);
    // The last request to page whose field has value, once one came; an
    // empty request (no path) when none did before the deadline.
    FakeWas::Request wasRequestWith(const std::string& page, const std::string& field, const std::string& value);
    // Runs the loop until no WAS job is left.
    bool jobsSettled();

    // ---- logs ----
    std::string commandLog() const;
    std::string chatLog() const;
    static int countOf(const std::string& text, const std::string& needle);

    std::unique_ptr<TempDir> m_dir;
    FakeWas m_was;  // the only WAS server of the jobs these tests start

private:
    std::vector<std::unique_ptr<ChatPeer>> m_peers;
    std::vector<room_key> m_listedRooms;
    int m_baseSessions = 0;
};
