#include "net/HttpClientSession.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "cpputil/HostUtil.h"
#include "cpputil/ErrorLog.h"
#include "cpputil/Trace.h"
#include "cpputil/Util.h"

// ---- HttpResPacket --------------------------------------------------------

void HttpResPacket::clear() {
    m_code[0] = '\0';
    m_ver[0] = '\0';
    m_bodylen = 0;
    m_body = nullptr;
    m_streamed = false;
}

// ---- request --------------------------------------------------------------

namespace {

const char* orEmpty(const char* s) { return s ? s : ""; }

}  // namespace

std::string HttpClientSession::buildHead(const char* ver, const char* method, const char* page,
                                         const char* param, const char* addedHeader) {
    const std::string v = orEmpty(ver);
    std::string head;
    if (method && std::strcmp(method, "GET") == 0) {
        head = "GET " + std::string(orEmpty(page));
        if (param) head += std::string("?") + param;
        head += " HTTP/" + v + "\r\n" + orEmpty(addedHeader) + "\r\n";
    } else if (method && std::strcmp(method, "POST") == 0) {
        const size_t bodyLen = param ? std::strlen(param) : 0;
        head = "POST " + std::string(orEmpty(page)) + " HTTP/" + v +
               "\r\nContent-type: application/x-www-form-urlencoded\r\nAccept-Language: ko\r\n" +
               orEmpty(addedHeader) + "Content-Length: " + std::to_string(bodyLen) + "\r\n\r\n";
    }
    return head;
}

int HttpClientSession::query(const char* host, int port, const char* ver, const char* method,
                             const char* page, const char* param, const char* addedHeader,
                             std::string* body, EventHandler* peh) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (port <= 0 || port > 65535 || !resolveHost(&addr, host)) {
        REPORT_ERROR(TRACE_ERROR, "HTTP client: cannot resolve %s:%d", orEmpty(host), port);
        destroy();  // never reached the poller: nobody else will release it
        return -1;
    }
    return query(&addr, ver, method, page, param, addedHeader, body, peh);
}

int HttpClientSession::query(sockaddr_in* addr, const char* ver, const char* method,
                             const char* page, const char* param, const char* addedHeader,
                             std::string*, EventHandler* peh) {
    const std::string head = buildHead(ver, method, page, param, addedHeader);
    if (head.empty()) {
        REPORT_ERROR(TRACE_ERROR, "HTTP client: method %s not supported", orEmpty(method));
        destroy();
        return -1;
    }
    const bool post = std::strcmp(method, "POST") == 0;
    const int bodyLen = post && param ? static_cast<int>(std::strlen(param)) : 0;
    TRACE(TRACE_DEBUG, "query: [%s] [%d] [%d]", head.c_str(), static_cast<int>(head.size()), bodyLen);
    m_bufSend.increase(static_cast<int>(head.size()) + bodyLen);
    m_bufSend.write(head.data(), static_cast<int>(head.size()));
    if (bodyLen > 0) {
        TRACE(TRACE_DEBUG, "body: %s", param);
        m_bufSend.write(param, bodyLen);
    }
    const int rc = TCPConnectAsync(addr);
    TRACE(TRACE_DEBUG, "retval: %d", rc);
    if (rc != 0) {
        // The descriptor is already closed and out of the poller.
        destroy();
        return -1;
    }
    // Failed while connecting at once (a send error): the poller releases it.
    if (m_state == SESSION_RELEASE) return -1;
    if (peh) addEH(peh);
    return 0;
}

void HttpClientSession::cancel() {
    notifyError();
    // Reset, not closed: a WAS that falls behind makes the daemon abandon
    // thousands of connections, and each orderly close would keep a local
    // port in TIME_WAIT for a minute, until connects fail for want of ports
    // and every one of them first searches the whole port range.
    abortOnClose();
    setRelease();
}

void HttpClientSession::streamBodyTo(HttpBodySink* sink, int recvBufBytes) {
    m_sink = sink;
    m_sinkStopped = false;
    if (recvBufBytes > m_bufRecv.getBufSize()) m_bufRecv.setBufSize(recvBufBytes);
}

