#include "net/Session.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "cpputil/LoopThread.h"
#include "cpputil/SockUtil.h"
#include "cpputil/ErrorLog.h"
#include "cpputil/Trace.h"
#include "cpputil/Util.h"
#include "net/Packet.h"
#include "net/TlsConnection.h"
#include "net/TlsContext.h"

std::atomic<int64_t> Session::s_recvBytes{0};
std::atomic<int64_t> Session::s_sentBytes{0};
std::atomic<int> Session::s_counts{0};

namespace {

bool transient(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

}  // namespace

Session::Session() {
    ++s_counts;
}

Session::~Session() {
    // No timer may fire into a deleted receiver.
    MicroTimer::getInst().killAll(this);
    if (m_flushQueued && g_pPoller) g_pPoller->cancelFlush(this);
    if (m_tracker) m_tracker->sessionGone(this);
    if (m_sockfd >= 0) closeSocket();
    m_state = SESSION_NONE;
    --s_counts;
}

// ---- dispatch and release -------------------------------------------------

int Session::notifyPollEvent(Poller::PollEvent* ev) {
    ASSERT_IN_LOOP_THREAD();
    if (m_state != SESSION_RELEASE && dispatch(ev)) return 0;
    release(ev);
    return 0;
}

// True when the event was handled and the session lives on.
bool Session::dispatch(Poller::PollEvent* ev) {
    bool handled = false;
    if (m_state == SESSION_CONNECTING) {
        // Whatever a connecting socket reports (writable, error, hang-up, or
        // readable under select) is the outcome of the connect: reading it
        // would swallow the socket error and misreport it as a read failure.
        writeEvent(ev);
        handled = true;
    } else {
        if (m_state != SESSION_EXPIRED && (ev->revents & (Poller::EV_READ | Poller::EV_ERROR))) {
            readEvent(ev);
            handled = true;
        }
        if (m_state == SESSION_RELEASE) return false;
        if (ev->revents & Poller::EV_WRITE) {
            writeEvent(ev);
            handled = true;
        }
    }
    if (m_state == SESSION_EXPIRED && m_bufSend.getDataSize() == 0) {
        setRelease();
        handled = true;
    }
    return m_state != SESSION_RELEASE && handled;
}

void Session::release(Poller::PollEvent* ev) {
    // The teardown itself is no error: whatever errno holds here belongs to
    // an unrelated earlier call, and the error that led here was reported.
    errorEvent(SESSION_EDELETE, 0);
    if (m_sockfd >= 0) {
        closeSocket();
    } else if (g_pPoller) {
        // The poller still maps this descriptor to us, but we no longer own
        // it: it may already belong to someone else, so it is not closed.
        g_pPoller->del(ev->fd);
    }
    destroy();
}

void Session::releaseNow() {
    errorEvent(SESSION_EDELETE, 0);
    if (m_sockfd >= 0) closeSocket();
    destroy();
}

void Session::destroy() {
    delete this;
}

void Session::closeSocket() {
    if (g_pPoller) g_pPoller->del(m_sockfd);
    if (m_tls) {
        if (!m_abortOnClose) m_tls->shutdown();
        m_tls.reset();
    }
    // A write shutdown would send the FIN that an abortive close avoids.
    if (!m_abortOnClose) ::shutdown(m_sockfd, SHUT_RDWR);
    ::close(m_sockfd);
    m_sockfd = -1;
    m_abortOnClose = false;
}

// A session marked for release outside a dispatch must still get an event,
// even when its peer neither reads nor writes: a shut-down socket always
// reports one (a read shutdown alone suffices and sends nothing).
void Session::forceReleaseEvent() {
    if (m_sockfd >= 0) ::shutdown(m_sockfd, m_abortOnClose ? SHUT_RD : SHUT_RDWR);
}

void Session::abortOnClose() {
    if (m_sockfd < 0) return;
    const linger abort{1, 0};
    if (::setsockopt(m_sockfd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort) == 0) m_abortOnClose = true;
}

void Session::wantWrite(bool on) {
    if (!g_pPoller || m_sockfd < 0) return;
    if (on)
        g_pPoller->orMask(m_sockfd, Poller::EV_WRITE);
    else
        g_pPoller->andMask(m_sockfd, static_cast<short>(~Poller::EV_WRITE));
}

// ---- reading --------------------------------------------------------------

void Session::readEvent(Poller::PollEvent*) {
    if (m_tls) {
        tlsReadEvent();
        return;
    }
    if (m_bufRecv.isFull()) {
        readData(m_bufRecv.getDataSize(), &m_bufRecv);
        if (m_state == SESSION_RELEASE) return;
        if (m_bufRecv.isFull()) {
            errorEvent(SESSION_ELOGIC, 0);
            return;
        }
    }
    int total = 0;
    int n = 0;
    int readErr = 0;
    for (int i = 0; i < m_recvCount && !m_bufRecv.isFull(); ++i) {
        n = m_bufRecv.recvFromSocket(m_sockfd);
        if (n <= 0) {
            readErr = errno;
            break;
        }
        total += n;
    }
    s_recvBytes += total;
    if (total > 0) readData(total, &m_bufRecv);
    if (n > 0) return;
    if (n < 0 && transient(readErr)) return;
    // readData may have failed the session already; one error is enough.
    if (m_state == SESSION_RELEASE) return;
    errorEvent(n == 0 ? SESSION_ECLOSE : SESSION_EREAD, n == 0 ? 0 : readErr);
}

void Session::readData(int len, IOBuffer* buf) {
    buf->throwAway(len);
    // Without compaction the discarded bytes would still count against the
    // capacity, and a plain session would fail once it had read 1 KiB.
    buf->flush();
}

// ---- writing --------------------------------------------------------------

void Session::writeEvent(Poller::PollEvent*) {
    if (m_state == SESSION_CONNECTING) {
        finishConnect();
        return;
    }
    if (m_tls) {
        tlsWriteEvent();
        return;
    }
    doSendBuffer();
}

void Session::writeData(int len) {
    s_sentBytes += len;
}

// One write of the queued data; the result of send().
int Session::sendFromBuffer() {
    if (m_tls) return tlsSendFromBuffer();
    IOBuffer::WSABUF w;
    m_bufSend.getRead(&w);
    const ssize_t n = ::send(m_sockfd, w.buf, static_cast<size_t>(w.len), MSG_NOSIGNAL);
    if (n > 0) {
        w.len = static_cast<int>(n);
        m_bufSend.releaseRead(&w);
    }
    return static_cast<int>(n);
}

int Session::doSendBuffer() {
    int sent = 0;
    int err = 0;
    for (int i = 0; i < m_sendCount && m_bufSend.getDataSize() > 0; ++i) {
        const int n = sendFromBuffer();
        if (n < 1) {
            if (n < 0) err = errno;
            break;
        }
        sent += n;
    }
    if (err != 0 && !transient(err)) {
        // A failed TLS handshake has already failed the session.
        if (m_state == SESSION_RELEASE) return -1;
        m_bufSend.clear();
        wantWrite(false);
        errorEvent(SESSION_EWRITE, err);
        return -1;
    }
    writeData(sent);
    // No compaction here: a backlog moves only when increase() needs room.
    if (m_bufSend.getDataSize() > 0) return 0;
    if (m_state == SESSION_EXPIRED)
        setRelease();
    else
        wantWrite(false);
    return 0;
}

void Session::reportOverflow(int64_t queued) {
    REPORT_ERROR(TRACE_WARNING, "send buffer limit %d reached (%lld bytes queued), fd=%d; connection closed",
                 m_sendBufLimit, static_cast<long long>(queued), m_sockfd);
}

// A peer that stops reading must not make us buffer without bound.
bool Session::failOnOverflow(int64_t queued) {
    if (queued <= m_sendBufLimit) return false;
    reportOverflow(queued);
    m_bufSend.clear();
    // A reset drops the megabytes the kernel still holds for this reader at
    // once; a plain close would leave them queued behind a zero window.
    abortOnClose();
    wantWrite(false);
    errno = ENOBUFS;
    errorEvent(SESSION_EWRITE, ENOBUFS);
    return true;
}

int Session::push(const Packet* p) {
    ASSERT_IN_LOOP_THREAD();
    if (m_sockfd < 0 || !p) return 0;
    if (m_state == SESSION_RELEASE) return -1;
    if (p->writeTo(&m_bufSend) < 0) return -1;
    if (failOnOverflow(m_bufSend.getDataSize())) return -1;
    queueFlush();
    return 0;
}

int Session::push(const void* data, unsigned int len) {
    ASSERT_IN_LOOP_THREAD();
    if (g_trace.isOn() && data && len > 0) traceHexDump(data, static_cast<int>(std::min(len, 16u)));
    if (m_sockfd < 0 || len == 0 || !data) return 0;
    if (m_state == SESSION_RELEASE) return -1;
    const int64_t queued = static_cast<int64_t>(m_bufSend.getDataSize()) + len;
    // The limit is an int, so this also refuses any len beyond INT_MAX.
    if (failOnOverflow(queued)) return -1;
    // Order is kept: new bytes go behind what is already queued.
    m_bufSend.increase(static_cast<int>(len));
    m_bufSend.write(static_cast<const char*>(data), static_cast<int>(len));
    queueFlush();
    return 0;
}

void Session::queueFlush() {
    if (m_flushQueued || m_state == SESSION_CONNECTING) return;  // a connect writes when it completes
    if (!g_pPoller) {
        doSendBuffer();
        return;
    }
    m_flushQueued = true;
    g_pPoller->deferFlush(this);
}

void Session::flushDeferred() {
    m_flushQueued = false;
    if (m_sockfd < 0 || m_state == SESSION_RELEASE || m_state == SESSION_CONNECTING) return;
    if (m_bufSend.getDataSize() == 0) return;
    if (doSendBuffer() != 0) return;
    // An expired session that drained its last reply ends now, outside any
    // dispatch, rather than at an event its peer may never cause.
    if (m_state == SESSION_RELEASE) {
        releaseNow();
        return;
    }
    // Interest only while the kernel took less than all of it.
    if (m_bufSend.getDataSize() > 0) wantWrite(true);
}

void Session::sendQueuedBeforeClose() {
    if (m_sockfd < 0 || m_state == SESSION_CONNECTING) return;
    while (m_bufSend.getDataSize() > 0) {
        const int n = sendFromBuffer();
        if (n < 1) break;
        writeData(n);
    }
}

// ---- TLS ------------------------------------------------------------------

bool Session::startTls(const TlsContext& ctx, const std::string& hostName) {
    if (m_sockfd < 0) return false;
    std::unique_ptr<TlsConnection> link = ctx.isServer() ? TlsConnection::accept(ctx, m_sockfd)
                                                         : TlsConnection::connect(ctx, m_sockfd, hostName);
    if (!link) return false;
    m_tls = std::move(link);
    m_tlsError.clear();
    // A peer that never finishes (a plain-text client waiting for a banner,
    // a stalled handshake) holds its descriptor this long at most.
    MicroTimer::getInst().setTimer(this, kHandshakeTimerId, ctx.handshakeTimeoutSec());
    return true;
}

void Session::connectWithTls(const TlsContext* ctx, std::string hostName) {
    m_connectTls = ctx;
    m_connectHost = std::move(hostName);
}

// After a connect made its socket: false when TLS was asked for and no
// link could be made (the socket is then closed).
bool Session::attachConnectTls() {
    if (!m_connectTls || startTls(*m_connectTls, m_connectHost)) return true;
    m_tlsError = "cannot start TLS: " + TlsContext::takeErrors();
    closeSocket();
    return false;
}

void Session::reportTlsFailure(const std::string& why) {
    TRACE(TRACE_INFO, "TLS failed, fd=%d: %s", m_sockfd, why.c_str());
}

void Session::failTls(const std::string& why) {
    m_tlsError = why;
    MicroTimer::getInst().killTimer(this, kHandshakeTimerId);
    reportTlsFailure(why);
    // Nothing queued can be sent over a link that never came up.
    m_bufSend.clear();
    errno = EPROTO;
    errorEvent(SESSION_ECONNECT, EPROTO);
}

void Session::setInterest(bool write) {
    if (!g_pPoller || m_sockfd < 0) return;
    short events = write ? Poller::EV_WRITE : 0;
    if (m_state != SESSION_EXPIRED) events |= Poller::EV_READ;
    g_pPoller->setMask(m_sockfd, events);
}

bool Session::advanceHandshake() {
    switch (m_tls->handshake()) {
        case TlsConnection::io_t::DONE:
            MicroTimer::getInst().killTimer(this, kHandshakeTimerId);
            setInterest(m_bufSend.getDataSize() > 0);
            if (m_bufSend.getDataSize() > 0) queueFlush();
            return true;
        case TlsConnection::io_t::WANT_READ:
            setInterest(false);
            return false;
        case TlsConnection::io_t::WANT_WRITE:
            setInterest(true);
            return false;
        case TlsConnection::io_t::CLOSED:
            failTls("closed during the TLS handshake");
            return false;
        case TlsConnection::io_t::FAILED:
            failTls(m_tls->error());
            return false;
    }
    return false;
}

void Session::tlsReadEvent() {
    if (!m_tls->established() && !advanceHandshake()) return;
    // A record may hold more than the buffer takes, and what OpenSSL keeps
    // is invisible to the poller: read until it wants the socket again.
    // Past kRecords only what it already holds is read, so that a peer that
    // sends without pause cannot keep the loop here.
    constexpr int kRecords = 16;
    int total = 0;
    for (int i = 0;; ++i) {
        if (m_bufRecv.isFull()) {
            readData(m_bufRecv.getDataSize(), &m_bufRecv);
            if (m_state == SESSION_RELEASE || m_state == SESSION_EXPIRED) break;
            if (m_bufRecv.isFull()) {
                errorEvent(SESSION_ELOGIC, 0);
                break;
            }
        }
        if (i >= kRecords && !m_tls->hasPending()) break;
        IOBuffer::WSABUF w;
        m_bufRecv.getWrite(&w);
        TlsConnection::io_t st;
        const int n = m_tls->read(w.buf, w.len, &st);
        if (n > 0) {
            w.len = n;
            m_bufRecv.releaseWrite(&w);
            total += n;
            readData(n, &m_bufRecv);
            if (m_state == SESSION_RELEASE || m_state == SESSION_EXPIRED) break;
            continue;
        }
        if (st == TlsConnection::io_t::CLOSED) {
            errorEvent(SESSION_ECLOSE, 0);
        } else if (st == TlsConnection::io_t::FAILED) {
            m_tlsError = m_tls->error();
            errorEvent(SESSION_EREAD, EPROTO);
        }
        if (st == TlsConnection::io_t::WANT_WRITE) {
            // Reading has something to send first (a TLS 1.3 post-handshake
            // message): go on once the socket takes it.
            m_tlsReadWantsWrite = true;
            wantWrite(true);
        }
        break;  // WANT_READ: the poller tells when more comes
    }
    s_recvBytes += total;
}

void Session::tlsWriteEvent() {
    if (!m_tls->established()) {
        // Application data may have come with the last handshake flight.
        if (advanceHandshake()) tlsReadEvent();
        return;
    }
    if (m_tlsReadWantsWrite && m_state != SESSION_EXPIRED) {
        m_tlsReadWantsWrite = false;
        tlsReadEvent();
        if (m_state == SESSION_RELEASE) return;
    }
    // Also drops the write interest once nothing is left to send.
    doSendBuffer();
}

int Session::tlsSendFromBuffer() {
    // Output waits for the handshake; a flush meanwhile drives it on.
    if (!m_tls->established() && !advanceHandshake()) {
        errno = m_state == SESSION_RELEASE ? EPROTO : EAGAIN;
        return -1;
    }
    IOBuffer::WSABUF w;
    m_bufSend.getRead(&w);
    TlsConnection::io_t st;
    const int n = m_tls->write(w.buf, w.len, &st);
    if (n > 0) {
        w.len = n;
        m_bufSend.releaseRead(&w);
        return n;
    }
    if (st == TlsConnection::io_t::WANT_READ || st == TlsConnection::io_t::WANT_WRITE) {
        errno = EAGAIN;
        return -1;
    }
    m_tlsError = st == TlsConnection::io_t::CLOSED ? "closed by peer" : m_tls->error();
    errno = st == TlsConnection::io_t::CLOSED ? EPIPE : EPROTO;
    return -1;
}

// ---- state ----------------------------------------------------------------

void Session::errorEvent(errortype_t type, int) {
    // Replies queued just before a refusal (a protocol error, say) still
    // leave; after a socket error there is nothing left to try.
    if (type != SESSION_EREAD && type != SESSION_EWRITE && type != SESSION_ECLOSE) sendQueuedBeforeClose();
    broadCastEvent(EVENT_ERROR);
    if (m_state == SESSION_CONNECTING) MicroTimer::getInst().killTimer(this, kConnectTimerId);
    m_state = SESSION_RELEASE;
    forceReleaseEvent();
}

void Session::connectEvent() {
    if (m_state == SESSION_CONNECTING) {
        m_state = SESSION_NONE;
        MicroTimer::getInst().killTimer(this, kConnectTimerId);
    }
    broadCastEvent(EVENT_CONNECTED);
}

void Session::setRelease() {
    if (m_state == SESSION_RELEASE) return;
    MicroTimer::getInst().killTimer(this, kConnectTimerId);
    sendQueuedBeforeClose();
    m_state = SESSION_RELEASE;
    if (g_pPoller && m_sockfd >= 0) {
        g_pPoller->orMask(m_sockfd, Poller::EV_WRITE);
        forceReleaseEvent();
    }
}

void Session::setExpired() {
    if (m_state == SESSION_EXPIRED || m_state == SESSION_RELEASE) return;
    MicroTimer::getInst().killTimer(this, kConnectTimerId);
    m_state = SESSION_EXPIRED;
    if (g_pPoller && m_sockfd >= 0) {
        g_pPoller->andMask(m_sockfd, static_cast<short>(~Poller::EV_READ));
        g_pPoller->orMask(m_sockfd, Poller::EV_WRITE);
    }
}

void Session::clear() {
    if (m_sockfd >= 0) closeSocket();
    m_sa = sockaddr_in{};
    m_state = SESSION_NONE;
    m_bufSend.clear();
    m_bufSend.setBufSize(m_sendBufSize);
    m_bufRecv.clear();
    m_bufRecv.setBufSize(m_recvBufSize);
}

void Session::initBuffer(int sendBufSize, int recvBufSize, int recvCount, int sendCount) {
    // A zero-sized receive buffer would count as full before the first read.
    m_sendBufSize = std::max(sendBufSize, 1);
    m_recvBufSize = std::max(recvBufSize, 1);
    m_recvCount = std::max(recvCount, 1);
    m_sendCount = std::max(sendCount, 1);
    m_bufSend.clear();
    m_bufSend.setBufSize(m_sendBufSize);
    m_bufRecv.clear();
    m_bufRecv.setBufSize(m_recvBufSize);
}

bool Session::import(int fd) {
    clear();
    m_sockfd = fd;
    setNonblocking(fd);
    if (!g_pPoller || g_pPoller->add(fd, this, Poller::EV_READ) != 0) {
        clear();
        return false;
    }
    return true;
}

int Session::OnTimer(int id, void*) {
    if (id == kHandshakeTimerId) {
        MicroTimer::getInst().killTimer(this, kHandshakeTimerId);
        if (m_tls && !m_tls->established() && m_state != SESSION_RELEASE) failTls("TLS handshake timed out");
        return 0;
    }
    if (id == kConnectTimerId) {
        errno = ETIMEDOUT;
        errorEvent(SESSION_ECONNECT, ETIMEDOUT);
    }
    return 0;
}

// ---- connecting -----------------------------------------------------------

int Session::registerConnected() {
    const short events = m_bufSend.getDataSize() > 0 ? (Poller::EV_READ | Poller::EV_WRITE) : Poller::EV_READ;
    if (!g_pPoller || g_pPoller->add(m_sockfd, this, events) != 0) {
        clear();
        return -1;
    }
    connectEvent();
    return 0;
}

void Session::finishConnect() {
    int soerr = 0;
    socklen_t len = sizeof soerr;
    const int rc = ::getsockopt(m_sockfd, SOL_SOCKET, SO_ERROR, &soerr, &len);
    if (rc != 0 || soerr != 0) {
        const int err = rc != 0 ? errno : soerr;
        m_state = SESSION_NONE;
        wantWrite(false);
        errno = err;
        errorEvent(SESSION_ECONNECT, err);
        return;
    }
    // Bytes queued while connecting keep their writable interest.
    const short events = m_bufSend.getDataSize() > 0 ? (Poller::EV_READ | Poller::EV_WRITE) : Poller::EV_READ;
    if (g_pPoller) g_pPoller->setMask(m_sockfd, events);
    connectEvent();
}

int Session::TCPConnectAsync(sockaddr_in* addr) {
    if (m_sockfd >= 0) closeSocket();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    setNonblocking(fd);
    m_sockfd = fd;
    m_sa = *addr;
    if (!attachConnectTls()) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(addr), sizeof *addr) == 0) {
        m_state = SESSION_NONE;
        return registerConnected();
    }
    if (errno == EINPROGRESS) {
        m_state = SESSION_CONNECTING;
        if (g_pPoller && g_pPoller->add(fd, this, Poller::EV_WRITE) == 0) return 0;
        clear();
        return -1;
    }
    ::close(fd);
    m_sockfd = -1;
    return -1;
}

