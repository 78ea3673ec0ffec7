#pragma once
// A blocking TCP connection to tolvexd: sends requests, receives packets
// with deadlines and keeps whatever arrives before the packet a caller waits
// for. It answers only pings by itself. Owns its socket; one thread at a
// time (the load generator runs one client per thread).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/FrameReader.h"
#include "client/Packet.h"
#include "client/Requests.h"
#include "client/TlsLink.h"

namespace client {

class ChatClient {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kDefaultWait{5000};

    struct options_t {
        uint8_t etype = ETYPE_CLEAR;  // written into every request header
        bool decryptReplies = true;   // decrypt bodies of replies that carry etype 1
    };

    ChatClient() = default;
    explicit ChatClient(options_t options) : m_options(options) {}
    ChatClient(const ChatClient&) = delete;
    ChatClient& operator=(const ChatClient&) = delete;
    ~ChatClient();

    // Connects to an IPv4 host name or address. Returns 0 or an errno value
    // (ETIMEDOUT when within passes first).
    int connect(const std::string& host, int port, std::chrono::milliseconds within = kDefaultWait);
    // connect(), then TLS over the connection (tls.hostName empty: host).
    // 0 or an errno value; EPROTO when TLS failed (tlsError() says why).
    int connectTls(const std::string& host, int port, TlsLink::options_t tls,
                   std::chrono::milliseconds within = kDefaultWait);
    const std::string& tlsError() const { return m_tlsError; }
    // The TLS link of this connection; null over plain TCP.
    const TlsLink* tls() const { return m_tls.get(); }
    bool connected() const { return m_fd >= 0; }
    // The socket, for a caller that polls it together with other descriptors
    // and then calls receive() with a deadline of now; -1 when not connected.
    int fd() const { return m_fd; }
    void close();
    void setEtype(uint8_t etype) { m_options.etype = etype; }

    // Requests: the body from Requests.h, this client's etype, and the next
    // transaction id (lastTrid()). True when every byte was written.
    bool sendAuth(const AuthRequest& r) { return send(AUTH, encode(r)); }
    bool sendRoomInit(const RoomInitRequest& r) { return send(ROOM_CREATE, encode(r)); }
    bool sendInvite(const InviteRequest& r) { return send(USER_ADD, encode(r)); }
    bool sendJoin(const JoinRequest& r) { return send(USER_JOIN, encode(r)); }
    bool sendRejoin(const JoinRequest& r) { return send(USER_REJOIN, encode(r)); }
    bool sendLeave(const LeaveRequest& r) { return send(USER_LEAVE, encode(r)); }
    bool sendForceLeave(const ForceLeaveRequest& r) { return send(USER_FORCE_LEAVE, encode(r)); }
    bool sendMsg(const MsgRequest& r) { return send(MSG, encode(r)); }
    bool sendTyping(const TypingRequest& r) { return send(TYPING, encode(r)); }
    bool sendAttach(const AttachRequest& r) { return send(ATTACH, encode(r)); }
    bool sendRelayAck(const RelayAck& r) { return send(MSG_RELAY_ACK, encode(r)); }
    bool sendAttachRelayAck(const RelayAck& r) { return send(ATTACH_ALARM_RELAY_ACK, encode(r)); }
    bool sendResultAck(const ResultAck& r) { return send(MSG_RESULT_ACK, encode(r)); }

    // Any code and body with this client's etype and the next trid.
    bool send(uint16_t code, std::string_view body);
    // Bytes exactly as given: broken headers, several packets at once, halves.
    bool sendRaw(std::string_view bytes);
    uint32_t lastTrid() const { return m_trid; }

    // The next packet, oldest first. Nothing when the deadline passes or the
    // connection ends with nothing left to hand out.
    std::optional<Packet> receive(Clock::time_point deadline);
    std::optional<Packet> receive(std::chrono::milliseconds within = kDefaultWait);
    // The oldest packet with this code; the others stay for receive().
    std::optional<Packet> waitFor(uint16_t code, Clock::time_point deadline);
    std::optional<Packet> waitFor(uint16_t code, std::chrono::milliseconds within = kDefaultWait);

    // Sends a ping and waits for its pong. The daemon answers in order, so
    // once the pong is here every packet it queued before is here too:
    // pendingCount() then tells whether anything else arrived.
    bool ping(std::chrono::milliseconds within = kDefaultWait);
    // Reads until the daemon ends the connection; packets on the way are
    // kept. True when it ended before the deadline.
    bool waitClosed(std::chrono::milliseconds within = kDefaultWait);
    // The daemon ended the connection, or its bytes stopped making sense.
    bool closed() const { return m_closed; }
    // Why reading stopped: "closed by peer", an errno text or a framing error.
    const std::string& closeReason() const { return m_closeReason; }
    // Reading stopped because the bytes were not this protocol's packets
    // (closeReason() says how): the peer is not a tolvexd.
    bool protocolError() const { return m_protocolError; }

    size_t pendingCount() const { return m_pending.size(); }
    const std::deque<Packet>& pending() const { return m_pending; }
    int pongCount() const { return m_pongs; }

private:
    // One poll-and-read step until the deadline; false when nothing came.
    bool readSome(Clock::time_point deadline);
    // One read() or TLS read; the result of recv().
    ssize_t readOnce(char* buf, size_t len);
    ssize_t writeOnce(const char* data, size_t len);
    void drainFrames();
    void decryptBody(Packet* p) const;
    void markClosed(std::string reason);

    options_t m_options;
    int m_fd = -1;
    std::unique_ptr<TlsLink> m_tls;  // null: plain TCP
    std::string m_tlsError;
    uint32_t m_trid = 0;
    FrameReader m_reader;
    std::deque<Packet> m_pending;
    int m_pongs = 0;
    bool m_closed = false;
    bool m_protocolError = false;
    std::string m_closeReason;
};

// Waits until a non-blocking connect on fd has finished; 0 or an errno value
// (ETIMEDOUT once deadline passed).
int finishConnect(int fd, ChatClient::Clock::time_point deadline);

}  // namespace client
