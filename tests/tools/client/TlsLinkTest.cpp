// The client side of TLS against an in-process OpenSSL server over a socket
// pair: a peer that goes away makes the link's writes fail, and must not
// raise SIGPIPE, whose default action would end the whole program.

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

#include "client/TlsLink.h"
#include "support/TestCerts.h"

namespace {

// Completes one handshake on fd with pair, then closes fd.
void serveOneHandshake(int fd, const TestCerts::pair_t& pair) {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (ctx && SSL_CTX_use_certificate_chain_file(ctx.get(), pair.cert.c_str()) == 1 &&
        SSL_CTX_use_PrivateKey_file(ctx.get(), pair.key.c_str(), SSL_FILETYPE_PEM) == 1) {
        std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), SSL_free);
        if (ssl && SSL_set_fd(ssl.get(), fd) == 1) SSL_accept(ssl.get());
    }
    ::close(fd);
}

TEST(TlsLinkTest, WritesToAPeerThatClosedFailWithEpipeInsteadOfSigpipe) {
    TestCerts certs;
    const TestCerts::pair_t pair = certs.issue("server");
    ASSERT_FALSE(pair.cert.empty()) << certs.error();
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
    std::thread server(serveOneHandshake, fds[1], pair);

    std::string error;
    const auto link = client::TlsLink::open(fds[0], {.caFile = certs.caFile(), .hostName = "127.0.0.1"},
                                            client::TlsLink::Clock::now() + std::chrono::seconds(10), &error);
    server.join();
    ASSERT_TRUE(link) << error;
    ssize_t n = 0;
    for (int i = 0; i < 100 && n >= 0; ++i) n = link->write("after the close", 15);
    EXPECT_EQ(-1, n);
    EXPECT_EQ(EPIPE, errno);
    ::close(fds[0]);
}

}  // namespace
