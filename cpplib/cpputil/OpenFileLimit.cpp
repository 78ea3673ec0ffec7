#include "cpputil/OpenFileLimit.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// RLIM_INFINITY is refused for RLIMIT_NOFILE above fs.nr_open, so an
// unlimited hard limit means the kernel's own ceiling.
rlim_t kernelCeiling() {
    rlim_t value = 1048576;  // the kernel's default nr_open
    if (FILE* f = std::fopen("/proc/sys/fs/nr_open", "r")) {
        unsigned long long n = 0;
        if (std::fscanf(f, "%llu", &n) == 1 && n > 0) value = static_cast<rlim_t>(n);
        std::fclose(f);
    }
    return value;
}

rlim_t effectiveHard(const rlimit& lim) {
    return lim.rlim_max == RLIM_INFINITY ? kernelCeiling() : lim.rlim_max;
}

}  // namespace

rlim_t plannedOpenFileLimit(long wanted) {
    if (wanted > 0) return static_cast<rlim_t>(wanted);
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return 0;
    return effectiveHard(lim);
}

open_file_limit_t setOpenFileLimit(long wanted) {
    open_file_limit_t r;
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) {
        r.error = errno;
        return r;
    }
    r.before = r.after = lim.rlim_cur;
    r.hard = effectiveHard(lim);
    r.wanted = wanted > 0 ? static_cast<rlim_t>(wanted) : r.hard;
    rlimit next = lim;
    next.rlim_cur = r.wanted;
    if (r.wanted > r.hard) next.rlim_max = r.wanted;
    if (setrlimit(RLIMIT_NOFILE, &next) != 0) {
        r.error = errno;
        // Not allowed to raise the hard limit: the hard limit is the most
        // this process can have.
        next = lim;
        next.rlim_cur = r.hard;
        if (r.wanted <= r.hard || setrlimit(RLIMIT_NOFILE, &next) != 0) {
            if (getrlimit(RLIMIT_NOFILE, &lim) == 0) r.after = lim.rlim_cur;
            return r;
        }
    }
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0) r.after = lim.rlim_cur;
    return r;
}

std::string describeOpenFileLimit(const open_file_limit_t& limit) {
    char buf[256];
    const auto n = [](rlim_t v) { return static_cast<unsigned long long>(v); };
    const char* verb = limit.after > limit.before ? "raised to" : limit.after < limit.before ? "lowered to" : "kept at";
    if (limit.error != 0 && limit.after != limit.wanted) {
        std::snprintf(buf, sizeof buf, "descriptor limit: %llu wanted, above the hard limit %llu (%s): soft %llu %s %llu",
                      n(limit.wanted), n(limit.hard), std::strerror(limit.error), n(limit.before), verb,
                      n(limit.after));
    } else {
        std::snprintf(buf, sizeof buf, "descriptor limit: soft %llu %s %llu (hard limit %llu)", n(limit.before), verb,
                      n(limit.after), n(limit.hard));
    }
    return buf;
}
