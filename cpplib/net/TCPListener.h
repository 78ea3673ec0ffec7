#pragma once
// An IPv4 stream listener on the poller: accepts up to m_acceptCount
// connections per readable event and hands each to acceptEvent(). Owned by
// whoever binds it (App's registry); event-loop thread only.

#include <netinet/in.h>

#include "poller/Poller.h"

class TCPListener : public Poller::Client {
public:
    TCPListener();
    TCPListener(const TCPListener&) = delete;
    TCPListener& operator=(const TCPListener&) = delete;
    ~TCPListener() override;

    int notifyPollEvent(Poller::PollEvent* ev) override;
    // Takes fd, the peer's address in from. The base closes it.
    virtual void acceptEvent(int fd, sockaddr_in* from);

    // Opens, binds m_sai, listens and registers; 0, or -1 with the socket
    // closed and lastError() naming the cause.
    int init();
    // Deregisters and closes; forgets the address and the accept count.
    void free();

    void setAddress(const sockaddr_in& sa) { m_sai = sa; }
    const sockaddr_in& address() const { return m_sai; }
    // Host order; after init() the port actually bound (also for port 0).
    int port() const { return ntohs(m_sai.sin_port); }
    void setAcceptCount(int n) { m_acceptCount = n; }
    int acceptCount() const { return m_acceptCount; }
    int getSockfd() const { return m_sockfd; }
    // errno of the last failed init(), 0 after a success.
    int lastError() const { return m_lastError; }
    // Connections closed unserved because the process was out of
    // descriptors.
    long shedCount() const { return m_shedCount; }

protected:
    int m_sockfd = -1;
    sockaddr_in m_sai{};
    int m_acceptCount = 10;

private:
    int fail(int err);
    void closeSocket();
    void acceptBatch();
    void shedOneConnection();
    void reopen();

    int m_lastError = 0;
    // Held open so that, out of descriptors, one can be freed to accept and
    // close a waiting connection; otherwise it stays queued, the socket stays
    // readable and the loop spins on it.
    int m_spareFd = -1;
    long m_shedCount = 0;
};
