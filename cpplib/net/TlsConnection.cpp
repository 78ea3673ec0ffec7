#include "net/TlsConnection.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>

#include "net/TlsContext.h"

void TlsConnection::SslFree::operator()(SSL* ssl) const {
    SSL_free(ssl);
}

TlsConnection::TlsConnection(SSL* ssl, bool server) : m_ssl(ssl), m_server(server) {}

TlsConnection::~TlsConnection() = default;

std::unique_ptr<TlsConnection> TlsConnection::accept(const TlsContext& ctx, int fd) {
    if (!ctx.ready()) return nullptr;
    SSL* ssl = SSL_new(ctx.get());
    if (!ssl) return nullptr;
    std::unique_ptr<TlsConnection> link(new TlsConnection(ssl, true));
    if (SSL_set_fd(ssl, fd) != 1) return nullptr;
    SSL_set_accept_state(ssl);
    return link;
}

std::unique_ptr<TlsConnection> TlsConnection::connect(const TlsContext& ctx, int fd, const std::string& hostName) {
    if (!ctx.ready()) return nullptr;
    SSL* ssl = SSL_new(ctx.get());
    if (!ssl) return nullptr;
    std::unique_ptr<TlsConnection> link(new TlsConnection(ssl, false));
    if (SSL_set_fd(ssl, fd) != 1) return nullptr;
    // An address is checked against the certificate's IP entries, a name
    // against its DNS names; SNI carries names only.
    unsigned char ip[16];
    const bool isAddress =
        inet_pton(AF_INET, hostName.c_str(), ip) == 1 || inet_pton(AF_INET6, hostName.c_str(), ip) == 1;
    if (isAddress) {
        if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), hostName.c_str()) != 1) return nullptr;
    } else {
        if (SSL_set_tlsext_host_name(ssl, hostName.c_str()) != 1) return nullptr;
        if (SSL_set1_host(ssl, hostName.c_str()) != 1) return nullptr;
    }
    SSL_set_connect_state(ssl);
    return link;
}

TlsConnection::io_t TlsConnection::status(int rc) {
    switch (SSL_get_error(m_ssl.get(), rc)) {
        case SSL_ERROR_WANT_READ:
            return io_t::WANT_READ;
        case SSL_ERROR_WANT_WRITE:
            return io_t::WANT_WRITE;
        case SSL_ERROR_ZERO_RETURN:
            return io_t::CLOSED;
        case SSL_ERROR_SYSCALL: {
            m_failed = true;
            const int err = errno;
            const std::string queued = TlsContext::takeErrors();
            if (!queued.empty())
                m_error = queued;
            else
                m_error = err != 0 ? std::strerror(err) : "connection closed";
            return io_t::FAILED;
        }
        default: {
            m_failed = true;
            m_error = TlsContext::takeErrors();
            const long verdict = SSL_get_verify_result(m_ssl.get());
            if (!m_established && verdict != X509_V_OK)
                m_error = std::string("certificate verify failed: ") + X509_verify_cert_error_string(verdict);
            if (m_error.empty()) m_error = "TLS failure";
            return io_t::FAILED;
        }
    }
}

TlsConnection::io_t TlsConnection::handshake() {
    if (m_established) return io_t::DONE;
    // The error queue is per thread and shared with every other link: what
    // an earlier call left there must not be read as this link's failure.
    ERR_clear_error();
    const int rc = SSL_do_handshake(m_ssl.get());
    if (rc == 1) {
        m_established = true;
        return io_t::DONE;
    }
    return status(rc);
}

int TlsConnection::read(char* buf, int len, io_t* st) {
    ERR_clear_error();
    const int rc = SSL_read(m_ssl.get(), buf, len);
    if (rc > 0) {
        *st = io_t::DONE;
        return rc;
    }
    *st = status(rc);
    return 0;
}

int TlsConnection::write(const char* buf, int len, io_t* st) {
    ERR_clear_error();
    const int rc = SSL_write(m_ssl.get(), buf, len);
    if (rc > 0) {
        *st = io_t::DONE;
        return rc;
    }
    *st = status(rc);
    return 0;
}

bool TlsConnection::hasPending() const {
    return SSL_has_pending(m_ssl.get()) == 1;
}

void TlsConnection::shutdown() {
    if (!m_established || m_failed) return;
    ERR_clear_error();
    SSL_shutdown(m_ssl.get());
    ERR_clear_error();
}
