#pragma once
// A non-blocking TCP connection on the event loop: socket, receive and send
// buffers, a small state machine and a list of observers. It owns itself and
// is deleted only by its own release path inside the poller dispatch.
// Event-loop thread only; no locks: other threads post work to the loop.

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "cpputil/IOBuffer.h"
#include "cpputil/MicroTimer.h"
#include "poller/Poller.h"

class Packet;
class Session;
class TlsConnection;
class TlsContext;

// Told when a session it keeps track of is destroyed. Loop thread.
class SessionTracker {
public:
    virtual ~SessionTracker() = default;
    virtual void sessionGone(Session* session) = 0;
};

class Session : public Poller::Client, public TimerEvent {
public:
    enum state_t {
        SESSION_NONE = 0,        // connected, or idle without socket
        SESSION_RELEASE = 1,     // torn down at the next event on its descriptor
        SESSION_EXPIRED = 2,     // reads stop, queued output drains, then release
        SESSION_CONNECTING = 3,  // outgoing non-blocking connect in progress
    };
    enum errortype_t {
        SESSION_EPOLL = 0,
        SESSION_ECONNECT = 1,
        SESSION_EREAD = 2,
        SESSION_ECLOSE = 3,
        SESSION_EWRITE = 4,
        SESSION_ELOGIC = 5,
        SESSION_EDELETE = 6,
        SESSION_ECUSTOM = 7,
        SESSION_NOERROR = 8,
    };
    enum event_t { EVENT_CONNECTED = 0, EVENT_RECV = 1, EVENT_ERROR = 2 };

    // Observer of one session. Each call gets a "remove" flag that is true on
    // entry: a handler that leaves it true is dropped after the call.
    class EventHandler {
    public:
        virtual ~EventHandler() = default;
        virtual void connectEvent(Session* s, bool* remove) = 0;
        virtual void reqRecvEvent(Session* s, const Packet* p, bool* remove) = 0;
        virtual void resRecvEvent(Session* s, const Packet* p, bool* remove) = 0;
        virtual void errorEvent(Session* s, bool* remove) = 0;
        virtual bool compareKey(Session* s, const Packet* p) = 0;
    };

    struct eventitem_t {
        EventHandler* peh = nullptr;  // null: removed during a broadcast, swept after it
        bool busy = false;            // its callback is running (no nested second call)
    };
    using eilist_t = std::list<eventitem_t>;

    static constexpr int kConnectTimerId = 0x30000;
    static constexpr int kHandshakeTimerId = 0x30001;
    static constexpr int kDefaultBufSize = 1024;
    static constexpr int kDefaultSendBufLimit = 4 * 1024 * 1024;

    // Process-wide counters; read from any thread.
    static std::atomic<int64_t> s_recvBytes;
    static std::atomic<int64_t> s_sentBytes;
    static std::atomic<int> s_counts;

    Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() override;

    // The dispatcher; may destroy this session (nothing touches it afterwards).
    int notifyPollEvent(Poller::PollEvent* ev) override;
    virtual void destroy();
    virtual void readEvent(Poller::PollEvent* ev);
    virtual void writeEvent(Poller::PollEvent* ev);
    // Tells the observers, then marks the session for release.
    virtual void errorEvent(errortype_t type, int err);
    virtual void connectEvent();
    // len bytes were appended to buf; consume what forms a whole unit. The
    // base discards them.
    virtual void readData(int len, IOBuffer* buf);
    virtual void writeData(int len);
    // Closes the socket and drops buffered data; observers stay.
    virtual void clear();
    virtual void initBuffer(int sendBufSize, int recvBufSize, int recvCount, int sendCount);
    // -1 when already registered / not registered.
    virtual int addEH(EventHandler* h);
    virtual int delEH(EventHandler* h);
    virtual void setRelease();
    // Runs the release path now, outside any dispatch: for the owner of the
    // loop ending sessions that are still open at shutdown. Deletes this.
    void releaseNow();
    // TLS on the socket this session holds (accepted, or connecting or
    // connected by it): reads and writes go through the link from now on,
    // and output waits until the handshake is done. An accepted link must
    // finish its handshake within ctx's timeout; a failed handshake fails
    // the session (ECONNECT, with tlsError()). False when no link could be
    // made (nothing changed).
    bool startTls(const TlsContext& ctx, const std::string& hostName = "");
    bool usesTls() const { return m_tls != nullptr; }
    // The coming TCPConnect* puts TLS on its socket (ctx must outlive the
    // connect call; the link keeps what it needs). Null: plain again.
    void connectWithTls(const TlsContext* ctx, std::string hostName);
    // Why the TLS link failed; "" when it did not (or there is none).
    const std::string& tlsError() const { return m_tlsError; }
    // Who to tell when this session is destroyed (null: nobody).
    void setTracker(SessionTracker* tracker) { m_tracker = tracker; }
    // Stops reading, flushes what is queued, then releases.
    virtual void setExpired();
    // The timeout is not used: the connect blocks until the kernel decides.
    virtual int TCPConnectSync(sockaddr_in* addr, int timeout);
    virtual int TCPConnectSync(const char* host, const char* port, int timeout);
    // 0 when connected or in progress (ECONNECT reported later), -1 at once.
    virtual int TCPConnectAsync(sockaddr_in* addr);
    virtual int TCPConnectAsync(const char* host, const char* port);
    // Both queue the bytes and return 0, or -1 when the session failed
    // (send buffer limit) or is already being released. Queued output is
    // written once per loop pass, just before the poller waits (at once
    // when there is no poller); a close writes what is queued first.
    virtual int push(const Packet* p);
    virtual int push(const void* data, unsigned int len);
    // Takes fd (closing it on failure); false when the poller refuses it.
    virtual bool import(int fd);
    int OnTimer(int id, void* param) override;
    void flushDeferred() override;

