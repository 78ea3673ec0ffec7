#pragma once
// TLS for the client tools over a socket the caller connected and keeps
// owning (TLS 1.2 or 1.3). The server's certificate is verified against a
// CA file, or the system store, and must name the host the caller dialled.
// Works on blocking and non-blocking sockets alike: read() and write()
// report a would-block as -1 with errno EAGAIN, and wantsWrite() then says
// which way to poll. A peer that closed makes them fail with EPIPE, never
// raise SIGPIPE. One thread at a time.
//
//   std::string error;
//   auto tls = client::TlsLink::open(fd, {.caFile = "ca.pem", .hostName = "127.0.0.1"},
//                                    Clock::now() + 5s, &error);
//   if (!tls) fail(error);
//   tls->write(bytes, n);  tls->read(buf, sizeof buf);

#include <openssl/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <sys/types.h>

namespace client {

class TlsLink {
public:
    using Clock = std::chrono::steady_clock;

    struct options_t {
        std::string caFile{};    // PEM CA certificates; empty: the system store
        std::string hostName{};  // name or address the certificate must carry (and SNI for a name)
    };

    // Runs the handshake on the connected fd, polling it until deadline.
    // Null with *error (OpenSSL's reason or the certificate check's verdict)
    // when it fails or the deadline passes.
    static std::unique_ptr<TlsLink> open(int fd, const options_t& options, Clock::time_point deadline,
                                         std::string* error);

    TlsLink(const TlsLink&) = delete;
    TlsLink& operator=(const TlsLink&) = delete;
    ~TlsLink();

    // Bytes read; 0 when the server closed; -1 with errno EAGAIN (poll,
    // see wantsWrite) or EPROTO/ECONNRESET (error() says why).
    ssize_t read(void* buf, size_t len);
    // Bytes written (maybe fewer than len); -1 as for read(). After EAGAIN,
    // call again with the same bytes.
    ssize_t write(const void* buf, size_t len);
    // The last EAGAIN needs the socket writable rather than readable.
    bool wantsWrite() const { return m_wantsWrite; }
    // Decrypted bytes wait here that a poll on the socket would not show.
    bool hasPending() const;
    const std::string& error() const { return m_error; }
    // SHA-256 of the server's certificate, lower-case hex.
    std::string peerFingerprint() const;

private:
    struct Free {
        void operator()(SSL_CTX* ctx) const;
        void operator()(SSL* ssl) const;
    };

    TlsLink(SSL_CTX* ctx, SSL* ssl) : m_ctx(ctx), m_ssl(ssl) {}
    ssize_t result(int rc);

    std::unique_ptr<SSL_CTX, Free> m_ctx;
    std::unique_ptr<SSL, Free> m_ssl;  // declared last: freed before its context
    bool m_wantsWrite = false;
    // SIGPIPE was not ignored at open(): reads and writes block it around
    // OpenSSL's calls (a few system calls each, which a tool that ignores it
    // is spared).
    bool m_guardSigpipe = true;
    std::string m_error;
};

}  // namespace client
