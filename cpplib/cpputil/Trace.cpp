#include "cpputil/Trace.h"

#include <unistd.h>

#include <climits>

Trace g_trace;

void IntToString(std::string& out, int value) {
    out = std::to_string(value);
}

Trace::~Trace() {
    closeStream();
}

void Trace::setPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_traceLogPath = path;
}

void Trace::setPrefix(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_prefix = prefix;
}

std::string Trace::prefix() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_prefix;
}

void Trace::opentracefile() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_prefix.empty()) IntToString(m_prefix, static_cast<int>(getpid()));

    // Close a file we opened in every case, so switching from a directory to
    // a standard stream does not leak it.
    closeStream();
    m_curSize = 0;
    if (m_traceLogPath.empty() || m_traceLogPath == "/dev/stderr") {
        m_fp = stderr;
        return;
    }
    if (m_traceLogPath == "/dev/stdout") {
        m_fp = stdout;
        return;
    }
    if (m_traceLogPath == "/dev/null") {
        m_fp = nullptr;
        return;
    }

    const std::string name = m_traceLogPath + "/" + m_prefix + "-" + std::to_string(m_fileCounter) + ".log";
    m_fileCounter = (m_fileCounter + 1) % 10;
    m_fp = fopen(name.c_str(), "w");
    if (!m_fp) {
        m_fp = stderr;
        return;
    }
    // Unbuffered: a dump is on disk before whatever it precedes can crash us.
    setvbuf(m_fp, nullptr, _IONBF, 0);
    m_fileName = name;
}

void Trace::checkSize() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_curSize <= m_maxSize) return;
    }
    opentracefile();
}

void Trace::write(const char* data, size_t len) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_fp || len == 0) return;
    fwrite(data, 1, len, m_fp);
    // Saturate: a burst larger than INT_MAX between two checks must still
    // read as "over the limit", never wrap to a small number.
    const size_t room = static_cast<size_t>(INT_MAX - m_curSize);
    m_curSize = len >= room ? INT_MAX : m_curSize + static_cast<int>(len);
}

FILE* Trace::stream() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_fp;
}

std::string Trace::fileName() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_fileName;
}

void Trace::closeStream() {
    if (m_fp && m_fp != stderr && m_fp != stdout) fclose(m_fp);
    m_fp = nullptr;
    m_fileName.clear();
}
