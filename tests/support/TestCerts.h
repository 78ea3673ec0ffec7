#pragma once
// A throw-away certificate authority for TLS tests, made with the openssl
// command in a temporary folder of its own: a CA certificate, and server
// certificates it signs for the names a test asks for. Nothing is kept
// after the object goes. Test thread only.

#include <string>
#include <vector>

#include "support/TempDir.h"

class TestCerts {
public:
    struct pair_t {
        std::string cert;  // PEM file
        std::string key;   // PEM file
    };

    // Makes the CA; ok() says whether that worked.
    TestCerts();
    TestCerts(const TestCerts&) = delete;
    TestCerts& operator=(const TestCerts&) = delete;

    bool ok() const { return m_ok; }
    const std::string& caFile() const { return m_ca.cert; }
    // A new key and a certificate signed by this CA whose subject names are
    // san ("IP:127.0.0.1,DNS:localhost" by default); empty paths on failure.
    pair_t issue(const std::string& name, const std::string& san = "IP:127.0.0.1,DNS:localhost");
    // The openssl command's output of the last step that failed.
    const std::string& error() const { return m_error; }

private:
    bool run(const std::vector<std::string>& args);

    TempDir m_dir;
    pair_t m_ca;
    bool m_ok = false;
    std::string m_error;
};
