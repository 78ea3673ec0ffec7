#include "cpputil/Log.h"

#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "cpputil/Trace.h"

namespace {

constexpr size_t kMaxPath = 255;
constexpr size_t kMaxHead = 31;
constexpr size_t kBatchBytes = 1024 * 1024;

constexpr size_t kShortLine = 512;

// printf into a string of whatever length the text needs; most lines fit
// the first try.
std::string vformat(const char* format, va_list args) {
    char first[kShortLine];
    va_list retry;
    va_copy(retry, args);
    const int len = vsnprintf(first, sizeof first, format, args);
    std::string out;
    if (len > 0 && static_cast<size_t>(len) < sizeof first) {
        out.assign(first, static_cast<size_t>(len));
    } else if (len > 0) {
        out.resize(static_cast<size_t>(len));
        vsnprintf(out.data(), out.size() + 1, format, retry);
    }
    va_end(retry);
    return out;
}

std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = vformat(format, args);
    va_end(args);
    return out;
}

tm localTime(time_t now) {
    tm lt{};
    localtime_r(&now, &lt);
    return lt;
}

// "20yy-mm-dd hh:mm:ss" of a second: local time is worked out once a second
// per thread, not once a line.
const char* secondText(time_t sec) {
    thread_local time_t cached = -1;
    thread_local char text[96];
    if (sec != cached) {
        const tm lt = localTime(sec);
        snprintf(text, sizeof text, "20%02d-%02d-%02d %02d:%02d:%02d", lt.tm_year - 100, lt.tm_mon + 1,
                 lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec);
        cached = sec;
    }
    return text;
}

// "20yy-mm-dd hh:mm:ss.mmm:", or in brackets "[...]:".
void appendPrefix(std::string& line, const timeval& now, bool bracketed) {
    const int ms = static_cast<int>(now.tv_usec / 1000);
    const char millis[4] = {static_cast<char>('0' + ms / 100), static_cast<char>('0' + ms / 10 % 10),
                            static_cast<char>('0' + ms % 10), '.'};
    if (bracketed) line += '[';
    line += secondText(now.tv_sec);
    line += '.';
    line.append(millis, 3);
    line += bracketed ? "]:" : ":";
}

// The period a local time belongs to, as one comparable number. Local fields
// rather than now / 3600 keep turnover on the local hour in zones with
// half-hour offsets, and the full date keeps a daily log from reusing the
// file of the same day one month earlier.
time_t periodKey(reopen_t mode, const tm& lt) {
    time_t key = (static_cast<time_t>(lt.tm_year) + 1900) * 10000 + (lt.tm_mon + 1) * 100 + lt.tm_mday;
    if (mode == REOPEN_HH || mode == REOPEN_MM) key = key * 100 + lt.tm_hour;
    if (mode == REOPEN_MM) key = key * 100 + lt.tm_min;
    return key;
}

}  // namespace

Log::~Log() {
    closeFile();
}

int Log::init(const char* path, const char* head, reopen_t mode) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_path.assign(path ? path : "");
    m_head.assign(head ? head : "");
    if (m_path.size() > kMaxPath) m_path.resize(kMaxPath);
    if (m_head.size() > kMaxHead) m_head.resize(kMaxHead);
    m_reopen = mode;
    return 0;
}

void Log::log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vwrite(false, format, args);
    va_end(args);
}

void Log::log_pi(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vwrite(true, format, args);
    va_end(args);
}

void Log::xlog(const char* format, ...) {
    if (!g_trace.isOn()) return;
    va_list args;
    va_start(args, format);
    vwrite(false, format, args);
    va_end(args);
}

void Log::log_pi_text(const std::string& text) {
    timeval now{};
    gettimeofday(&now, nullptr);
    writeLine(now, true, text.c_str());
}

void Log::logAt(const timeval& now, const char* text) {
    writeLine(now, false, text ? text : "");
}

void Log::vwrite(bool bracketed, const char* format, va_list args) {
    // Format before taking the clock and the lock, so a slow format does not
    // hold up other writers.
    const std::string text = vformat(format, args);
    timeval now{};
    gettimeofday(&now, nullptr);
    writeLine(now, bracketed, text.c_str());
}

void Log::writeLine(const timeval& now, bool bracketed, const char* text) {
    const size_t textLen = strlen(text);
    std::string line;
    line.reserve(textLen + 32);
    appendPrefix(line, now, bracketed);
    line.append(text, textLen);
    line += '\n';

    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    // Without init (or after close) there is no directory to write to; opening
    // "/.<date>.log" instead would litter the root directory.
    if (m_path.empty() && m_head.empty()) return;
    if (!m_fp || checkTime(now.tv_sec)) reopen(now.tv_sec);
    if (!m_fp) return;  // lost; the next line tries to open again
    // One fwrite per line: concurrent writers never interleave within a line.
    fwrite(line.data(), 1, line.size(), m_fp);
    if (m_flushMs <= 0) {
        fflush(m_fp);
    } else if (!m_pending) {
        m_pending = true;
        m_pendingSince = now;
    }
}

void Log::setFlushInterval(int ms) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_flushMs = ms > 0 ? ms : 0;
    if (m_fp) fflush(m_fp);
    m_pending = false;
}

