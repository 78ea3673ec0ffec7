#include "tolvex/task/LoopPost.h"

#include <mutex>
#include <utility>

#include "tolvex/ChatApp.h"
#include "tolvex/Globals.h"

namespace {

std::mutex g_sinkMutex;
LoopPost::Sink g_sink;  // guarded by g_sinkMutex

}  // namespace

void LoopPost::toLoop(std::function<void()> task) {
    Sink sink;
    {
        std::lock_guard<std::mutex> lock(g_sinkMutex);
        sink = g_sink;
    }
    if (sink) {
        sink(std::move(task));
    } else if (g_pApp && !g_pApp->inLoopThread()) {
        g_pApp->post(std::move(task));
    } else {
        task();
    }
}

void LoopPost::setSink(Sink sink) {
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    g_sink = std::move(sink);
}
