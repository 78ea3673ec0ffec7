#pragma once
// A small HTTP/1.x server on the event loop, for status pages beside a
// service: one request per connection, answered by a responder and closed
// (Connection: close). The request head is bounded, the connections are
// capped by the factory, and a client that is slow to send or to take its
// reply is cut off. Sessions own themselves (made by HttpServerFactory,
// deleted by their release path); event-loop thread only.

#include <string>

#include "net/HttpRequestReader.h"
#include "net/Session.h"

struct http_reply_t {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
    std::string extraHeaders;  // whole lines, each ending in "\r\n"
};

// Answers the well-formed requests of an HttpServerFactory's sessions.
class HttpResponder {
public:
    virtual ~HttpResponder() = default;
    virtual http_reply_t respond(const HttpRequestReader& request) = 0;
};

class HttpServerFactory;

class HttpServerSession : public Session {
public:
    static constexpr int kTimeoutTimerId = 0x30001;

    explicit HttpServerSession(HttpServerFactory* factory);
    // Tells the factory, which counts the connections.
    ~HttpServerSession() override;

    void readData(int len, IOBuffer* buf) override;
    int OnTimer(int id, void* param) override;
    // Arms the timeout; done by the factory once the session is made.
    void startTimeout(int seconds);

    // "HTTP/1.1 <status> <reason>" with the headers every reply carries.
    static std::string replyBytes(const http_reply_t& reply, bool withBody);
    static const char* reasonPhrase(int status);

private:
    void answer(const http_reply_t& reply, bool withBody);

    HttpServerFactory* m_factory;
    HttpRequestReader m_reader;
    bool m_answered = false;
};

// Makes the sessions of one HTTP listener. Beyond maxConnections open at
// once, newInst() gives none, so the shell closes the new connection at
// once. Must outlive its sessions; the App ends those still open in exit(),
// so a factory that lives until then is enough. Event-loop thread only.
class HttpServerFactory : public SessionFactory {
public:
    struct options_t {
        int maxConnections = 16;
        int timeoutSec = 10;              // to send the request and take the reply
        size_t maxHeadBytes = HttpRequestReader::kDefaultMaxHeadBytes;
    };

    HttpServerFactory(HttpResponder* responder, options_t options) : m_responder(responder), m_options(options) {}

    Session* newInst() override;

    HttpResponder* responder() const { return m_responder; }
    size_t maxHeadBytes() const { return m_options.maxHeadBytes; }
    int openConnections() const { return m_open; }
    // Connections closed at once because maxConnections were open.
    uint64_t refusedConnections() const { return m_refused; }

private:
    friend class HttpServerSession;
    void sessionEnded() { --m_open; }

    HttpResponder* m_responder;
    options_t m_options;
    int m_open = 0;
    uint64_t m_refused = 0;
};
