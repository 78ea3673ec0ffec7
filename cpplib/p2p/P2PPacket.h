#pragma once
// One packet: a header record and a body it points to. Received packets
// point into the session's buffers; built ones into the caller's. An
// encrypted reply keeps its ciphertext in the packet itself. A value owned
// by whoever made it; one thread at a time.

#include <vector>

#include "net/Packet.h"
#include "p2p/P2PHeader.h"

class IOBuffer;

class P2PPacket : public Packet {
public:
    static constexpr int kMaxVhLen = P2P_MAX_VH_LEN;
    static constexpr int kMaxBodyLen = 65535;
    static constexpr int kMaxVhBodyLen = kMaxBodyLen + kMaxVhLen;

    P2PPacket();
    P2PPacket(const P2PPacket& other);
    P2PPacket& operator=(const P2PPacket& other);
    ~P2PPacket() override = default;

    // Zeroes the whole header (vh included) and drops the body.
    void clear();
    // Points at body (not copied: it must outlive every use of the packet).
    // len is 0..65535.
    void setBody(const void* body, int len);
    // Appends hlen header bytes and blen body bytes; 0, or -1 (nothing
    // appended) for a header out of bounds or a missing body.
    int writeTo(IOBuffer* buf) const override;

    bool isRequest() const { return m_h.isRequest(); }
    void getResHeader(p2p_header_t* out) const { m_h.getResHeader(out); }
    int vhbodylen() const { return m_h.vhbodylen(); }
    // Replaces the body by its encryption under m_h.etype (0: unchanged).
    // Returns 0, or -1 for an etype this build cannot produce: the body is
    // then dropped and the packet must not be sent.
    int doEncrypt();

    p2p_header_t m_h;
    const char* m_body = nullptr;

private:
    std::vector<char> m_cipher;  // the body after doEncrypt(), when encrypted
};