    void broadCastEvent(event_t event);

    int getSockfd() const { return m_sockfd; }
    state_t getState() const { return m_state; }
    const sockaddr_in& peerAddr() const { return m_sa; }
    void setPeerAddr(const sockaddr_in& sa) { m_sa = sa; }
    // Bytes waiting in the send buffer.
    int sendQueued() const { return m_bufSend.getDataSize(); }
    int sendBufLimit() const { return m_sendBufLimit; }
    // Queued output beyond this many bytes fails the session (ENOBUFS).
    void setSendBufLimit(int bytes) { m_sendBufLimit = bytes; }

protected:
    // The one line an operator gets when the send limit cuts this client off.
    virtual void reportOverflow(int64_t queued);
    // A handshake failed or timed out (why: OpenSSL's reason); the session
    // fails right after. The base traces it only: a port scan is no news.
    virtual void reportTlsFailure(const std::string& why);

    // Makes the coming close a reset: no FIN, and no local port held in
    // TIME_WAIT, for connections this side abandons.
    void abortOnClose();

    // Writes from the send buffer; 0, or -1 when the session failed.
    int doSendBuffer();
    // The host name given to connectWithTls.
    const std::string& connectHost() const { return m_connectHost; }

    int m_sockfd = -1;
    bool m_abortOnClose = false;
    state_t m_state = SESSION_NONE;
    IOBuffer m_bufRecv;
    IOBuffer m_bufSend;
    sockaddr_in m_sa{};
    int m_recvCount = 1;
    int m_sendCount = 1;
    int m_sendBufSize = kDefaultBufSize;
    int m_recvBufSize = kDefaultBufSize;
    int m_sendBufLimit = kDefaultSendBufLimit;
    eilist_t m_eilist;

private:
    bool dispatch(Poller::PollEvent* ev);
    void release(Poller::PollEvent* ev);
    void finishConnect();
    void closeSocket();
    void wantWrite(bool on);
    void forceReleaseEvent();
    int sendFromBuffer();
    // Asks the poller for one write at the end of this pass.
    void queueFlush();
    // A last try to hand queued output to the kernel before the socket
    // closes; errors are left to the close.
    void sendQueuedBeforeClose();
    bool failOnOverflow(int64_t queued);
    int registerConnected();
    void sweepRemovedHandlers();
    // The TLS counterparts of the plain paths; each plain path tests m_tls once.
    void tlsReadEvent();
    void tlsWriteEvent();
    int tlsSendFromBuffer();
    // One handshake step; true once the link is up.
    bool advanceHandshake();
    void failTls(const std::string& why);
    bool attachConnectTls();
    void setInterest(bool write);

    SessionTracker* m_tracker = nullptr;
    int m_broadcastDepth = 0;  // nested broadCastEvent walks in progress
    bool m_flushQueued = false;  // on the poller's deferred list
    std::unique_ptr<TlsConnection> m_tls;  // null: plain TCP
    std::string m_tlsError;
    bool m_tlsReadWantsWrite = false;  // a TLS read waits for the socket to be writable
    const TlsContext* m_connectTls = nullptr;  // not owned; see connectWithTls
    std::string m_connectHost;
};

// Makes the sessions of accepted connections. Owned by whoever binds a
// listener with it (often a static); event-loop thread only.
class SessionFactory {
public:
    SessionFactory() = default;
    SessionFactory(const SessionFactory&) = delete;
    SessionFactory& operator=(const SessionFactory&) = delete;
    virtual ~SessionFactory() = default;

    // A new session with 1024-byte buffers; null when none can be made.
    virtual Session* newInst();
    virtual void releaseInst(Session* s);

    int sendBufLimit() const { return m_sendBufLimit; }
    void setSendBufLimit(int bytes) { m_sendBufLimit = bytes; }

protected:
    // Settings every newInst() applies to the session it makes.
    void applySettings(Session* s) const;

    int m_sendBufLimit = Session::kDefaultSendBufLimit;
};
