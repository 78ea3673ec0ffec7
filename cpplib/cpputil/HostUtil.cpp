#include "cpputil/HostUtil.h"

#include <netdb.h>
#include <sys/socket.h>

#include <utility>

HostUtil::HostUtil() : m_resolver(&HostUtil::resolveWithGetaddrinfo) {}

HostUtil::HostUtil(Resolver resolver) : m_resolver(std::move(resolver)) {}

HostUtil& HostUtil::getInstance() {
    static HostUtil instance;
    return instance;
}

bool HostUtil::resolveWithGetaddrinfo(const char* host, in_addr* addr) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr) return false;
    *addr = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr;
    freeaddrinfo(list);
    return true;
}

bool HostUtil::resolveHost(sockaddr_in* sa, const char* host) {
    if (sa == nullptr || host == nullptr) return false;
    std::lock_guard<std::mutex> lock(mutx);
    auto it = queryHostInfo.find(host);
    if (it == queryHostInfo.end()) {
        qorin_addr_info info;
        if (!m_resolver || !m_resolver(host, &info.qorin_addr)) return false;
        info.h_length = sizeof info.qorin_addr;
        it = queryHostInfo.emplace(host, info).first;
    }
    sa->sin_addr = it->second.qorin_addr;
    return true;
}

bool resolveHost(sockaddr_in* sa, const char* host) {
    return HostUtil::getInstance().resolveHost(sa, host);
}
