#pragma once
// Host-name resolution with a cache that lives as long as the process. The
// daemon uses the singleton (getInstance, or the free resolveHost); tests may
// own an instance with their own resolver. Any thread may call it.

#include <netinet/in.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>

struct qorin_addr_info {
    in_addr qorin_addr{};   // the first IPv4 address of the host
    int h_length = 0;       // its length in bytes
};

class HostUtil {
public:
    // Looks host up; true with *addr filled on success.
    using Resolver = std::function<bool(const char* host, in_addr* addr)>;

    // The default resolver asks getaddrinfo for IPv4 addresses (dotted text
    // included) and takes the first.
    HostUtil();
    explicit HostUtil(Resolver resolver);
    HostUtil(const HostUtil&) = delete;
    HostUtil& operator=(const HostUtil&) = delete;

    static HostUtil& getInstance();

    // Writes only sa->sin_addr: the cached address of host, or the first one
    // the resolver gives (then cached for good). False when host is null or
    // cannot be resolved; *sa is then untouched.
    bool resolveHost(sockaddr_in* sa, const char* host);

    static bool resolveWithGetaddrinfo(const char* host, in_addr* addr);

private:
    Resolver m_resolver;
    // Lookups run whole under the lock, so each name is resolved only once.
    std::mutex mutx;
    std::map<std::string, qorin_addr_info> queryHostInfo;  // guarded by mutx
};

// HostUtil::getInstance().resolveHost(sa, host)
bool resolveHost(sockaddr_in* sa, const char* host);
