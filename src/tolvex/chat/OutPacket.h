#pragma once
// A packet built here together with the body bytes it points at, so the
// body lives exactly as long as the packet. A value: movable (the bytes move
// with it), not copyable; one thread at a time.

#include <cstdint>
#include <utility>
#include <vector>

#include "p2p/P2PPacket.h"

class OutPacket {
public:
    // make2(code) with empty addresses, trid and session id 0, clear body.
    OutPacket(uint16_t code, std::vector<char> body, uint32_t trid = 0) : m_body(std::move(body)) {
        m_pk.m_h.make2(code, "", 0, "", 0, trid, 0, 0);
        m_pk.setBody(m_body.empty() ? nullptr : m_body.data(), static_cast<int>(m_body.size()));
    }
    OutPacket(OutPacket&&) = default;
    OutPacket& operator=(OutPacket&&) = default;
    OutPacket(const OutPacket&) = delete;
    OutPacket& operator=(const OutPacket&) = delete;

    const P2PPacket* get() const { return &m_pk; }
    const P2PPacket& packet() const { return m_pk; }
    const std::vector<char>& body() const { return m_body; }

private:
    std::vector<char> m_body;  // moved buffers keep their address, so m_pk stays valid
    P2PPacket m_pk;
};
