#pragma once
// What a session can send: anything that encodes itself into a send buffer.
// The packet layer builds on this; sessions only call writeTo().

class IOBuffer;

class Packet {
public:
    virtual ~Packet() = default;
    // Appends the encoded packet to buf (growing it as needed); negative on failure.
    virtual int writeTo(IOBuffer* buf) const = 0;
};
