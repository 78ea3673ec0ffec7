#include "net/TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace {

// Settings both sides share: TLS 1.2 and 1.3 only, no renegotiation (a
// write that would need a read first), and a peer that closes without a
// close_notify ends the link like a TCP close rather than as an error.
std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> newContext(const SSL_METHOD* method) {
    std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> ctx(SSL_CTX_new(method), SSL_CTX_free);
    if (!ctx) return ctx;
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
    // The send buffer may move between a write that wanted a retry and the
    // retry (it grows), and a partial write is taken like a short send().
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return ctx;
}

}  // namespace

void TlsContext::CtxFree::operator()(SSL_CTX* ctx) const {
    SSL_CTX_free(ctx);
}

TlsContext::~TlsContext() = default;

std::string TlsContext::takeErrors() {
    std::string text;
    while (const unsigned long err = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(err, buf, sizeof buf);
        if (!text.empty()) text += "; ";
        text += buf;
    }
    return text;
}

namespace {

std::string failure(const std::string& what) {
    const std::string why = TlsContext::takeErrors();
    return why.empty() ? what : what + ": " + why;
}

}  // namespace

int TlsContext::loadServerPair(const std::string& certFile, const std::string& keyFile, std::string* error) {
    ERR_clear_error();
    auto ctx = newContext(TLS_server_method());
    std::string why;
    if (!ctx)
        why = failure("cannot create a TLS context");
    else if (SSL_CTX_use_certificate_chain_file(ctx.get(), certFile.c_str()) != 1)
        why = failure("cannot load the certificate " + certFile);
    else if (SSL_CTX_use_PrivateKey_file(ctx.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
        // Taking the key already compares it with the certificate.
        why = failure(ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH
                          ? "the key " + keyFile + " does not match the certificate " + certFile
                          : "cannot load the key " + keyFile);
    else if (SSL_CTX_check_private_key(ctx.get()) != 1)
        why = failure("the key " + keyFile + " does not match the certificate " + certFile);
    if (!why.empty()) {
        if (error) *error = why;
        return -1;
    }
    m_ctx.reset(ctx.release());
    m_server = true;
    return 0;
}

int TlsContext::initClient(const std::string& caFile, std::string* error) {
    ERR_clear_error();
    auto ctx = newContext(TLS_client_method());
    std::string why;
    if (!ctx) {
        why = failure("cannot create a TLS context");
    } else {
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
        const int rc = caFile.empty() ? SSL_CTX_set_default_verify_paths(ctx.get())
                                      : SSL_CTX_load_verify_locations(ctx.get(), caFile.c_str(), nullptr);
        if (rc != 1) why = failure("cannot load the CA certificates " + (caFile.empty() ? "of the system" : caFile));
    }
    if (!why.empty()) {
        if (error) *error = why;
        return -1;
    }
    m_ctx.reset(ctx.release());
    m_server = false;
    return 0;
}

std::string TlsContext::checkServerPair(const std::string& certFile, const std::string& keyFile) {
    TlsContext probe;
    std::string why;
    return probe.loadServerPair(certFile, keyFile, &why) == 0 ? "" : why;
}
