#pragma once
// A UNIX-domain stream listener on the poller: accepts up to m_acceptCount
// connections per readable event and hands each to acceptEvent(). Owned by
// whoever binds it (App's registry); event-loop thread only.

#include <sys/un.h>

#include "poller/Poller.h"

class UDSListener : public Poller::Client {
public:
    // sun_path holds 108 bytes: 107 of path and the terminating zero.
    static constexpr size_t kMaxPath = sizeof(sockaddr_un::sun_path) - 1;

    UDSListener() = default;
    UDSListener(const UDSListener&) = delete;
    UDSListener& operator=(const UDSListener&) = delete;
    ~UDSListener() override;

    int notifyPollEvent(Poller::PollEvent* ev) override;
    // Takes fd. The base closes it.
    virtual void acceptEvent(int fd, sockaddr_un* from);

    // Removes a stale socket file at the path, binds, listens and registers;
    // 0, or -1 with the socket closed and lastError() naming the cause.
    int init();
    // Deregisters and closes; the path and the accept count stay.
    void free();

    // 0, or -1 (path kept empty) when path is null or longer than kMaxPath.
    int setPath(const char* path);
    const char* getPath() const { return m_sa.sun_path; }
    void setAcceptCount(int n) { m_acceptCount = n; }
    int acceptCount() const { return m_acceptCount; }
    int getSockfd() const { return m_sockfd; }
    int lastError() const { return m_lastError; }

protected:
    int m_sockfd = -1;
    sockaddr_un m_sa{};
    int m_acceptCount = 0;

private:
    int fail(int err);
    void acceptBatch();

    int m_lastError = 0;
};
