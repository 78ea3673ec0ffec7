#pragma once
// A datagram counterpart of Session on the poller: sends from a socket it
// opens on first use and hands every datagram it reads to recvFromEvent().
// Owns itself (destroy() deletes it); event-loop thread only.

#include <netinet/in.h>

#include <vector>

#include "poller/Poller.h"

class UDPSession : public Poller::Client {
public:
    enum ustate_t { USESSION_NONE = 0, USESSION_RELEASE = 1 };

    explicit UDPSession(int bufLen = 1024, int recvCount = 1);
    UDPSession(const UDPSession&) = delete;
    UDPSession& operator=(const UDPSession&) = delete;
    ~UDPSession() override;

    int notifyPollEvent(Poller::PollEvent* ev) override;
    virtual void destroy();
    // Deregisters and closes the socket.
    virtual void clear();
    virtual void readEvent();
    // data holds len bytes followed by a zero byte; valid during the call.
    // Must not destroy the session: the read loop continues after it.
    virtual void recvFromEvent(const char* data, int len, sockaddr_in* from);
    virtual void errorEvent();

    // Opens the socket on first use (-1 when that fails); the sendto() result.
    int sendto(const void* data, int len, int flags, sockaddr_in* to);

    int getSockfd() const { return m_sockfd; }
    ustate_t getState() const { return m_state; }

protected:
    int m_sockfd = -1;
    ustate_t m_state = USESSION_NONE;
    std::vector<char> m_buf;  // m_bufLen + 1 bytes
    int m_bufLen;
    int m_recvCount;

private:
    int openSocket();
};