int Session::TCPConnectSync(sockaddr_in* addr, int) {
    if (m_sockfd >= 0) closeSocket();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(addr), sizeof *addr) != 0) {
        ::close(fd);
        return -1;
    }
    // The session's send path relies on EAGAIN, so the socket joins the
    // loop non-blocking like every other.
    setNonblocking(fd);
    m_sockfd = fd;
    m_sa = *addr;
    m_state = SESSION_NONE;
    if (!attachConnectTls()) return -1;
    return registerConnected();
}

namespace {

struct AddrInfoFree {
    void operator()(addrinfo* ai) const { freeaddrinfo(ai); }
};

// The first IPv4 stream address of host:port; false when there is none.
bool resolveFirst(const char* host, const char* port, sockaddr_in* out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;  // the session's sockets are IPv4
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    if (getaddrinfo(host, port, &hints, &raw) != 0 || !raw) return false;
    std::unique_ptr<addrinfo, AddrInfoFree> list(raw);
    if (list->ai_addrlen < sizeof(sockaddr_in)) return false;
    std::memcpy(out, list->ai_addr, sizeof(sockaddr_in));
    return true;
}

}  // namespace

int Session::TCPConnectAsync(const char* host, const char* port) {
    sockaddr_in addr{};
    if (!resolveFirst(host, port, &addr)) return -1;
    return TCPConnectAsync(&addr);
}

