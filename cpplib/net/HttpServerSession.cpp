#include "net/HttpServerSession.h"

#include <new>

#include "cpputil/LoopThread.h"
#include "cpputil/MicroTimer.h"

namespace {

// Enough for any request head within the bound to arrive in a few reads;
// readData takes everything out at once, so the buffer never fills.
constexpr int kRecvBufSize = 4096;
constexpr int kSendBufSize = 1024;

}  // namespace

HttpServerSession::HttpServerSession(HttpServerFactory* factory)
    : m_factory(factory), m_reader(factory->maxHeadBytes()) {}

HttpServerSession::~HttpServerSession() {
    // Session's destructor kills this session's timers.
    m_factory->sessionEnded();
}

void HttpServerSession::startTimeout(int seconds) {
    MicroTimer::getInst().setTimer(this, kTimeoutTimerId, seconds);
}

void HttpServerSession::readData(int len, IOBuffer* buf) {
    ASSERT_IN_LOOP_THREAD();
    // The reader keeps what it needs, within its bound.
    const HttpRequestReader::state_t state =
        m_answered ? HttpRequestReader::state_t::DONE : m_reader.feed(buf->data(), static_cast<size_t>(len));
    buf->throwAway(len);
    buf->flush();
    if (m_answered || state == HttpRequestReader::state_t::MORE) return;
    if (state == HttpRequestReader::state_t::FAILED) {
        answer({m_reader.status(), "text/plain; charset=utf-8", m_reader.reason() + "\n", ""}, true);
        return;
    }
    const bool head = m_reader.method() == "HEAD";
    answer(m_factory->responder()->respond(m_reader), !head);
}

void HttpServerSession::answer(const http_reply_t& reply, bool withBody) {
    m_answered = true;
    const std::string bytes = replyBytes(reply, withBody);
    push(bytes.data(), static_cast<unsigned>(bytes.size()));
    // Reading stops; the session is released once the reply is written (or
    // at the timeout, when the client does not take it).
    setExpired();
}

int HttpServerSession::OnTimer(int id, void* param) {
    if (id != kTimeoutTimerId) return Session::OnTimer(id, param);
    MicroTimer::getInst().killTimer(this, kTimeoutTimerId);
    if (m_answered) {
        setRelease();  // the reply was never taken
        return 0;
    }
    answer({408, "text/plain; charset=utf-8", "request not received in time\n", ""}, true);
    return 0;
}

const char* HttpServerSession::reasonPhrase(int status) {
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Content Too Large";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Status";
    }
}

std::string HttpServerSession::replyBytes(const http_reply_t& reply, bool withBody) {
    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reasonPhrase(reply.status) + "\r\n";
    out += "Content-Type: " + reply.contentType + "\r\n";
    out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    out += "Connection: close\r\n";
    out += reply.extraHeaders;
    out += "\r\n";
    if (withBody) out += reply.body;
    return out;
}

Session* HttpServerFactory::newInst() {
    ASSERT_IN_LOOP_THREAD();
    if (m_open >= m_options.maxConnections) {
        ++m_refused;
        return nullptr;  // the shell closes the descriptor
    }
    auto* s = new (std::nothrow) HttpServerSession(this);
    if (!s) return nullptr;
    ++m_open;
    s->initBuffer(kSendBufSize, kRecvBufSize, 1, 1);
    applySettings(s);
    s->startTimeout(m_options.timeoutSec);
    return s;
}
