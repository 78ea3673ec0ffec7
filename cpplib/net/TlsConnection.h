#pragma once
// One TLS link over a non-blocking socket it does not own: the handshake,
// then reads and writes that say when the socket must become readable or
// writable first. Owned by its Session, which drives it on the loop thread.

#include <openssl/types.h>

#include <memory>
#include <string>

class TlsContext;

class TlsConnection {
public:
    // What an operation left to do: nothing, wait for the socket to turn
    // readable or writable and call again, or give up (the peer closed
    // cleanly, or the link failed: error() says why).
    enum class io_t { DONE, WANT_READ, WANT_WRITE, CLOSED, FAILED };

    // The server side of an accepted fd; null when ctx is not ready.
    static std::unique_ptr<TlsConnection> accept(const TlsContext& ctx, int fd);
    // The client side of a connected (or connecting) fd, sending hostName
    // as SNI and checking the certificate names it. Null when ctx is not
    // ready.
    static std::unique_ptr<TlsConnection> connect(const TlsContext& ctx, int fd, const std::string& hostName);

    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;
    ~TlsConnection();

    io_t handshake();
    bool established() const { return m_established; }
    bool serverSide() const { return m_server; }
    // Bytes read (> 0), or 0 with *status saying why none were.
    int read(char* buf, int len, io_t* status);
    // Bytes taken (> 0), or 0 with *status. A write that wanted a retry is
    // retried with the same bytes at the same start (more may follow them).
    int write(const char* buf, int len, io_t* status);
    // Decrypted bytes, or a whole record, wait inside OpenSSL: the poller
    // cannot see them, so read again before waiting.
    bool hasPending() const;
    // One close_notify, best effort; the socket closes right after.
    void shutdown();
    // Why the last operation failed: OpenSSL's reason, the certificate
    // check's verdict, or the system error.
    const std::string& error() const { return m_error; }

private:
    TlsConnection(SSL* ssl, bool server);
    io_t status(int rc);

    struct SslFree {
        void operator()(SSL* ssl) const;
    };
    std::unique_ptr<SSL, SslFree> m_ssl;
    bool m_server;
    bool m_established = false;
    bool m_failed = false;  // after a fatal error: no close_notify may follow
    std::string m_error;
};