void Log::flushIfDue(const timeval& now, bool force) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_pending || !m_fp) return;
    const long long waitedMs = (static_cast<long long>(now.tv_sec) - m_pendingSince.tv_sec) * 1000 +
                               (now.tv_usec - m_pendingSince.tv_usec) / 1000;
    if (!force && waitedMs < m_flushMs) return;
    fflush(m_fp);
    m_pending = false;
}

bool Log::checkTime(time_t now) const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return periodKey(m_reopen, localTime(now)) != m_last;
}

int Log::reopen(time_t now) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const tm lt = localTime(now);
    const std::string name = buildName(lt);
    // No portable flag word exists for a FILE, so the handle and flags are
    // reported as 0; the line still marks every turnover in the error log.
    fprintf(stderr, "Log::reopen(%d), m_fp = 0x%x, m_fp->_flags = 0x%x, file = %s\n",
            static_cast<int>(now), 0u, 0u, name.c_str());
    closeFile();
    if (openFile(name) != 0) return -1;
    setPeriod(now, lt);
    return 0;
}

void Log::close() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    closeFile();
    m_path.clear();
    m_head.clear();
    m_last = 0;
    m_reopen = REOPEN_DD;
}

std::string Log::fileName() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_fileName;
}

std::string Log::buildName(const tm& lt) const {
    const int year = lt.tm_year + 1900;
    const int mon = lt.tm_mon + 1;
    switch (m_reopen) {
    case REOPEN_MM:
        return format("%s/%s.%04d%02d%02d%02d%02d.log", m_path.c_str(), m_head.c_str(), year, mon,
                      lt.tm_mday, lt.tm_hour, lt.tm_min);
    case REOPEN_HH:
        return format("%s/%s.%04d%02d%02d%02d.log", m_path.c_str(), m_head.c_str(), year, mon,
                      lt.tm_mday, lt.tm_hour);
    case REOPEN_DD:
    default:
        return format("%s/%s.%04d%02d%02d.log", m_path.c_str(), m_head.c_str(), year, mon,
                      lt.tm_mday);
    }
}

void Log::setPeriod(time_t, const tm& lt) {
    m_last = periodKey(m_reopen, lt);
}

int Log::openFile(const std::string& name) {
    m_fp = fopen(name.c_str(), "a");
    if (!m_fp) {
        fprintf(stderr, "logging fail: cannot open file: %s, %d\n", name.c_str(), errno);
        m_fileName.clear();
        return -1;
    }
    // A batch of lines goes out in one write rather than one per 4 KiB
    // (glibc ignores the size unless it is given the buffer).
    if (!m_streamBuf) m_streamBuf = std::make_unique_for_overwrite<char[]>(kBatchBytes);
    setvbuf(m_fp, m_streamBuf.get(), _IOFBF, kBatchBytes);
    m_fileName = name;
    return 0;
}

void Log::closeFile() {
    if (m_fp) fclose(m_fp);
    m_fp = nullptr;
    m_pending = false;
    m_fileName.clear();
}

namespace {

// yyyymmdd of a local time.
int dayKey(const tm& lt) {
    return (lt.tm_year + 1900) * 10000 + (lt.tm_mon + 1) * 100 + lt.tm_mday;
}

// Appends the whole of from onto to and removes from. 0 or -1.
int appendAndRemove(const std::string& from, const std::string& to) {
    FILE* in = fopen(from.c_str(), "r");
    if (!in) return -1;
    FILE* out = fopen(to.c_str(), "a");
    if (!out) {
        fclose(in);
        return -1;
    }
    char buf[8192];
    bool ok = true;
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0) {
        if (fwrite(buf, 1, n, out) != n) {
            ok = false;
            break;
        }
    }
    if (ferror(in)) ok = false;
    fclose(in);
    if (fclose(out) != 0) ok = false;
    // Keep the live file when the copy was incomplete: duplicated lines are
    // better than lost ones.
    if (!ok) return -1;
    return remove(from.c_str());
}

}  // namespace

int LogStat::reopen(time_t now) {
    std::lock_guard<std::recursive_mutex> lock(mutex());
    const tm lt = localTime(now);
    closeFile();

    // Only lines of an earlier day move to a dated name, under the day they
    // were written: a restart on the same day keeps appending, and an empty
    // file never becomes a dated copy of a day it says nothing about.
    const std::string live = m_path + "/" + m_head + ".log";
    const int today = dayKey(lt);
    struct stat st {};
    const bool hasLines = stat(live.c_str(), &st) == 0 && st.st_size > 0;
    // Before this run's first open the file can only be an earlier run's.
    const int written = m_day != 0 ? m_day : hasLines ? dayKey(localTime(st.st_mtime)) : 0;
    if (hasLines && written != today) {
        const std::string dated = format("%s/%s.%04d_%02d_%02d.log", m_path.c_str(), m_head.c_str(),
                                         written / 10000, written / 100 % 100, written % 100);
        // A dated copy may exist already (hourly turnover, a clock set
        // back): renaming over it would throw those lines away.
        if (access(dated.c_str(), F_OK) == 0)
            appendAndRemove(live, dated);
        else
            rename(live.c_str(), dated.c_str());
    }
    m_day = today;

    if (openFile(live) != 0) return -1;
    setPeriod(now, lt);
    return 0;
}
