#pragma once
// An IPv4 datagram endpoint on the poller: each readable event reads one
// datagram into the receive buffer and hands it to the handler. Owned by
// whoever binds it (App's registry); event-loop thread only.

#include <netinet/in.h>

#include <vector>

#include "poller/Poller.h"

class UDPListener : public Poller::Client {
public:
    class EventHandler {
    public:
        virtual ~EventHandler() = default;
        // data holds len bytes followed by a zero byte; valid during the call.
        virtual void recvFromEvent(UDPListener* l, char* data, int len, sockaddr_in* from) = 0;
    };

    UDPListener();
    UDPListener(const UDPListener&) = delete;
    UDPListener& operator=(const UDPListener&) = delete;
    ~UDPListener() override;

    int notifyPollEvent(Poller::PollEvent* ev) override;

    // Opens, binds m_sai and registers; 0, or -1 with the socket closed and
    // lastError() naming the cause.
    int init();
    // Deregisters and closes; forgets the address.
    void free();

    // The receive buffer: buf must hold buflen + 1 bytes and outlive the
    // listener. With buf null the listener keeps a buffer of its own.
    void set(int buflen, char* buf);
    void setHandler(EventHandler* peh) { m_peh = peh; }
    void setAddress(const sockaddr_in& sa) { m_sai = sa; }
    const sockaddr_in& address() const { return m_sai; }
    // Host order; after init() the port actually bound (also for port 0).
    int port() const { return ntohs(m_sai.sin_port); }
    int getSockfd() const { return m_sockfd; }
    int lastError() const { return m_lastError; }

    // To the listener's own address, or to `to`; the sendto() result.
    int sendto(const void* data, int len);
    int sendto(const void* data, int len, sockaddr_in* to);

protected:
    int m_sockfd = -1;
    sockaddr_in m_sai{};
    int m_buflen = 0;
    char* m_buf = nullptr;
    EventHandler* m_peh = nullptr;

private:
    int fail(int err);
    void closeSocket();
    void receiveOne();

    std::vector<char> m_ownBuf;  // used when the owner gives no buffer
    int m_lastError = 0;
};
