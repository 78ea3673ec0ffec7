#pragma once
// One HTTP/1.0 request on a fresh non-blocking connection: builds the head,
// connects, sends, reads the status line, skips the headers and keeps the
// body until the server closes, then tells its one handler. Made by
// HttpClientFactory, owns itself, released through the poller. Loop thread.

#include <netinet/in.h>

#include <memory>
#include <string>

#include "net/Packet.h"
#include "net/Session.h"
#include "net/TlsContext.h"
#include "net/URLEncode.h"

// Takes a reply body piece by piece as it arrives, for replies too large to
// hold whole (a room list of a million members).
class HttpBodySink {
public:
    // False stops the reading: the reply is then delivered as it stands.
    virtual bool bodyBytes(const char* data, size_t len) = 0;

protected:
    ~HttpBodySink() = default;
};

// The received response; its body belongs to the session and is valid
// during the delivery call only.
class HttpResPacket : public Packet {
public:
    void clear();
    // A response is never written.
    int writeTo(IOBuffer*) const override { return 0; }

    char m_code[8] = {};  // three status digits, terminated
    char m_ver[8] = {};   // three version characters after "HTTP/", terminated
    int m_bodylen = 0;
    const char* m_body = nullptr;  // null: no body kept (too large, or streamed)
    bool m_streamed = false;       // the body went to a sink instead
};

class HttpClientSession : public Session {
public:
    enum rstate_t {
        RECV_HTTP_INIT = 0,
        RECV_HTTP_HEADER = 1,
        RECV_HTTP_BODY = 2,
        RECV_HTTP_INVALID = 3,
        RECV_HTTP_ERROR = 4,
    };

    // Longest status or header line accepted; a longer one makes the reply invalid.
    static constexpr int kMaxLineBytes = 1024;
    // A body past this size is not kept: the handler gets the reply with a
    // null body, so nobody can make us hold an unbounded reply in memory.
    static constexpr int kMaxBodyBytes = 4 * 1024 * 1024;

    HttpClientSession() = default;

    // Resolves host (dotted text or name) and calls the address form.
    int query(const char* host, int port, const char* ver, const char* method, const char* page,
              const char* param, const char* addedHeader, std::string* body, EventHandler* peh);
    // Queues the request, starts the connect and registers peh (may be null).
    // page and param may be null; body is not used. Returns 0 when the
    // request is on its way: peh then hears exactly once (resRecvEvent or
    // errorEvent) unless it leaves first. Returns -1 when it failed at once:
    // the session is then gone or on its way out, and the caller must
    // forget it; peh hears nothing.
    int query(sockaddr_in* addr, const char* ver, const char* method, const char* page,
              const char* param, const char* addedHeader, std::string* body, EventHandler* peh);
    // Tells the handler (errorEvent) if one is still registered, then
    // releases the session.
    void cancel();
    // Hands the body to sink as it arrives, with no size cap, reading up to
    // recvBufBytes at a time; the reply is delivered with m_streamed set and
    // no body. Set before query(); the sink is forgotten with the handler.
    void streamBodyTo(HttpBodySink* sink, int recvBufBytes);

    // The request head query() would send; for the tests of the wire format.
    static std::string buildHead(const char* ver, const char* method, const char* page,
                                 const char* param, const char* addedHeader);

    void errorEvent(errortype_t type, int err) override;
    void connectEvent() override;
    // Names the server and OpenSSL's reason in the operator's log.
    void reportTlsFailure(const std::string& why) override;
    void readData(int bytes, IOBuffer* buf) override;
    void clear() override;
    int addEH(EventHandler* peh) override;
    int delEH(EventHandler* peh) override;
    // Nothing is pushed on this session.
    int push(const Packet*) override { return -1; }
    virtual void recvPacketEvent(HttpResPacket* packet);

    rstate_t receiveState() const { return m_rs; }

private:
    // Each returns false when it needs more data or the reply is invalid.
    bool readStatusLine(IOBuffer* buf);
    bool readHeaders(IOBuffer* buf);
    void readBody(IOBuffer* buf);
    void notifyError();
    void forgetHandler();

    rstate_t m_rs = RECV_HTTP_INIT;
    std::string m_body;
    bool m_bodyTooLarge = false;
    EventHandler* m_peh = nullptr;  // not owned
    HttpBodySink* m_sink = nullptr;  // not owned; belongs with m_peh
    bool m_sinkStopped = false;
    HttpResPacket m_recvPacket;
};

// Makes the WAS connections. Process-wide; loop thread.
class HttpClientFactory : public SessionFactory {
public:
    static HttpClientFactory* getInst();

    // A new session with 1024-byte buffers; null when none can be made.
    HttpClientSession* newInst() override;
    void releaseInst(Session* s) override;

    // The trust HTTPS servers are verified against: caFile, or the system
    // store when empty. 0, or -1 with *error (the previous trust stays).
    int setTrust(const std::string& caFile, std::string* error);
    // For session->connectWithTls(); set up with the system store on first
    // use when setTrust was never called. Not ready when that failed.
    const TlsContext* tlsContext();

private:
    std::unique_ptr<TlsContext> m_tls;
};
