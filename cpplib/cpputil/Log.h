#pragma once
// Timestamped lines into dated files that turn over by day, hour or minute.
// Any thread may log: each line is formatted first and written whole under
// the log's own mutex, then flushed, so a crash loses nothing already logged.

#include <sys/time.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

enum reopen_t { REOPEN_DD = 0, REOPEN_HH = 1, REOPEN_MM = 2 };

class Log {
public:
    Log() = default;
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;
    virtual ~Log();

    // Stores the directory, file stem and turnover; the first line opens the file.
    int init(const char* path, const char* head, reopen_t mode);

    void log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Prefix "[20yy-mm-dd hh:mm:ss.mmm]:".
    void log_pi(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Written only while the trace switch is on.
    void xlog(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A line already formatted, under the "[time]:" prefix of log_pi.
    void log_pi_text(const std::string& text);
    // The writer with an explicit clock: the seam for turnover tests.
    void logAt(const timeval& now, const char* text);

    bool checkTime(time_t now) const;
    // Closes and opens the file for the period of now. 0 or -1.
    virtual int reopen(time_t now);
    void close();

    // The name of the file currently open, empty when none.
    std::string fileName() const;

    // 0 (the default): every line is written and flushed at once. Above 0,
    // lines are kept whole and in order in the stream's buffer and reach the
    // file when it fills, or when flushIfDue finds the oldest of them that
    // many milliseconds old; a crash loses at most that window.
    void setFlushInterval(int ms);
    // Writes what is buffered when the oldest line waited the interval
    // (always when force). Any thread.
    void flushIfDue(const timeval& now, bool force = false);

protected:
    std::string buildName(const tm& lt) const;
    void setPeriod(time_t now, const tm& lt);
    // Called with the mutex held; openFile reports failure on standard error.
    int openFile(const std::string& name);
    void closeFile();
    std::recursive_mutex& mutex() const { return m_mutex; }

    std::string m_path;
    std::string m_head;
    time_t m_last = 0;
    reopen_t m_reopen = REOPEN_DD;
    FILE* m_fp = nullptr;
    std::unique_ptr<char[]> m_streamBuf;  // m_fp's buffer; outlives every stream
    std::string m_fileName;

private:
    // bracketed: the prefix is "[time]:" (log_pi), else "time:".
    void vwrite(bool bracketed, const char* format, va_list args);
    void writeLine(const timeval& now, bool bracketed, const char* text);

    mutable std::recursive_mutex m_mutex;  // guards the stream, the period and the batch
    int m_flushMs = 0;
    bool m_pending = false;      // lines written since the last flush
    timeval m_pendingSince{};    // when the oldest of them was written
};

// A log written under a fixed name and moved to a dated name, the day its
// lines were written, once a later day begins; suits daily turnover.
class LogStat : public Log {
public:
    int reopen(time_t now) override;

private:
    int m_day = 0;  // yyyymmdd this run last opened the file on; 0 before the first open
};
