#include "p2p/P2PSession.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "cpputil/IOBuffer.h"
#include "cpputil/ErrorLog.h"
#include "cpputil/Trace.h"
#include "cpputil/Util.h"

namespace {

const char* stateName(P2PSession::rstate_t ws) {
    switch (ws) {
        case P2PSession::RECV_HEADER: return "RECV_HEADER";
        case P2PSession::RECV_BODY: return "RECV_BODY";
        case P2PSession::RECV_COMPLETE: return "RECV_COMPLETE";
        case P2PSession::RECV_ERROR: return "RECV_ERROR";
        default: return "RECV_INIT";
    }
}

// A header the session can hold: its vh fits the record and the packet
// fits the largest holding buffer.
bool headerAcceptable(const p2p_header_t& h) {
    return h.hlen >= P2P_FIXED_HLEN && h.hlen <= P2P_MAX_HLEN && h.vhbodylen() >= 0 &&
           h.vhbodylen() <= P2PPacket::kMaxVhBodyLen;
}

}  // namespace

P2PSession::P2PSession() {
    readyRecvPacket();
}

void P2PSession::clear() {
    Session::clear();
    readyRecvPacket();
}

void P2PSession::readyRecvPacket() {
    m_recvPacket.clear();
    m_ws = RECV_INIT;
    m_recvdlen = 0;
    std::vector<char>().swap(m_bodybuf);
}

void P2PSession::setState(rstate_t ws) {
    m_ws = ws;
    TRACE(TRACE_DEBUG, "SETSTATE m_ws= %s, %d ", stateName(ws), m_sockfd);
}

// ---- receiving ------------------------------------------------------------

void P2PSession::readData(int, IOBuffer* buf) {
    while (receiveStep(buf)) {
    }
    buf->flush();
    if (m_ws == RECV_ERROR) errorEvent(SESSION_ELOGIC, 0);
}

bool P2PSession::receiveStep(IOBuffer* buf) {
    // Once a packet has closed the session, the bytes behind it are not acted on.
    if (closing()) return false;
    if (m_ws == RECV_INIT || m_ws == RECV_COMPLETE || m_ws == RECV_ERROR) {
        readyRecvPacket();
        m_ws = RECV_HEADER;
    }
    if (m_ws == RECV_HEADER) return readHeader(buf);
    return m_bodybuf.empty() ? readBody(buf) : gatherBody(buf);
}

bool P2PSession::readHeader(IOBuffer* buf) {
    if (buf->getDataSize() == 0) return false;
    const auto first = static_cast<unsigned char>(buf->data()[0]);
    if (first == P2P_PING || first == P2P_PONG) {
        buf->throwAway(1);
        if (first == P2P_PING) {
            TRACE(TRACE_DEBUG, "Receive Ping");
            readPing();
        } else {
            TRACE(TRACE_DEBUG, "Receive Pong");
            readPong();
        }
        return true;
    }
    if (first != P2P_MAGIC_CH) {
        REPORT_ERROR(TRACE_ERROR, "bad packet on fd %d: first byte 0x%02x is not the magic; connection closed", m_sockfd, static_cast<unsigned>(static_cast<unsigned char>(first)));
        setState(RECV_ERROR);
        if (g_trace.isOn()) traceHexDump(buf->data(), std::min(buf->getDataSize(), 100));
        return false;
    }
    if (buf->getDataSize() < P2P_FIXED_HLEN) {
        TRACE(TRACE_DEBUG, "data size is smaller than header len!!!");
        return false;
    }
    m_recvPacket.m_h.decodeFixed(buf->data());
    if (!headerAcceptable(m_recvPacket.m_h)) {
        REPORT_ERROR(TRACE_ERROR, "bad packet on fd %d: header refused (code %u, header %u bytes, body %u bytes); connection closed", m_sockfd, m_recvPacket.m_h.code, m_recvPacket.m_h.hlen, m_recvPacket.m_h.blen);
        setState(RECV_ERROR);
        return false;
    }
    if (g_trace.isOn()) traceHexDump(buf->data(), P2P_FIXED_HLEN);
    buf->throwAway(P2P_FIXED_HLEN);
    setState(RECV_BODY);
    m_recvPacket.m_h.dump();
    TRACE(TRACE_DEBUG, "RECV_HEADER IS OK");
    return true;
}

