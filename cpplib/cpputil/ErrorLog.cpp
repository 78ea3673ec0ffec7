#include "cpputil/ErrorLog.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>

namespace {

struct site_t {
    time_t second = 0;
    int written = 0;     // lines written in that second
    long long left = 0;  // lines left out since the last one written
};

std::mutex g_mutex;
errorlog::Sink g_sink;              // guarded by g_mutex
std::map<std::string, site_t> g_sites;  // guarded by g_mutex

// Whether this site may write now; *left gets the lines it left out before.
bool admit(const char* site, long long* left) {
    const time_t now = time(nullptr);
    site_t& s = g_sites[site];
    if (s.second != now) {
        s.second = now;
        s.written = 0;
    }
    if (s.written >= errorlog::kLinesPerSecond) {
        ++s.left;
        return false;
    }
    ++s.written;
    *left = s.left;
    s.left = 0;
    return true;
}

}  // namespace

void errorlog::setSink(Sink sink) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_sink = std::move(sink);
    g_sites.clear();
}

void errorlog::report(const char* site, const char* format, ...) {
    Sink sink;
    long long left = 0;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_sink || !admit(site, &left)) return;
        sink = g_sink;
    }
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::string line = text;
    if (left > 0) line += " (" + std::to_string(left) + " more like it left out)";
    sink(line);
}
