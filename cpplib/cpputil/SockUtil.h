#pragma once
// Descriptor modes, byte-exact socket I/O with and without time limits,
// IPv4 connects, descriptor passing and address text helpers. Free functions
// without shared state: the time-limited forms use poll() deadlines, so any
// number of threads may run them at once. get_ip keeps one buffer per thread.

#include <netinet/in.h>

#include <string>

// fcntl(F_SETFL) result after setting / clearing O_NONBLOCK.
int setNonblocking(int fd);
int setBlocking(int fd);

// Reads until n bytes arrived (EINTR retried; EAGAIN waits for readability).
// Returns n, the count so far when the peer closed, or -1 on another error.
int readn(int fd, void* buf, unsigned n);
// Writes all n bytes (same retries; no SIGPIPE on sockets). Returns n or -1.
int writen(int fd, const void* buf, unsigned n);

// Blocking IPv4 stream connect to dotted ip and decimal port; the socket, or
// -1 (the socket is closed on failure).
int Tcp_connect(const char* ip, const char* port);
int Tcp_connect(const sockaddr_in* addr);
// Resolves host/port with getaddrinfo (any family) and tries the results in
// order until one connects; returns that blocking socket or -1.
int Tcp_connectDNS(const char* host, const char* port);

// Time-limited forms: as above, but -1 with errno ETIMEDOUT once `seconds`
// have passed (partial reads/writes included). 0 seconds means no limit.
// The returned sockets are blocking. Name resolution in
// Tcp_connectDNS_timeout is not covered by the limit.
int readn_timeout(int fd, void* buf, unsigned n, int seconds);
int writen_timeout(int fd, const void* buf, unsigned n, int seconds);
int Tcp_connectDNS_timeout(const char* host, const char* port, int seconds);
int Tcp_connect_timeout(const sockaddr_in* addr, int seconds);

// One recvmsg of up to n data bytes with room for one passed descriptor.
// When the result is positive, *recvfd gets the descriptor passed with it,
// or -1 if none came. Returns the recvmsg result.
int read_fd(int fd, void* buf, unsigned n, int* recvfd);
// One sendmsg of n data bytes (n >= 1), passing sendfd along unless it is
// negative. Returns the sendmsg result.
int write_fd(int fd, const void* buf, unsigned n, int sendfd);

// The peer's dotted IPv4 address, or null if getpeername fails. The buffer is
// per thread and valid until this thread's next call.
const char* get_ip(int fd);

// Zeroes *sa and sets IPv4, the dotted address and the decimal port.
void sockAddrIn_Set(sockaddr_in* sa, const char* ip, const char* port);
// "a.b.c.d:port" into *sa (zeroed first). False without ":" or when the
// address is not dotted IPv4 text.
bool getIP(const std::string& text, sockaddr_in* sa);
// Splits "host:port" at the first ":" into two terminated strings of at most
// hostSize and portSize bytes (terminator included). -1 without ":" or when
// a part does not fit; 0 otherwise.
int getHostPort(const char* text, char* host, size_t hostSize, char* port, size_t portSize);

// Reads one byte at a time until a line feed (kept) or max - 1 bytes, and
// terminates buf. EAGAIN/EINTR wait 1 ms and retry, giving -1 after 2000
// consecutive retries; other errors -1. Returns the bytes stored, or 0 when
// the stream ended before any (logged to stderr).
int myreadline(int fd, void* buf, unsigned max);
