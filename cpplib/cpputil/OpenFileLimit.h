#pragma once
// The process's descriptor limit (RLIMIT_NOFILE). A server holds one
// descriptor per connection, and the usual soft limit of 1024 is far below
// what it serves; it sets its own limit at start instead of relying on the
// shell or unit that starts it. Main thread, before other threads start.

#include <sys/resource.h>

#include <string>

struct open_file_limit_t {
    rlim_t before = 0;  // soft limit found
    rlim_t hard = 0;    // hard limit found (an unlimited one counts as the kernel's nr_open)
    rlim_t wanted = 0;  // what was asked for: the hard limit, or the setting
    rlim_t after = 0;   // soft limit in effect afterwards
    int error = 0;      // errno of a setrlimit that failed, else 0
};

// The soft limit setOpenFileLimit(wanted) would aim for, without changing
// anything: wanted, or the hard limit when wanted is 0.
rlim_t plannedOpenFileLimit(long wanted);

// Sets the soft limit to wanted (0: the hard limit). A wanted limit above
// the hard one raises both where the process may (CAP_SYS_RESOURCE);
// elsewhere the soft limit goes to the hard one and error says why.
open_file_limit_t setOpenFileLimit(long wanted);

// One line for the start log: the limit found, what it became and why.
std::string describeOpenFileLimit(const open_file_limit_t& limit);
