#pragma once
// Small socket helpers shared by the net tests: owned descriptors, loopback
// endpoints and non-blocking peeks at what a peer has received.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : m_fd(std::exchange(o.m_fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(std::exchange(o.m_fd, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }
    void reset(int fd = -1) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

inline sockaddr_in loopbackAddress(int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    return sa;
}

inline int localPort(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

// A TCP socket bound to 127.0.0.1 on a free port; listening when asked.
// Bound but not listening, it refuses connections.
inline UniqueFd boundTcpSocket(bool listening) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in sa = loopbackAddress(0);
    ::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (listening) ::listen(fd.get(), 64);
    return fd;
}

// A blocking client connected to 127.0.0.1:port, or an empty UniqueFd.
inline UniqueFd connectLoopback(int port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in sa = loopbackAddress(port);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) fd.reset();
    return fd;
}

inline std::pair<UniqueFd, UniqueFd> streamPair() {
    int sv[2] = {-1, -1};
    ::socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
    return {UniqueFd(sv[0]), UniqueFd(sv[1])};
}

inline void setNonblock(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Everything readable right now, without waiting; eof tells whether the
// stream has ended (end of file, or a reset after the data).
inline std::string readNow(int fd, bool* eof = nullptr) {
    std::string out;
    char buf[65536];
    if (eof) *eof = false;
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (eof && (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))) *eof = true;
        return out;
    }
}
