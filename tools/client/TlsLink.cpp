#include "client/TlsLink.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "net/TlsContext.h"

namespace client {

namespace {

SSL_CTX* newClientContext(const std::string& caFile, std::string* error) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        *error = "cannot create a TLS context: " + TlsContext::takeErrors();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    const int rc = caFile.empty() ? SSL_CTX_set_default_verify_paths(ctx)
                                  : SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr);
    if (rc != 1) {
        *error = "cannot load the CA certificates " + (caFile.empty() ? std::string("of the system") : caFile) + ": " +
                 TlsContext::takeErrors();
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

// Names go out as SNI and are matched against DNS names, addresses against
// the certificate's IP entries.
bool expectHost(SSL* ssl, const std::string& host) {
    if (host.empty()) return true;
    unsigned char ip[16];
    if (inet_pton(AF_INET, host.c_str(), ip) == 1 || inet_pton(AF_INET6, host.c_str(), ip) == 1)
        return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
    return SSL_set_tlsext_host_name(ssl, host.c_str()) == 1 && SSL_set1_host(ssl, host.c_str()) == 1;
}

// OpenSSL writes through the socket with plain write(), which raises
// SIGPIPE once the peer has closed, and that would end the whole program
// (a test binary, a tool without its own handler). While one exists on this
// thread SIGPIPE is blocked; one the writes raised is taken back before
// the mask is restored, so the call just fails with EPIPE. A program that
// ignores SIGPIPE needs none of this (see TlsLink::m_guardSigpipe).
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        sigset_t pending;
        m_wasPending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_old);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;
    ~SigpipeGuard() {
        const int saved = errno;
        sigset_t pending;
        if (!m_wasPending && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            const timespec now{};
            sigtimedwait(&m_pipe, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
        errno = saved;
    }

private:
    sigset_t m_pipe{};
    sigset_t m_old{};
    bool m_wasPending = false;  // someone else's SIGPIPE, left for them
};

int msUntil(TlsLink::Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TlsLink::Clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

}  // namespace

std::unique_ptr<TlsLink> TlsLink::open(int fd, const options_t& options, Clock::time_point deadline,
                                       std::string* error) {
    std::string scratch;
    if (!error) error = &scratch;
    ERR_clear_error();
    SSL_CTX* ctx = newClientContext(options.caFile, error);
    if (!ctx) return nullptr;
    SSL* ssl = SSL_new(ctx);
    if (!ssl) {
        *error = "cannot create a TLS link: " + TlsContext::takeErrors();
        SSL_CTX_free(ctx);
        return nullptr;
    }
    std::unique_ptr<TlsLink> link(new TlsLink(ctx, ssl));
    struct sigaction pipe {};
    link->m_guardSigpipe = sigaction(SIGPIPE, nullptr, &pipe) != 0 || pipe.sa_handler != SIG_IGN;
    if (SSL_set_fd(ssl, fd) != 1 || !expectHost(ssl, options.hostName)) {
        *error = "cannot set up the TLS link: " + TlsContext::takeErrors();
        return nullptr;
    }
    SSL_set_connect_state(ssl);
    for (;;) {
        ERR_clear_error();
        int rc;
        {
            SigpipeGuard quiet;
            rc = SSL_do_handshake(ssl);
        }
        if (rc == 1) return link;
        const int err = SSL_get_error(ssl, rc);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
            const long verdict = SSL_get_verify_result(ssl);
            *error = verdict != X509_V_OK ? std::string("certificate verify failed: ") +
                                                X509_verify_cert_error_string(verdict)
                                          : TlsContext::takeErrors();
            if (error->empty()) error->assign(errno != 0 ? std::strerror(errno) : "closed during the TLS handshake");
            return nullptr;
        }
        pollfd pfd{fd, static_cast<short>(err == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
        if (::poll(&pfd, 1, msUntil(deadline)) <= 0) {
            *error = "TLS handshake timed out";
            return nullptr;
        }
    }
}

void TlsLink::Free::operator()(SSL_CTX* ctx) const {
    SSL_CTX_free(ctx);
}

void TlsLink::Free::operator()(SSL* ssl) const {
    SSL_free(ssl);
}

TlsLink::~TlsLink() = default;

ssize_t TlsLink::result(int rc) {
    m_wantsWrite = false;
    if (rc > 0) return rc;
    switch (SSL_get_error(m_ssl.get(), rc)) {
        case SSL_ERROR_WANT_READ:
            errno = EAGAIN;
            return -1;
        case SSL_ERROR_WANT_WRITE:
            m_wantsWrite = true;
            errno = EAGAIN;
            return -1;
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        case SSL_ERROR_SYSCALL: {
            const int saved = errno;
            m_error = TlsContext::takeErrors();
            if (m_error.empty()) m_error = saved != 0 ? std::strerror(saved) : "connection reset";
            errno = saved != 0 ? saved : ECONNRESET;
            return -1;
        }
        default:
            m_error = TlsContext::takeErrors();
            errno = EPROTO;
            return -1;
    }
}

ssize_t TlsLink::read(void* buf, size_t len) {
    ERR_clear_error();
    std::optional<SigpipeGuard> quiet;  // a read may answer the peer (an alert, a key update)
    if (m_guardSigpipe) quiet.emplace();
    return result(SSL_read(m_ssl.get(), buf, static_cast<int>(std::min<size_t>(len, 1 << 30))));
}

ssize_t TlsLink::write(const void* buf, size_t len) {
    if (len == 0) return 0;
    ERR_clear_error();
    std::optional<SigpipeGuard> quiet;
    if (m_guardSigpipe) quiet.emplace();
    return result(SSL_write(m_ssl.get(), buf, static_cast<int>(std::min<size_t>(len, 1 << 30))));
}

bool TlsLink::hasPending() const {
    return SSL_has_pending(m_ssl.get()) == 1;
}

std::string TlsLink::peerFingerprint() const {
    X509* cert = SSL_get1_peer_certificate(m_ssl.get());
    if (!cert) return "";
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    const bool ok = X509_digest(cert, EVP_sha256(), md, &n) == 1;
    X509_free(cert);
    if (!ok) return "";
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < n; ++i) {
        hex += kHex[md[i] >> 4];
        hex += kHex[md[i] & 15];
    }
    return hex;
}

}  // namespace client
