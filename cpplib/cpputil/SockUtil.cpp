#include "cpputil/SockUtil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// An optional point in time after which a time-limited call gives up.
class Deadline {
public:
    explicit Deadline(int seconds)
        : m_limited(seconds > 0), m_end(Clock::now() + std::chrono::seconds(seconds)) {}

    bool limited() const { return m_limited; }
    bool expired() const { return m_limited && Clock::now() >= m_end; }
    // Timeout for poll(): -1 without a limit, rounded up so we never spin.
    int pollMs() const {
        if (!m_limited) return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_end - Clock::now());
        return left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }

private:
    bool m_limited;
    Clock::time_point m_end;
};

// Closes the descriptor it holds unless released; keeps errno intact.
class FdGuard {
public:
    explicit FdGuard(int fd) : m_fd(fd) {}
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    ~FdGuard() {
        if (m_fd < 0) return;
        const int saved = errno;
        close(m_fd);
        errno = saved;
    }
    int get() const { return m_fd; }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

// 1 when fd is ready for `events`, 0 when the deadline passed, -1 on error.
int waitReady(int fd, short events, const Deadline& deadline) {
    for (;;) {
        if (deadline.expired()) return 0;
        pollfd p{fd, events, 0};
        const int rc = poll(&p, 1, deadline.pollMs());
        if (rc > 0) return 1;
        if (rc < 0 && errno != EINTR) return -1;
    }
}

bool wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// One write that neither raises SIGPIPE nor blocks on a socket once poll()
// said it is writable. Other descriptors get at most PIPE_BUF bytes, which a
// writable pipe takes without blocking.
ssize_t writeOnce(int fd, const char* p, size_t n, bool dontWait) {
    const ssize_t r = send(fd, p, n, MSG_NOSIGNAL | (dontWait ? MSG_DONTWAIT : 0));
    if (r >= 0 || errno != ENOTSOCK) return r;
    return write(fd, p, dontWait && n > PIPE_BUF ? PIPE_BUF : n);
}

int readAll(int fd, char* p, unsigned n, const Deadline& deadline) {
    unsigned got = 0;
    while (got < n) {
        if (deadline.limited()) {
            const int w = waitReady(fd, POLLIN, deadline);
            if (w == 0) errno = ETIMEDOUT;
            if (w <= 0) return -1;
        }
        const ssize_t r = read(fd, p + got, n - got);
        if (r > 0) {
            got += static_cast<unsigned>(r);
        } else if (r == 0) {
            return static_cast<int>(got);
        } else if (wouldBlock(errno) && !deadline.limited()) {
            if (waitReady(fd, POLLIN, deadline) < 0) return -1;
        } else if (errno != EINTR && !wouldBlock(errno)) {
            return -1;
        }
    }
    return static_cast<int>(n);
}

int writeAll(int fd, const char* p, unsigned n, const Deadline& deadline) {
    unsigned put = 0;
    while (put < n) {
        if (deadline.limited()) {
            const int w = waitReady(fd, POLLOUT, deadline);
            if (w == 0) errno = ETIMEDOUT;
            if (w <= 0) return -1;
        }
        const ssize_t r = writeOnce(fd, p + put, n - put, deadline.limited());
        if (r >= 0) {
            put += static_cast<unsigned>(r);
        } else if (wouldBlock(errno) && !deadline.limited()) {
            if (waitReady(fd, POLLOUT, deadline) < 0) return -1;
        } else if (errno != EINTR && !wouldBlock(errno)) {
            return -1;
        }
    }
    return static_cast<int>(n);
}

// A connected blocking stream socket, or -1 (ETIMEDOUT once the deadline
// passed). With a limit the connect runs non-blocking under poll().
int connectWithin(int family, const sockaddr* sa, socklen_t len, const Deadline& deadline) {
    FdGuard s(socket(family, SOCK_STREAM, 0));
    if (s.get() < 0) return -1;
    if (deadline.limited() && setNonblocking(s.get()) < 0) return -1;
    if (connect(s.get(), sa, len) != 0) {
        if (!deadline.limited() || errno != EINPROGRESS) return -1;
        const int w = waitReady(s.get(), POLLOUT, deadline);
        if (w == 0) errno = ETIMEDOUT;
        if (w <= 0) return -1;
        int err = 0;
        socklen_t errLen = sizeof err;
        if (getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &errLen) != 0) return -1;
        if (err != 0) {
            errno = err;
            return -1;
        }
    }
    if (deadline.limited() && setBlocking(s.get()) < 0) return -1;
    return s.release();
}

int connectDNSWithin(const char* host, const char* port, const Deadline& deadline) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (host == nullptr || port == nullptr || getaddrinfo(host, port, &hints, &list) != 0) {
        errno = EHOSTUNREACH;
        return -1;
    }
    int fd = -1;
    for (addrinfo* ai = list; ai != nullptr && fd < 0; ai = ai->ai_next) {
        fd = connectWithin(ai->ai_family, ai->ai_addr, ai->ai_addrlen, deadline);
        if (fd < 0 && errno == ETIMEDOUT && deadline.expired()) break;
    }
    const int saved = errno;
    freeaddrinfo(list);
    errno = saved;
    return fd;
}

int connectV4Within(const sockaddr_in* addr, const Deadline& deadline) {
    if (addr == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return connectWithin(AF_INET, reinterpret_cast<const sockaddr*>(addr), sizeof *addr, deadline);
}

}  // namespace

int setNonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) flags = 0;
    return fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int setBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) flags = 0;
    return fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

int readn(int fd, void* buf, unsigned n) {
    return readAll(fd, static_cast<char*>(buf), n, Deadline(0));
}

int writen(int fd, const void* buf, unsigned n) {
    return writeAll(fd, static_cast<const char*>(buf), n, Deadline(0));
}

int readn_timeout(int fd, void* buf, unsigned n, int seconds) {
    return readAll(fd, static_cast<char*>(buf), n, Deadline(seconds));
}

int writen_timeout(int fd, const void* buf, unsigned n, int seconds) {
    return writeAll(fd, static_cast<const char*>(buf), n, Deadline(seconds));
}

int Tcp_connect(const char* ip, const char* port) {
    sockaddr_in sa;
    sockAddrIn_Set(&sa, ip, port);
    if (ip == nullptr || inet_pton(AF_INET, ip, &sa.sin_addr) != 1) {
        errno = EINVAL;
        return -1;
    }
    return Tcp_connect(&sa);
}

int Tcp_connect(const sockaddr_in* addr) { return connectV4Within(addr, Deadline(0)); }

int Tcp_connect_timeout(const sockaddr_in* addr, int seconds) {
    return connectV4Within(addr, Deadline(seconds));
}

int Tcp_connectDNS(const char* host, const char* port) {
    return connectDNSWithin(host, port, Deadline(0));
}

int Tcp_connectDNS_timeout(const char* host, const char* port, int seconds) {
    return connectDNSWithin(host, port, Deadline(seconds));
}

int read_fd(int fd, void* buf, unsigned n, int* recvfd) {
    iovec iov{buf, n};
    union {
        cmsghdr align;
        char space[CMSG_SPACE(sizeof(int))];
    } control;
    std::memset(&control, 0, sizeof control);
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.space;
    msg.msg_controllen = sizeof control.space;

    if (recvfd != nullptr) *recvfd = -1;
    const ssize_t r = recvmsg(fd, &msg, 0);
    if (r <= 0 || recvfd == nullptr) return static_cast<int>(r);
    const cmsghdr* c = CMSG_FIRSTHDR(&msg);
    if (c != nullptr && c->cmsg_len == CMSG_LEN(sizeof(int)) && c->cmsg_level == SOL_SOCKET &&
        c->cmsg_type == SCM_RIGHTS)
        std::memcpy(recvfd, CMSG_DATA(c), sizeof(int));
    return static_cast<int>(r);
}

int write_fd(int fd, const void* buf, unsigned n, int sendfd) {
    iovec iov{const_cast<void*>(buf), n};
    union {
        cmsghdr align;
        char space[CMSG_SPACE(sizeof(int))];
    } control;
    std::memset(&control, 0, sizeof control);
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (sendfd >= 0) {
        msg.msg_control = control.space;
        msg.msg_controllen = sizeof control.space;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_len = CMSG_LEN(sizeof(int));
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        std::memcpy(CMSG_DATA(c), &sendfd, sizeof(int));
    }
    return static_cast<int>(sendmsg(fd, &msg, MSG_NOSIGNAL));
}

const char* get_ip(int fd) {
    thread_local char buf[INET_ADDRSTRLEN];
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET)
        return nullptr;
    if (inet_ntop(AF_INET, &sa.sin_addr, buf, sizeof buf) == nullptr) return nullptr;
    return buf;
}

void sockAddrIn_Set(sockaddr_in* sa, const char* ip, const char* port) {
    std::memset(sa, 0, sizeof *sa);
    sa->sin_family = AF_INET;
    if (ip != nullptr) inet_pton(AF_INET, ip, &sa->sin_addr);
    if (port != nullptr) sa->sin_port = htons(static_cast<uint16_t>(std::atoi(port)));
}

bool getIP(const std::string& text, sockaddr_in* sa) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    const std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    sockAddrIn_Set(sa, nullptr, port.c_str());
    return inet_pton(AF_INET, host.c_str(), &sa->sin_addr) == 1;
}

int getHostPort(const char* text, char* host, size_t hostSize, char* port, size_t portSize) {
    const char* colon = text != nullptr ? std::strchr(text, ':') : nullptr;
    if (colon == nullptr) return -1;
    const size_t hostLen = static_cast<size_t>(colon - text);
    const size_t portLen = std::strlen(colon + 1);
    if (hostLen >= hostSize || portLen >= portSize) return -1;
    std::memcpy(host, text, hostLen);
    host[hostLen] = '\0';
    std::memcpy(port, colon + 1, portLen + 1);
    return 0;
}

int myreadline(int fd, void* buf, unsigned max) {
    constexpr int kMaxRetries = 2000;
    if (buf == nullptr || max == 0) {
        errno = EINVAL;
        return -1;
    }
    char* out = static_cast<char*>(buf);
    unsigned stored = 0;
    int retries = 0;
    while (stored + 1 < max) {
        char c;
        const ssize_t r = read(fd, &c, 1);
        if (r == 1) {
            retries = 0;
            out[stored++] = c;
            if (c == '\n') break;
        } else if (r == 0) {
            std::fprintf(stderr, "[%s:%d] myreadline closed: n = %d\n", __FILE__, __LINE__,
                         static_cast<int>(stored));
            break;
        } else if ((errno == EINTR || wouldBlock(errno)) && ++retries < kMaxRetries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else {
            out[stored] = '\0';
            return -1;
        }
    }
    out[stored] = '\0';
    return static_cast<int>(stored);
}