int Session::TCPConnectSync(const char* host, const char* port, int timeout) {
    sockaddr_in addr{};
    if (!resolveFirst(host, port, &addr)) return -1;
    return TCPConnectSync(&addr, timeout);
}

// ---- observers ------------------------------------------------------------

int Session::addEH(EventHandler* h) {
    for (const eventitem_t& item : m_eilist)
        if (item.peh == h) return -1;
    m_eilist.push_back(eventitem_t{h, false});
    return 0;
}

int Session::delEH(EventHandler* h) {
    auto it = std::find_if(m_eilist.begin(), m_eilist.end(),
                           [h](const eventitem_t& item) { return h && item.peh == h; });
    if (it == m_eilist.end()) return -1;
    // A walk in progress may hold an iterator to this entry: mark it, and
    // let the sweep after the walk erase it.
    it->peh = nullptr;
    if (m_broadcastDepth == 0) sweepRemovedHandlers();
    return 0;
}

void Session::sweepRemovedHandlers() {
    m_eilist.remove_if([](const eventitem_t& item) { return item.peh == nullptr; });
}

void Session::broadCastEvent(event_t event) {
    ++m_broadcastDepth;
    auto current = m_eilist.end();
    try {
        for (current = m_eilist.begin(); current != m_eilist.end(); ++current) {
            // Removed entries, and a handler whose callback is running
            // further up the stack, are not called again.
            if (!current->peh || current->busy) continue;
            EventHandler* h = current->peh;
            bool remove = true;
            current->busy = true;
            if (event == EVENT_CONNECTED)
                h->connectEvent(this, &remove);
            else if (event == EVENT_ERROR)
                h->errorEvent(this, &remove);
            else
                remove = false;
            current->busy = false;
            if (remove) current->peh = nullptr;
        }
    } catch (...) {
        if (current != m_eilist.end()) current->busy = false;
        REPORT_ERROR(TRACE_ERROR, "session observer threw, fd=%d: %s", m_sockfd, std::strerror(errno));
        errno = 0;
    }
    if (--m_broadcastDepth == 0) sweepRemovedHandlers();
}

// ---- factory --------------------------------------------------------------

Session* SessionFactory::newInst() {
    Session* s = new (std::nothrow) Session;
    if (!s) return nullptr;
    s->initBuffer(Session::kDefaultBufSize, Session::kDefaultBufSize, 1, 1);
    applySettings(s);
    return s;
}

void SessionFactory::releaseInst(Session* s) {
    if (s) s->destroy();
}

void SessionFactory::applySettings(Session* s) const {
    s->setSendBufLimit(m_sendBufLimit);
}
