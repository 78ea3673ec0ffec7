#pragma once
// tolvex-was token: prints one join token and exits, for scripts and for a
// backend that would rather shell out than sign tokens itself. Main's
// thread only.

#include <cstdio>

// argv[0] is "token"; the options follow. 0 with the token and a newline on
// out; 2 after a usage error, 1 when the key cannot be used, the reason on err.
int runTokenCommand(int argc, char** argv, FILE* out, FILE* err);
