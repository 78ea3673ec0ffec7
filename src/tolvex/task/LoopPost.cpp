#include "tolvex/task/LoopPost.h"

#include <chrono>
#include <mutex>
#include <utility>

#include "tolvex/util/ChatContext.h"
#include "tolvex/util/Globals.h"

namespace {

constexpr std::chrono::microseconds kSliceBudget{2000};

std::mutex g_sinkMutex;
LoopPost::Sink g_sink;  // guarded by g_sinkMutex

LoopPost::Sink currentSink() {
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    return g_sink;
}

void post(std::function<void()> task, bool evenFromTheLoop) {
    if (LoopPost::Sink sink = currentSink()) {
        sink(std::move(task));
    } else if (g_pApp && (evenFromTheLoop || !g_pApp->inLoopThread())) {
        g_pApp->post(std::move(task));
    } else {
        task();
    }
}

void runSlice(size_t count, std::function<void(size_t)> each, size_t from) {
    const auto until = std::chrono::steady_clock::now() + kSliceBudget;
    size_t next = from;
    do {
        each(next++);
    } while (next < count && std::chrono::steady_clock::now() < until);
    if (next < count) LoopPost::nextPass([count, each = std::move(each), next] { runSlice(count, each, next); });
}

}  // namespace

void LoopPost::toLoop(std::function<void()> task) {
    post(std::move(task), false);
}

void LoopPost::nextPass(std::function<void()> task) {
    post(std::move(task), true);
}

void LoopPost::inSlices(size_t count, std::function<void(size_t)> each) {
    if (count == 0) return;
    toLoop([count, each = std::move(each)] { runSlice(count, each, 0); });
}

void LoopPost::setSink(Sink sink) {
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    g_sink = std::move(sink);
}
