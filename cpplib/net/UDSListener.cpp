#include "net/UDSListener.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cpputil/SockUtil.h"
#include "cpputil/Trace.h"

namespace {

constexpr int kBacklog = 1024;

// Only a socket file left by an earlier run is ours to remove; a regular
// file or directory at the path makes bind fail instead of being deleted.
void unlinkStaleSocket(const char* path) {
    struct stat st {};
    if (::lstat(path, &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path);
}

}  // namespace

UDSListener::~UDSListener() {
    free();
}

int UDSListener::setPath(const char* path) {
    m_sa = sockaddr_un{};
    m_sa.sun_family = AF_UNIX;
    if (!path || std::strlen(path) > kMaxPath) return -1;
    std::memcpy(m_sa.sun_path, path, std::strlen(path) + 1);
    return 0;
}

int UDSListener::fail(int err) {
    free();
    m_lastError = err;
    return -1;
}

int UDSListener::init() {
    free();
    if (m_sa.sun_path[0] == '\0') return fail(EINVAL);
    m_sa.sun_family = AF_UNIX;
    m_sockfd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (m_sockfd < 0) return fail(errno);
    unlinkStaleSocket(m_sa.sun_path);
    if (::bind(m_sockfd, reinterpret_cast<sockaddr*>(&m_sa), sizeof m_sa) != 0) return fail(errno);
    if (::listen(m_sockfd, kBacklog) != 0) return fail(errno);
    setNonblocking(m_sockfd);
    if (!g_pPoller) return fail(ENODEV);
    if (int err = g_pPoller->add(m_sockfd, this, Poller::EV_READ); err != 0) return fail(err);
    m_lastError = 0;
    return 0;
}

void UDSListener::free() {
    if (m_sockfd < 0) return;
    if (g_pPoller) g_pPoller->del(m_sockfd);
    ::close(m_sockfd);
    m_sockfd = -1;
}

int UDSListener::notifyPollEvent(Poller::PollEvent* ev) {
    if (ev->revents & Poller::EV_READ) {
        acceptBatch();
    } else if (ev->revents & (Poller::EV_ERROR | Poller::EV_HANGUP | Poller::EV_INVALID)) {
        TRACE(TRACE_ERROR, "listner error!!! re bind: %s", m_sa.sun_path);
        init();
    }
    return 0;
}

void UDSListener::acceptBatch() {
    for (int i = 0; i < m_acceptCount && m_sockfd >= 0; ++i) {
        sockaddr_un peer{};
        socklen_t len = sizeof peer;
        const int fd = ::accept(m_sockfd, reinterpret_cast<sockaddr*>(&peer), &len);
        if (fd < 0) break;
        acceptEvent(fd, &peer);
    }
}

void UDSListener::acceptEvent(int fd, sockaddr_un*) {
    ::close(fd);
}
