#pragma once
// Byte buffer with a read and a write position. The byte at the write
// position is always 0, so the data also reads as a C string. Owned by one
// session; not thread-safe (m_bLock is a busy flag, not a mutex).

#include <memory>
#include <string>

class IOBuffer {
public:
    struct WSABUF {
        int len = 0;
        char* buf = nullptr;
    };

    explicit IOBuffer(int size = 0);
    IOBuffer(const IOBuffer&) = delete;
    IOBuffer& operator=(const IOBuffer&) = delete;
    ~IOBuffer() = default;

    // New, empty storage of size bytes (+1 for the terminator): pending data
    // is dropped and both positions return to 0.
    void setBufSize(int size);
    void clear();

    void getWrite(WSABUF* w);
    void releaseWrite(const WSABUF* w);
    void getRead(WSABUF* w);
    void releaseRead(const WSABUF* w);

    // Copies what fits at the end; never grows. Returns the count.
    int write(const char* p, int n);
    int read(char* p, int n);
    // Copies n bytes from offset into the data without consuming; bounded by
    // the data. Returns the count copied.
    int peek(char* p, int n, int offset) const;
    int throwAway(int n);

    // One read()/write() on fd; returns its result. A full buffer is not
    // read into: -1 with errno ENOBUFS (a 0 would look like end of file).
    int recvFromSocket(int fd);
    int sendToSocket(int fd);

    // Index from the start of the storage of the first c in the data, or -1.
    int find(char c) const;
    // Copies one line (newline included, no terminator) if it fits in size
    // bytes; returns its length, 0 when no whole line is there, or -1 when the
    // line is longer than size (nothing consumed).
    int readline(char* out, int size);
    // Moves the data to the start of the storage; always true.
    // clear, flush, increase, decrease and readline end with unlock().
    bool flush();
    // Room for n more bytes at the end: when short, moves the data to the
    // front if half the storage has been read, else doubles the storage.
    void increase(int n);
    // Shrinks the capacity to max(data size, n), keeping the data.
    void decrease(int n);
    // Appends the data to s and consumes it, even if appending throws.
    void appendAllToString(std::string& s);

    bool lock();
    bool unlock();

    char* getBuf() const { return m_buf.get(); }
    int getDataSize() const { return m_posWrite - m_posRead; }
    int getBufSize() const { return m_sizeBuf; }
    int getReadPos() const { return m_posRead; }
    int getWritePos() const { return m_posWrite; }
    bool isFull() const { return m_posWrite == m_sizeBuf; }
    const char* data() const { return m_buf ? m_buf.get() + m_posRead : ""; }

private:
    // Capacity of exactly size bytes; the data must already start at 0.
    void reallocate(int size);
    // flush() without the unlock().
    void compact();
    void terminate();

    int m_posWrite = 0;
    int m_posRead = 0;
    int m_sizeBuf = 0;
    std::unique_ptr<char[]> m_buf;
    bool m_bLock = false;
};