// ---- observers ------------------------------------------------------------

int HttpClientSession::addEH(EventHandler* peh) {
    TRACE(TRACE_DEBUG, "HttpClientSession::addEH(%p)", static_cast<void*>(peh));
    m_peh = peh;
    return 0;
}

int HttpClientSession::delEH(EventHandler* peh) {
    TRACE(TRACE_DEBUG, "HttpClientSession::delEH(%p)", static_cast<void*>(peh));
    if (!peh || m_peh != peh) return -1;
    forgetHandler();
    return 0;
}

void HttpClientSession::forgetHandler() {
    m_peh = nullptr;
    m_sink = nullptr;
}

void HttpClientSession::notifyError() {
    if (!m_peh) return;
    EventHandler* h = m_peh;
    forgetHandler();  // first: the handler may delete itself
    bool remove = true;
    h->errorEvent(this, &remove);
}

void HttpClientSession::clear() {
    forgetHandler();
    m_sinkStopped = false;
    m_rs = RECV_HTTP_INIT;
    m_body.clear();
    m_bodyTooLarge = false;
    Session::clear();
}

// ---- events ---------------------------------------------------------------

void HttpClientSession::connectEvent() {
    TRACE(TRACE_DEBUG, "HttpClientSession::connectEvent OK, and send Data");
    Session::connectEvent();
    TRACE(TRACE_DEBUG, "before send: m_bufSend.getDataSize() = %d", m_bufSend.getDataSize());
    // doSendBuffer keeps write interest while data is left, and fails the
    // session on a hard error.
    if (doSendBuffer() != 0) return;
    TRACE(TRACE_DEBUG, "after send: m_bufSend.getDataSize() = %d", m_bufSend.getDataSize());
}

void HttpClientSession::reportTlsFailure(const std::string& why) {
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &m_sa.sin_addr, ip, sizeof ip);
    REPORT_ERROR(TRACE_ERROR, "HTTPS to %s (%s:%d) failed: %s", connectHost().c_str(), ip, ntohs(m_sa.sin_port),
                 why.c_str());
}

void HttpClientSession::errorEvent(errortype_t type, int err) {
    TRACE(TRACE_DEBUG, "HttpClientSession::errorEvent, type=%d, err=%d, m_rs=%d, peh=%p", type, err,
          m_rs, static_cast<void*>(m_peh));
    if (m_rs == RECV_HTTP_BODY) {
        // The body ends with the connection. Delivered once: the release path
        // raises a second errorEvent.
        m_rs = RECV_HTTP_ERROR;
        const bool kept = !m_bodyTooLarge && !m_sink;
        m_recvPacket.m_bodylen = kept ? static_cast<int>(m_body.size()) : 0;
        m_recvPacket.m_body = kept ? m_body.data() : nullptr;
        m_recvPacket.m_streamed = m_sink != nullptr;
        recvPacketEvent(&m_recvPacket);
    }
    notifyError();
    Session::errorEvent(type, err);
}

void HttpClientSession::recvPacketEvent(HttpResPacket* packet) {
    TRACE(TRACE_DEBUG, "m_peh=%p, bodylen=%d", static_cast<void*>(m_peh), packet->m_bodylen);
    TRACE(TRACE_DEBUG, "HttpClientSession::recvPacketEvent");
    if (packet->m_body && packet->m_bodylen > 0)
        HexDump(reinterpret_cast<const unsigned char*>(packet->m_body), packet->m_bodylen, stderr);
    if (!m_peh) return;
    EventHandler* h = m_peh;
    forgetHandler();
    bool remove = true;
    h->resRecvEvent(this, packet, &remove);
}

