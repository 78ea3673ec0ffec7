#pragma once
// A child process for loopback tests: started with arguments, its standard
// output and error captured to files, signalled, and waited for with a
// deadline. The destructor kills a child that is still running.

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

class Process {
public:
    // Starts program with args in directory cwd (empty: the current one),
    // with this process's environment plus env ("NAME=value" each, over a
    // variable of the same name). With pipeStdin the child reads its
    // standard input from a pipe fed by writeStdin(); otherwise it inherits
    // this process's.
    Process(const std::string& program, const std::vector<std::string>& args, const std::string& cwd = "",
            const std::vector<std::string>& env = {}, bool pipeStdin = false);
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process();

    pid_t pid() const { return m_pid; }
    bool signal(int signo) const;
    // The exit status, or -1 if it has not exited within timeoutMs;
    // 128 + signal number when a signal ended it.
    int waitExit(int timeoutMs = 5000);
    bool running();
    std::string stdoutText() const;
    std::string stderrText() const;
    // Writes all of text to the child's standard input (pipeStdin only);
    // false when the pipe is closed or the child stopped reading.
    bool writeStdin(const std::string& text);
    // Ends the child's input: it reads end of file.
    void closeStdin();

private:
    pid_t m_pid = -1;
    int m_stdin = -1;  // write end of the child's stdin pipe
    int m_status = -1;
    std::string m_outPath;
    std::string m_errPath;
};

// Polls pred every few milliseconds until it holds or timeoutMs passes.
bool waitFor(const std::function<bool()>& pred, int timeoutMs = 5000);

// A TCP port on 127.0.0.1 that was free a moment ago.
int freeTcpPort();
// True when something accepts connections on 127.0.0.1:port.
bool canConnect(int port);
// The path of an executable of this build (build/bin/<name>).
std::string binPath(const std::string& name);
