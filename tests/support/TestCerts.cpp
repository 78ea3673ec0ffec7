#include "support/TestCerts.h"

#include <vector>

#include "support/Process.h"

namespace {

const std::vector<std::string> kNewKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TestCerts::TestCerts() {
    m_ca = {m_dir.file("ca.pem"), m_dir.file("ca.key")};
    m_ok = run(std::vector<std::string>{"req", "-x509"} + kNewKey +
               std::vector<std::string>{"-keyout", m_ca.key, "-out", m_ca.cert, "-days", "2", "-subj", "/CN=Test CA"});
}

bool TestCerts::run(const std::vector<std::string>& args) {
    Process openssl("/usr/bin/openssl", args, m_dir.path());
    if (openssl.waitExit(30000) == 0) return true;
    m_error = openssl.stderrText();
    return false;
}

TestCerts::pair_t TestCerts::issue(const std::string& name, const std::string& san) {
    const pair_t pair = {m_dir.file(name + ".pem"), m_dir.file(name + ".key")};
    const std::string request = m_dir.file(name + ".csr");
    const std::string extensions =
        m_dir.write(name + ".ext", "subjectAltName=" + san + "\nbasicConstraints=CA:FALSE\n");
    const bool made =
        m_ok &&
        run(std::vector<std::string>{"req"} + kNewKey +
            std::vector<std::string>{"-keyout", pair.key, "-out", request, "-subj", "/CN=" + name}) &&
        run({"x509", "-req", "-in", request, "-CA", m_ca.cert, "-CAkey", m_ca.key, "-CAcreateserial", "-out",
             pair.cert, "-days", "2", "-extfile", extensions});
    return made ? pair : pair_t{};
}
