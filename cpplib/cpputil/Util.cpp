#include "cpputil/Util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "cpputil/Trace.h"

namespace {

constexpr int kRow = 16;

void appendFormat(std::string& out, const char* fmt, unsigned v) {
    char tmp[16];
    const int n = std::snprintf(tmp, sizeof tmp, fmt, v);
    out.append(tmp, static_cast<size_t>(n));
}

void appendRowText(std::string& out, const unsigned char* row, int n, bool last) {
    out += "   ";
    for (int i = 0; i < n; ++i) {
        const unsigned char c = row[i];
        if (last)
            out += c > 31 ? static_cast<char>(c) : '.';
        else
            out += c > 32 ? static_cast<char>(c) : ' ';
    }
    out += '\n';
}

}  // namespace

std::string hexDumpText(const void* p, int len) {
    std::string out;
    if (p == nullptr || len <= 0) return out;
    const unsigned char* bytes = static_cast<const unsigned char*>(p);
    for (int rowStart = 0; rowStart < len; rowStart += kRow) {
        const int n = len - rowStart < kRow ? len - rowStart : kRow;
        const bool last = rowStart + n >= len;
        appendFormat(out, "%05x     ", static_cast<unsigned>(rowStart));
        for (int i = 0; i < n; ++i) {
            appendFormat(out, "%02x", bytes[rowStart + i]);
            if (i % 2 == 1) out += ' ';
        }
        if (last) out.append(static_cast<size_t>(3 * (kRow - n)), ' ');
        appendRowText(out, bytes + rowStart, n, last);
    }
    return out;
}

void HexDump(const unsigned char* p, int len, FILE* f) {
    if (!g_trace.isOn() || len <= 0 || f == nullptr) return;
    const std::string text = hexDumpText(p, len);
    std::fwrite(text.data(), 1, text.size(), f);
}

void traceHexDump(const void* p, int len) {
    if (!g_trace.isOn() || len <= 0) return;
    const std::string text = hexDumpText(p, len);
    g_trace.write(text.data(), text.size());
}

int makeHexDump(char* dst, int size, const unsigned char* p, int len) {
    if (dst == nullptr || size <= 0) return 0;
    const std::string text = hexDumpText(p, len);
    const size_t n = text.size() < static_cast<size_t>(size - 1) ? text.size()
                                                                   : static_cast<size_t>(size - 1);
    std::memcpy(dst, text.data(), n);
    dst[n] = '\0';
    return static_cast<int>(n);
}

int CheckDir(const char* path) {
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
    return 0;
}

int MkDir(const char* path) {
    if (path == nullptr || path[0] == '\0') return -1;
    if (CheckDir(path) == 0) return 0;
    return mkdir(path, 0775);
}

int makepidfile() {
    char name[32];
    const int pid = static_cast<int>(getpid());
    std::snprintf(name, sizeof name, "pid.%d", pid);
    FILE* f = std::fopen(name, "w");
    if (f == nullptr) return 1;
    std::fprintf(f, "%d\n", pid);
    return std::fclose(f);
}
