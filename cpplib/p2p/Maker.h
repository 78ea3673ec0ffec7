#pragma once
// Appends little-endian body fields to a caller's buffer of fixed capacity.
// An append that does not fit writes nothing and returns -1. A value used
// by one thread while one body is built.

class Maker {
public:
    Maker(void* buf, int maxlen);

    // len raw bytes. 0, or -1.
    int mem(const void* p, int len);
    // A u16 length, then len bytes (len at most 65535). 0, or -1.
    int mem16(const void* p, int len);
    // Bytes written so far: the body length to give P2PPacket::setBody.
    int len() const { return m_pos; }

private:
    bool fits(int len) const { return len >= 0 && len <= m_maxlen - m_pos; }

    char* m_buf;
    int m_maxlen;
    int m_pos = 0;
};
