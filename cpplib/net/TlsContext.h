#pragma once
// The OpenSSL context of one side of TLS links, TLS 1.2 and 1.3 only: a
// server's certificate and key, or the trust a client verifies servers
// against. Owned by whoever configures the links (the daemon, the HTTP
// client factory). Replacing the pair affects new links only: each link
// holds its own reference to the context it started with. Loop thread.

#include <openssl/types.h>

#include <memory>
#include <string>

class TlsContext {
public:
    TlsContext() = default;
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;
    ~TlsContext();

    // Loads a PEM certificate (chain) and its key for a server. 0, or -1
    // with *error saying why (OpenSSL's words); the context in use, if any,
    // stays as it was.
    int loadServerPair(const std::string& certFile, const std::string& keyFile, std::string* error);
    // A client context that verifies the server's certificate and host name
    // against caFile, or against the system store when caFile is empty.
    // 0, or -1 with *error.
    int initClient(const std::string& caFile, std::string* error);
    // "" when the pair loads and the key matches the certificate, else why not.
    static std::string checkServerPair(const std::string& certFile, const std::string& keyFile);

    bool ready() const { return m_ctx != nullptr; }
    bool isServer() const { return m_server; }
    SSL_CTX* get() const { return m_ctx.get(); }

    // How long an accepted link may take to finish its handshake.
    int handshakeTimeoutSec() const { return m_handshakeTimeoutSec; }
    void setHandshakeTimeoutSec(int sec) { m_handshakeTimeoutSec = sec > 0 ? sec : 1; }

    // OpenSSL's error queue of this thread as one text, emptied; "" when empty.
    static std::string takeErrors();

private:
    struct CtxFree {
        void operator()(SSL_CTX* ctx) const;
    };

    std::unique_ptr<SSL_CTX, CtxFree> m_ctx;
    bool m_server = false;
    int m_handshakeTimeoutSec = 10;
};
