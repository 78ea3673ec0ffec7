#pragma once
// Receives already accepted descriptors that another process passes over a
// connected UNIX-domain socket, and hands each to acceptEvent(). Owned by
// whoever binds it (App's registry); event-loop thread only.

#include <netinet/in.h>

#include "poller/Poller.h"

class UDSReceiver : public Poller::Client {
public:
    UDSReceiver() = default;
    UDSReceiver(const UDSReceiver&) = delete;
    UDSReceiver& operator=(const UDSReceiver&) = delete;
    ~UDSReceiver() override;

    // After errorEvent() has run, this object is not touched again, so an
    // errorEvent() override may delete it.
    int notifyPollEvent(Poller::PollEvent* ev) override;
    // Takes fd, its peer's address in from. The base closes it.
    virtual void acceptEvent(int fd, sockaddr_in* from);
    // The peer closed or the socket failed, once per failure. The base
    // frees the receiver.
    virtual void errorEvent();

    // Makes the socket given by setSocket() non-blocking and registers it;
    // 0 or -1.
    int init();
    // Deregisters and closes the socket.
    void free();

    void setSocket(int fd) { m_sockfd = fd; }
    int getSockfd() const { return m_sockfd; }
    void setAcceptCount(int n) { m_acceptCount = n; }
    int acceptCount() const { return m_acceptCount; }

protected:
    int m_sockfd = -1;
    int m_acceptCount = 10;

private:
    // False when the receiver failed (errorEvent() is due).
    bool receiveBatch();
    void passOn(int fd);
};
