#pragma once
// tolvexd --check-config: the start's own reading and checks of the
// command line and the configuration file, with nothing started. Main
// thread, before anything else runs.

#include <cstdio>

struct ConfigReport;
struct ConfigValues;

// Errors, then warnings, one line each under the program's name.
void printConfigReport(const ConfigReport& report, FILE* err);

// The join-token settings: every key file readable and of a kind tokens
// can be checked with (errors), a key for auth_mode required (error), and
// a warning for a listener on an address other than loopback that admits
// clients without a token or without TLS. Adds to report.
void checkAuthSettings(const ConfigValues& v, ConfigReport& report);

// Reads argv as a start would (with "--check-config" left out) and prints
// the settings a start would run with, one "key = value" a line, to out.
// Errors and warnings go to err. Returns 0 when a start would go ahead, 1
// when it would be refused (and then prints no settings). Binds nothing,
// opens no log and starts no thread.
int runConfigCheck(int argc, char** argv, FILE* out, FILE* err);
