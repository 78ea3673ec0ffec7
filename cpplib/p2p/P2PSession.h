#pragma once
// A TCP session speaking the packet protocol: cuts the byte stream into
// packets, answers pings, and sends replies. Owns itself like every Session
// (deleted by its release path); event-loop thread only.

#include <cstdint>
#include <vector>

#include "net/Session.h"
#include "p2p/P2PPacket.h"

class P2PSession : public Session {
public:
    enum rstate_t {
        RECV_INIT = 0,
        RECV_HEADER = 1,
        RECV_BODY = 2,
        RECV_COMPLETE = 3,
        RECV_ERROR = 4,
    };

    // Keep-alive bytes sent between packets.
    static constexpr unsigned char P2P_PING = 0x81;
    static constexpr unsigned char P2P_PONG = 0x82;

    P2PSession();
    ~P2PSession() override = default;

    // Delivers every complete packet in buf; a framing error fails the
    // session with SESSION_ELOGIC.
    void readData(int len, IOBuffer* buf) override;
    void clear() override;

    // One complete packet. Its body lives in the receive or holding buffer
    // and is valid only during the call. The base hands requests and
    // responses to the matching observers.
    virtual void recvPacketEvent(const P2PPacket* p);
    virtual void readPing();
    virtual void readPong();
    virtual void setID(uint32_t id) { m_nID = id; }
    virtual uint32_t getID() const { return m_nID; }

    // Reply to req carrying blen (0..65535) body bytes, encrypted when the
    // request asked for it. push()'s result, or -1 when the request's etype
    // is unknown (nothing is sent) or blen is out of range.
    int sendres(const P2PPacket* req, const void* body, int blen);
    int sendres(const p2p_header_t* req, const void* body, int blen);
    // The same with the reply's session id set to sid.
    int sendres2(const P2PPacket* req, const void* body, int blen, sessionid_t sid);
    int sendres2(const p2p_header_t* req, const void* body, int blen, sessionid_t sid);
    int sendPong();

    // Forgets the packet in progress and frees the holding buffer.
    void readyRecvPacket();
    rstate_t recvState() const { return m_ws; }

protected:
    uint32_t m_nID = 0;
    P2PPacket m_recvPacket;
    rstate_t m_ws = RECV_INIT;
    // vh and body bytes gathered in m_bodybuf; wide enough for the largest packet.
    uint32_t m_recvdlen = 0;
    // Holding buffer for a packet larger than the whole receive buffer;
    // empty when not in use, never larger than vh + body + 1.
    std::vector<char> m_bodybuf;

private:
    // One step of the receive state machine; false when it must wait or failed.
    bool receiveStep(IOBuffer* buf);
    bool readHeader(IOBuffer* buf);
    bool readBody(IOBuffer* buf);
    bool gatherBody(IOBuffer* buf);
    void setState(rstate_t ws);
    void deliver();
    bool closing() const { return m_state == SESSION_RELEASE || m_state == SESSION_EXPIRED; }
    int sendReply(P2PPacket* res, const void* body, int blen);
};