// The packet is delivered straight from the receive buffer when it fits
// there; only one larger than the whole buffer is gathered on the side.
bool P2PSession::readBody(IOBuffer* buf) {
    const int need = m_recvPacket.vhbodylen();
    const int vhlen = m_recvPacket.m_h.hlen - P2P_FIXED_HLEN;
    if (buf->getDataSize() >= need) {
        const char* data = buf->data();
        setState(RECV_COMPLETE);
        std::memcpy(m_recvPacket.m_h.vh, data, static_cast<size_t>(vhlen));
        m_recvPacket.m_body = data + vhlen;
        TRACE(TRACE_DEBUG, "m_recvPacket.vhbodylen()=%d", need);
        // The bytes stay in place until the buffer is flushed after the loop.
        buf->throwAway(need);
        deliver();
        return true;
    }
    if (need > buf->getBufSize()) return gatherBody(buf);
    return false;
}

bool P2PSession::gatherBody(IOBuffer* buf) {
    const int need = m_recvPacket.vhbodylen();
    if (m_bodybuf.empty()) {
        try {
            m_bodybuf.resize(static_cast<size_t>(need) + 1);
        } catch (const std::bad_alloc&) {
            setState(RECV_ERROR);
            return false;
        }
        m_recvdlen = 0;
    }
    const int count = buf->read(m_bodybuf.data() + m_recvdlen, need - static_cast<int>(m_recvdlen));
    m_recvdlen += static_cast<uint32_t>(count);
    m_bodybuf[m_recvdlen] = '\0';
    TRACE(TRACE_DEBUG, "m_recvdlen: %u", m_recvdlen);
    if (static_cast<int>(m_recvdlen) < need) return false;

    const int vhlen = m_recvPacket.m_h.hlen - P2P_FIXED_HLEN;
    setState(RECV_COMPLETE);
    std::memcpy(m_recvPacket.m_h.vh, m_bodybuf.data(), static_cast<size_t>(vhlen));
    m_recvPacket.m_body = m_bodybuf.data() + vhlen;
    deliver();
    std::vector<char>().swap(m_bodybuf);
    m_recvdlen = 0;
    return true;
}

void P2PSession::deliver() {
    try {
        recvPacketEvent(&m_recvPacket);
    } catch (...) {
        REPORT_ERROR(TRACE_ERROR, "packet handler threw on fd %d: %s", m_sockfd, std::strerror(errno));
        errno = 0;
    }
}

void P2PSession::recvPacketEvent(const P2PPacket* p) {
    // Walk a snapshot: a callback may add or remove observers, so each one
    // is looked up again before it is called.
    std::vector<EventHandler*> handlers;
    for (const eventitem_t& item : m_eilist)
        if (item.peh && !item.busy) handlers.push_back(item.peh);
    const auto find = [this](EventHandler* h) {
        return std::find_if(m_eilist.begin(), m_eilist.end(), [h](const eventitem_t& i) { return i.peh == h; });
    };
    for (EventHandler* h : handlers) {
        auto it = find(h);
        if (it == m_eilist.end() || it->busy || !h->compareKey(this, p)) continue;
        bool remove = true;
        it->busy = true;
        if (p->isRequest())
            h->reqRecvEvent(this, p, &remove);
        else
            h->resRecvEvent(this, p, &remove);
        it = find(h);
        if (it == m_eilist.end()) continue;
        it->busy = false;
        if (remove) delEH(h);
    }
}

void P2PSession::readPing() {
    sendPong();
}

void P2PSession::readPong() {}

int P2PSession::sendPong() {
    return push(&P2P_PONG, 1);
}

// ---- replying -------------------------------------------------------------

int P2PSession::sendReply(P2PPacket* res, const void* body, int blen) {
    if (blen < 0 || blen > P2PPacket::kMaxBodyLen || (blen > 0 && !body)) return -1;
    res->setBody(body, blen);
    if (res->doEncrypt() != 0) return -1;
    return push(res);
}

int P2PSession::sendres(const P2PPacket* req, const void* body, int blen) {
    return sendres(&req->m_h, body, blen);
}

int P2PSession::sendres(const p2p_header_t* req, const void* body, int blen) {
    P2PPacket res;
    req->getResHeader(&res.m_h);
    return sendReply(&res, body, blen);
}

int P2PSession::sendres2(const P2PPacket* req, const void* body, int blen, sessionid_t sid) {
    return sendres2(&req->m_h, body, blen, sid);
}

int P2PSession::sendres2(const p2p_header_t* req, const void* body, int blen, sessionid_t sid) {
    P2PPacket res;
    req->getResHeader(&res.m_h);
    res.m_h.sessionid = sid;
    return sendReply(&res, body, blen);
}
