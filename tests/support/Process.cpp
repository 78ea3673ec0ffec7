#include "support/Process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string tempName(const char* what) {
    char pattern[64];
    std::snprintf(pattern, sizeof pattern, "/tmp/tolvex-%s-XXXXXX", what);
    const int fd = mkstemp(pattern);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    ::close(fd);
    return pattern;
}

// This process's environment with overrides ("NAME=value") replacing or
// adding variables; built before fork, since the child may only exec.
std::vector<std::string> childEnvironment(const std::vector<std::string>& overrides) {
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry(*e);
        bool replaced = false;
        for (const std::string& o : overrides) replaced = replaced || nameOf(o) == nameOf(entry);
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), overrides.begin(), overrides.end());
    return env;
}

}  // namespace

Process::Process(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                 const std::vector<std::string>& env, bool pipeStdin)
    : m_outPath(tempName("out")), m_errPath(tempName("err")) {
    std::vector<std::string> argvStore;
    argvStore.push_back(program);
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argvStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore = childEnvironment(env);
    std::vector<char*> envp;
    for (std::string& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    // Both ends close on exec, so no other child holds the write end open
    // and this child sees end of file once closeStdin() runs.
    int in[2] = {-1, -1};
    if (pipeStdin && pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    m_pid = fork();
    if (m_pid < 0) throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        const int out = ::open(m_outPath.c_str(), O_WRONLY | O_TRUNC);
        const int err = ::open(m_errPath.c_str(), O_WRONLY | O_TRUNC);
        if (out >= 0) dup2(out, 1);
        if (err >= 0) dup2(err, 2);
        if (in[0] >= 0) dup2(in[0], 0);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    if (pipeStdin) {
        ::close(in[0]);
        m_stdin = in[1];
    }
}

bool Process::writeStdin(const std::string& text) {
    if (m_stdin < 0) return false;
    // A child that exited must fail the write, not kill the test: SIGPIPE
    // is held back on this thread, and one raised by the write is taken.
    sigset_t pipeSignal, previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    size_t done = 0;
    bool ok = true;
    while (ok && done < text.size()) {
        const ssize_t n = ::write(m_stdin, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n > 0) done += static_cast<size_t>(n);
        else ok = false;
    }
    if (!ok) {
        const timespec none{};
        sigtimedwait(&pipeSignal, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return ok;
}

void Process::closeStdin() {
    if (m_stdin >= 0) ::close(m_stdin);
    m_stdin = -1;
}

Process::~Process() {
    closeStdin();
    if (running()) {
        ::kill(m_pid, SIGKILL);
        waitExit(5000);
    }
    ::unlink(m_outPath.c_str());
    ::unlink(m_errPath.c_str());
}

bool Process::signal(int signo) const {
    return m_pid > 0 && ::kill(m_pid, signo) == 0;
}

bool Process::running() {
    if (m_pid <= 0 || m_status >= 0) return false;
    int status = 0;
    const pid_t r = waitpid(m_pid, &status, WNOHANG);
    if (r == 0) return true;
    if (r == m_pid) m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
}

int Process::waitExit(int timeoutMs) {
    waitFor([&] { return !running(); }, timeoutMs);
    return m_status;
}

std::string Process::stdoutText() const { return readFile(m_outPath); }
std::string Process::stderrText() const { return readFile(m_errPath); }

bool waitFor(const std::function<bool()>& pred, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

int freeTcpPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
        port = ntohs(sa.sin_port);
    ::close(fd);
    return port;
}

bool canConnect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    return ok;
}

std::string binPath(const std::string& name) {
    return std::string(TOLVEX_BIN_DIR) + "/" + name;
}