void HttpClientSession::readData(int bytes, IOBuffer* buf) {
    TRACE(TRACE_DEBUG, "HttpClientSession::readData(%d)", bytes);
    if (m_rs == RECV_HTTP_ERROR) m_rs = RECV_HTTP_INIT;
    if (m_rs == RECV_HTTP_INIT && readStatusLine(buf) && readHeaders(buf)) readBody(buf);
    else if (m_rs == RECV_HTTP_HEADER && readHeaders(buf)) readBody(buf);
    else if (m_rs == RECV_HTTP_BODY) readBody(buf);
    buf->flush();
    if (m_rs == RECV_HTTP_INVALID) {
        buf->clear();
        errorEvent(SESSION_ELOGIC, 0);
    } else if (m_bodyTooLarge && m_rs == RECV_HTTP_BODY) {
        errorEvent(SESSION_ELOGIC, EMSGSIZE);
    } else if (m_sinkStopped && m_rs == RECV_HTTP_BODY) {
        errorEvent(SESSION_ELOGIC, ECANCELED);
    }
}

bool HttpClientSession::readStatusLine(IOBuffer* buf) {
    m_rs = RECV_HTTP_INIT;
    m_recvPacket.clear();
    m_body.clear();
    m_bodyTooLarge = false;
    char line[kMaxLineBytes + 1];
    const int n = buf->readline(line, kMaxLineBytes);
    if (n == 0) return false;
    if (n < 0 || n < 15) {
        m_rs = RECV_HTTP_INVALID;
        return false;
    }
    line[n] = '\0';
    TRACE(TRACE_DEBUG, "%s", line);
    std::memcpy(m_recvPacket.m_ver, line + 5, 3);
    m_recvPacket.m_ver[3] = '\0';
    std::memcpy(m_recvPacket.m_code, line + 9, 3);
    m_recvPacket.m_code[3] = '\0';
    m_rs = RECV_HTTP_HEADER;
    return true;
}

bool HttpClientSession::readHeaders(IOBuffer* buf) {
    char line[kMaxLineBytes + 1];
    for (;;) {
        const int n = buf->readline(line, kMaxLineBytes);
        if (n == 0) return false;
        if (n < 0) {
            m_rs = RECV_HTTP_INVALID;
            return false;
        }
        // Content-Length is not trusted: the body ends with the connection.
        if (line[0] == '\r' || line[0] == '\n') {
            m_rs = RECV_HTTP_BODY;
            return true;
        }
    }
}

void HttpClientSession::readBody(IOBuffer* buf) {
    if (m_sink) {
        const int n = buf->getDataSize();
        if (n > 0 && !m_sinkStopped) m_sinkStopped = !m_sink->bodyBytes(buf->data(), static_cast<size_t>(n));
        buf->throwAway(n);
        return;
    }
    if (m_bodyTooLarge) {
        buf->throwAway(buf->getDataSize());
        return;
    }
    if (m_body.size() + static_cast<size_t>(buf->getDataSize()) > static_cast<size_t>(kMaxBodyBytes)) {
        REPORT_ERROR(TRACE_WARNING, "HTTP client: reply body over %d bytes, fd=%d", kMaxBodyBytes, m_sockfd);
        m_bodyTooLarge = true;
        std::string().swap(m_body);
        buf->throwAway(buf->getDataSize());
        return;
    }
    buf->appendAllToString(m_body);
}

// ---- factory --------------------------------------------------------------

HttpClientFactory* HttpClientFactory::getInst() {
    static HttpClientFactory factory;
    return &factory;
}

HttpClientSession* HttpClientFactory::newInst() {
    auto* s = new (std::nothrow) HttpClientSession;
    if (!s) return nullptr;
    s->initBuffer(Session::kDefaultBufSize, Session::kDefaultBufSize, 1, 1);
    applySettings(s);
    return s;
}

void HttpClientFactory::releaseInst(Session* s) {
    if (s) s->destroy();
}

int HttpClientFactory::setTrust(const std::string& caFile, std::string* error) {
    auto ctx = std::make_unique<TlsContext>();
    if (ctx->initClient(caFile, error) != 0) return -1;
    m_tls = std::move(ctx);
    return 0;
}

const TlsContext* HttpClientFactory::tlsContext() {
    if (!m_tls) {
        std::string why;
        if (setTrust("", &why) != 0) {
            REPORT_ERROR(TRACE_ERROR, "HTTPS: %s", why.c_str());
            m_tls = std::make_unique<TlsContext>();  // not ready: each HTTPS query fails at once
        }
    }
    return m_tls.get();
}
