#include "cpputil/IOBuffer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "cpputil/Trace.h"

IOBuffer::IOBuffer(int size) {
    setBufSize(size);
}

void IOBuffer::setBufSize(int size) {
    m_buf.reset();
    m_sizeBuf = std::max(size, 0);
    // The new storage holds none of the old bytes, so no data survives.
    m_posRead = 0;
    m_posWrite = 0;
    if (m_sizeBuf <= 0) return;
    // Not zeroed: only bytes up to the write position are ever read, and a
    // streamed WAS reply gets a buffer of a quarter megabyte per request.
    m_buf = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(m_sizeBuf) + 1);
    terminate();
}

void IOBuffer::terminate() {
    if (m_buf) m_buf[m_posWrite] = 0;
}

void IOBuffer::clear() {
    m_posRead = 0;
    m_posWrite = 0;
    terminate();
    unlock();
}

void IOBuffer::getWrite(WSABUF* w) {
    w->buf = m_buf ? m_buf.get() + m_posWrite : nullptr;
    w->len = m_sizeBuf - m_posWrite;
}

void IOBuffer::releaseWrite(const WSABUF* w) {
    m_posWrite += std::clamp(w->len, 0, m_sizeBuf - m_posWrite);
    terminate();
}

void IOBuffer::getRead(WSABUF* w) {
    w->buf = m_buf ? m_buf.get() + m_posRead : nullptr;
    w->len = getDataSize();
}

void IOBuffer::releaseRead(const WSABUF* w) {
    m_posRead += std::clamp(w->len, 0, getDataSize());
    // Empty again: start over at the front, which costs nothing to move.
    if (m_posRead == m_posWrite) {
        m_posRead = 0;
        m_posWrite = 0;
        terminate();
    }
}

int IOBuffer::write(const char* p, int n) {
    const int count = std::min(std::max(n, 0), m_sizeBuf - m_posWrite);
    if (count == 0) return 0;
    std::memcpy(m_buf.get() + m_posWrite, p, count);
    m_posWrite += count;
    terminate();
    return count;
}

int IOBuffer::read(char* p, int n) {
    const int count = std::min(std::max(n, 0), getDataSize());
    if (count == 0) return 0;
    std::memcpy(p, m_buf.get() + m_posRead, count);
    m_posRead += count;
    return count;
}

int IOBuffer::peek(char* p, int n, int offset) const {
    if (n <= 0 || offset < 0 || offset >= getDataSize()) return 0;
    const int count = std::min(n, getDataSize() - offset);
    std::memcpy(p, m_buf.get() + m_posRead + offset, count);
    return count;
}

int IOBuffer::throwAway(int n) {
    const int count = std::min(std::max(n, 0), getDataSize());
    m_posRead += count;
    return count;
}

int IOBuffer::recvFromSocket(int fd) {
    // A zero-length read() returns 0, which would read as the peer closing.
    if (isFull()) {
        errno = ENOBUFS;
        return -1;
    }
    const ssize_t n = ::read(fd, m_buf.get() + m_posWrite, m_sizeBuf - m_posWrite);
    if (n > 0) {
        m_posWrite += static_cast<int>(n);
        terminate();
    }
    return static_cast<int>(n);
}

int IOBuffer::sendToSocket(int fd) {
    if (getDataSize() == 0) return 0;
    const ssize_t n = ::write(fd, m_buf.get() + m_posRead, getDataSize());
    if (n > 0) m_posRead += static_cast<int>(n);
    return static_cast<int>(n);
}

int IOBuffer::find(char c) const {
    if (getDataSize() == 0) return -1;
    const char* start = m_buf.get() + m_posRead;
    const void* hit = std::memchr(start, static_cast<unsigned char>(c), getDataSize());
    if (hit == nullptr) return -1;
    return m_posRead + static_cast<int>(static_cast<const char*>(hit) - start);
}

int IOBuffer::readline(char* out, int size) {
    int result = 0;
    const int newline = find('\n');
    if (newline >= 0) {
        const int len = newline - m_posRead + 1;
        if (len > size) {
            result = -1;
        } else {
            std::memcpy(out, m_buf.get() + m_posRead, len);
            m_posRead += len;
            result = len;
        }
    }
    unlock();
    return result;
}

void IOBuffer::compact() {
    if (m_posRead == 0) return;
    const int dataSize = getDataSize();
    char* base = m_buf.get();
    if (dataSize > m_posRead) {
        // Source and destination overlap. Each chunk's source starts exactly
        // m_posRead bytes after its destination, so chunks of at most that
        // length never overlap themselves.
        for (int done = 0; done < dataSize; done += m_posRead) {
            const int chunk = std::min(m_posRead, dataSize - done);
            std::memcpy(base + done, base + m_posRead + done, chunk);
        }
    } else if (dataSize > 0) {
        std::memcpy(base, base + m_posRead, dataSize);
    }
    m_posWrite = dataSize;
    m_posRead = 0;
    terminate();
}

bool IOBuffer::flush() {
    compact();
    unlock();
    return true;
}

void IOBuffer::reallocate(int size) {
    // The data moves to the front of storage of size bytes (at least its own).
    const int dataSize = getDataSize();
    std::unique_ptr<char[]> fresh;
    if (size > 0) {
        fresh = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(size) + 1);
        if (dataSize > 0) std::memcpy(fresh.get(), m_buf.get() + m_posRead, static_cast<size_t>(dataSize));
    }
    m_buf = std::move(fresh);
    m_sizeBuf = size;
    m_posRead = 0;
    m_posWrite = dataSize;
    terminate();
}

void IOBuffer::increase(int n) {
    const int dataSize = getDataSize();
    // Past INT_MAX the positions could not address the storage; refuse and let
    // write() store what fits.
    if (n <= 0 || m_sizeBuf - m_posWrite >= n || n > INT_MAX - 1 - dataSize) {
        unlock();
        return;
    }
    // A send buffer in front of a slow reader grows by appends while its head
    // drains: moving or copying the data on every append would cost each
    // push the whole backlog. Moving it down once half the storage has been
    // read, and otherwise doubling, moves each byte a bounded number of times.
    const int needed = dataSize + n;
    if (needed <= m_sizeBuf && m_posRead >= m_sizeBuf / 2) {
        compact();
    } else {
        const int doubled = m_sizeBuf > (INT_MAX - 1) / 2 ? INT_MAX - 1 : m_sizeBuf * 2;
        reallocate(std::max(needed, doubled));
    }
    unlock();
}

void IOBuffer::decrease(int n) {
    const int target = std::max(getDataSize(), n);
    if (m_sizeBuf > target) {
        reallocate(target);
    } else {
        compact();
    }
    unlock();
}

void IOBuffer::appendAllToString(std::string& s) {
    try {
        s.append(data(), static_cast<size_t>(getDataSize()));
    } catch (...) {
        TRACE("=============== append error. this=%p, WAFBUF len=%d ===============", this,
              getDataSize());
    }
    m_posRead = m_posWrite;
}

bool IOBuffer::lock() {
    if (m_bLock) {
        TRACE("lock error!!!");
        return false;
    }
    m_bLock = true;
    return true;
}

bool IOBuffer::unlock() {
    if (!m_bLock) {
        TRACE("unlock error!!!");
        return false;
    }
    m_bLock = false;
    return true;
}
