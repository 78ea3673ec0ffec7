#pragma once
// Hex dumps for the trace, directory checks and the pid file. Free
// functions; any thread may call them. URL/XML escapes live in Escape.h,
// text routines in TextUtil.h, socket helpers in SockUtil.h.

#include <cstdio>
#include <string>

// Layout: rows of 16 bytes, each row "%05x" offset plus five spaces, then
// "%02x" per byte with a space after every second byte. A row that another
// follows ends with three spaces, its bytes as text (above 32 as they are,
// others as spaces) and "\n". The last row is padded with three spaces per
// missing byte, then three spaces, its bytes as text (above 31 as they are,
// others as '.') and "\n". Empty for len <= 0.
std::string hexDumpText(const void* p, int len);

// Writes hexDumpText to f, only while the trace switch is on and len > 0.
void HexDump(const unsigned char* p, int len, FILE* f);

// Writes hexDumpText through g_trace.write, only while the trace switch is on.
void traceHexDump(const void* p, int len);

// hexDumpText into dst, cut at size - 1 bytes and terminated (size > 0).
// Returns the bytes written without the terminator.
int makeHexDump(char* dst, int size, const unsigned char* p, int len);

// 0 if path is an existing directory, else -1.
int CheckDir(const char* path);
// -1 for an empty path, 0 if it exists, otherwise mkdir(path, 0775) (one
// level only) and its result.
int MkDir(const char* path);

// Writes "<pid>\n" to "pid.<pid>" in the current directory. Returns 1 when
// the file cannot be created, else the result of closing it.
int makepidfile();
