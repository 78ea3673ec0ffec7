#pragma once
// Cuts the byte stream a client receives into packets and keep-alive bytes.
// Bytes go in with feed() in whatever pieces the socket delivers; next()
// hands out one complete item at a time. A value owned by one connection;
// one thread at a time.

#include <cstddef>
#include <string>

#include "client/Packet.h"

namespace client {

class FrameReader {
public:
    enum class Event {
        kNone,    // no complete item yet: feed more bytes
        kPacket,  // *out holds the packet
        kPing,    // a 0x81 byte
        kPong,    // a 0x82 byte
        kError,   // the stream is not this protocol; error() says why
    };

    void feed(const char* data, size_t n);
    // Takes the next complete item off the buffer. After kError every call
    // returns kError: nothing after a broken header can be trusted.
    Event next(Packet* out);

    const std::string& error() const { return m_error; }
    // Bytes received but not yet handed out.
    size_t buffered() const { return m_buf.size() - m_pos; }

private:
    Event fail(std::string why);
    void compact();

    std::string m_buf;
    size_t m_pos = 0;  // first byte not yet handed out
    std::string m_error;
};

}  // namespace client
