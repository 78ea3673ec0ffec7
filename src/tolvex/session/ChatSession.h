#pragma once
// One client connection: a packet session that knows its user, room and
// device kind, refuses work until the rooms are loaded (and, where join
// tokens are required, until its AUTH is accepted), and hands each
// request to the handler of its command code. Made by ChatFactory and
// deleted by its release path inside the poller's dispatch, never during a
// handler call. Event-loop thread only.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "cpputil/TokenBucket.h"
#include "p2p/P2PSession.h"
#include "tolvex/session/ChatEventHandler.h"


class ChatSession : public P2PSession {
public:
    ChatSession();
    // Unlists the session from the session container if it is still listed.
    ~ChatSession() override;

    // Deletes this; never throws.
    void destroy() override;
    // The first error of a live session marks the member disconnected,
    // unlists the session and expires it; every error then reaches the
    // framework's close handling.
    void errorEvent(errortype_t type, int err) override;
    // The command dispatch.
    void recvPacketEvent(const P2PPacket* pk) override;

    // The handler for a request code, or null when the code is not served.
    static std::unique_ptr<ChatEventHandler> makeHandler(uint16_t code);

    // Requests a session may make a second, burst at once (rate 0: no
    // limit). A session takes the values in effect at its first counted
    // request. Any thread.
    static void setRequestLimit(int rate, int burst);
    // Whether a request code is held to that limit: every request but the
    // acknowledgements, which answer the daemon's own relays and notices and
    // so follow the room's traffic rather than the client's.
    static bool countsAgainstRequestLimit(uint16_t code);

    // False (after the not-ready notice, with the session expired) until
    // room loading has completed.
    bool checkReadyServer();
    // Marks the session finished and expires it; the room is not touched.
    void closeSession();
    void removeSession();
    // Unlists, then closes: a request that cannot be served ends its session.
    void dropSession();
    void setUserState();
    void resetPushAlarmCount();

    // A server notice. The push result, or -1.
    int chatPush(const P2PPacket* pk);
    // A reply to req. The push result, or -1.
    int chatPush(const P2PPacket* req, const void* body, uint16_t blen, uint16_t sessionid);
    int chatPush(const p2p_header_t* req, const void* body, uint16_t blen, uint16_t sessionid);

    void setProfile(const std::string& userId, const std::string& nameInfo, uint32_t roomId, uint16_t osType);
    void setRoomId(uint32_t roomId) { m_roomId = roomId; }
    std::string getUserId() const { return m_userId; }
    std::string getNameInfo() const { return m_nameInfo; }
    uint32_t getRoomId() const { return m_roomId; }
    uint16_t getOsType() const { return m_osType; }
    bool isDeadAlive() const { return m_isDeadAlive; }

    // The room, user and device kind a room init, join or rejoin admitted
    // this session with; empty before that. Requests on the session may act
    // only as this identity (SessionGuard).
    struct binding_t {
        uint32_t roomId = 0;
        std::string userId;
        uint16_t osType = 0;
    };
    // Binds the session to its current profile, once it is a member's.
    void bind() { m_binding = binding_t{m_roomId, m_userId, m_osType}; }
    const std::optional<binding_t>& binding() const { return m_binding; }
    // What an accepted AUTH admits: the token's user and, where the token
    // names them, its room and device kind (0: any). Empty before that.
    struct token_t {
        std::string userId;
        uint32_t roomId = 0;
        uint16_t osType = 0;
    };
    void admitToken(token_t token) { m_token = std::move(token); }
    const std::optional<token_t>& token() const { return m_token; }
    // Ends the session after a refused request as if its peer had gone: a
    // joined member is marked disconnected and the session unlisted.
    void closeRefused();
    void setIsDeadAlive(bool dead) { m_isDeadAlive = dead; }

    // A number no other session of this process has, so work that outlives
    // a loop pass (an ACK waiting for the disk) can find its session again,
    // or learn that it is gone, without keeping a pointer across passes.
    uint64_t serial() const { return m_serial; }
    // The live session of that number, or null. Event-loop thread.
    static ChatSession* findLive(uint64_t serial);

    // Same user and same device kind.
    bool isMySelf(const ChatSession* other) const;
    // Same user, whatever the device.
    bool isMySession(const ChatSession* other) const;

protected:
    // With the member and room, so the operator knows who was cut off.
    void reportOverflow(int64_t queued) override;

private:
    friend class SessionContainer;

    // 515 to req (in clear when clear is set), then closeSession().
    void rejectCommand(const P2PPacket* req, bool clear);
    void dispatch(const P2PPacket* pk);
    // False when code is counted and this session is over its limit.
    bool withinRequestLimit(uint16_t code);
    // One command-log line, then closed as if the connection had ended.
    void closeFlooding(uint16_t code);

    std::string m_userId;    // empty until a room init, join or rejoin
    std::string m_nameInfo;
    uint32_t m_roomId = 0;
    uint16_t m_osType = 0;
    std::optional<binding_t> m_binding;
    std::optional<token_t> m_token;
    std::atomic<bool> m_isDeadAlive{false};  // finished: later errors skip the room clean-up
    std::atomic<bool> m_closed{false};
    // How many container lists hold this session; changed under the
    // container's lock, read without it by the destructor.
    std::atomic<int> m_listedCount{0};
    const uint64_t m_serial;
    // Armed at the first counted request, on the loop thread, with the
    // loop's pass time; off (unlimited) until then.
    TokenBucket m_requests;
    bool m_requestsArmed = false;
    static std::atomic<int> s_requestRate;
    static std::atomic<int> s_requestBurst;
};
