#pragma once
// Developer trace: a switch, a level and a trace file with size-based
// turnover. Trace points write nothing; only hex dumps reach the file, and
// only while the switch is on. The switch and the level may be read from any
// thread; opening the file belongs to the event-loop thread.

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

enum Trace_Level : unsigned short {
    TRACE_NONE = 0,
    TRACE_CRITICAL = 1,
    TRACE_ERROR = 2,
    TRACE_WARNING = 3,
    TRACE_INFO = 4,
    TRACE_DEBUG = 5,
};

class Trace {
public:
    Trace() = default;
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;
    ~Trace();

    void on() { m_bTrace = true; }
    void off() { m_bTrace = false; }
    void toggle() { m_bTrace = !m_bTrace.load(); }
    bool isOn() const { return m_bTrace; }
    void setLevel(unsigned short level) { m_usLogLevel = level; }
    unsigned short level() const { return m_usLogLevel; }
    void setMaxSize(int bytes) { m_maxSize = bytes; }
    void setPath(const std::string& path);
    void setPrefix(const std::string& prefix);
    std::string prefix() const;

    // Trace points: kept at their call sites for developers, silent here.
    int operator()(const char*, int, const char*, ...) { return 0; }
    int operator()(const char*, int, unsigned short, const char*, ...) { return 0; }

    // Opens the next of ten cycling trace files (or a standard stream).
    void opentracefile();
    // Turns the file over when it has grown past the limit. Once per loop pass.
    void checkSize();
    // Writes raw bytes (hex dumps) whole and counts them against the limit.
    void write(const char* data, size_t len);
    // The stream for HexDump; null when tracing goes nowhere.
    FILE* stream();
    // Name of the file last opened, empty for a standard stream.
    std::string fileName() const;

private:
    void closeStream();

    mutable std::mutex m_mutex;          // guards the stream, names and sizes
    FILE* m_fp = stderr;
    int m_maxSize = 0x40000000;
    int m_curSize = 0;
    std::atomic<bool> m_bTrace{false};
    std::string m_traceLogPath;
    std::string m_prefix;
    std::string m_fileName;
    int m_fileCounter = 0;               // cycles the ten trace file names
    std::atomic<unsigned short> m_usLogLevel{TRACE_CRITICAL};
};

void IntToString(std::string& out, int value);

extern Trace g_trace;

#define TRACE(...) g_trace(__FILE__, __LINE__, __VA_ARGS__)
