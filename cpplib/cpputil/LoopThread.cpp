#include "cpputil/LoopThread.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace loopthread {
namespace {

std::atomic<std::thread::id>& owner() {
    static std::atomic<std::thread::id> id{};
    return id;
}

}  // namespace

void claim() {
    owner().store(std::this_thread::get_id(), std::memory_order_relaxed);
}

void release() {
    owner().store(std::thread::id{}, std::memory_order_relaxed);
}

bool isCurrent() {
    const std::thread::id id = owner().load(std::memory_order_relaxed);
    return id == std::thread::id{} || id == std::this_thread::get_id();
}

void violated(const char* file, int line) {
    fprintf(stderr, "%s:%d: event-loop operation called from another thread\n", file, line);
    abort();
}

}  // namespace loopthread
