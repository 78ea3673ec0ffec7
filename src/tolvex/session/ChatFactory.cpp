#include "tolvex/session/ChatFactory.h"

#include <new>

#include "cpputil/Trace.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/util/Metrics.h"

ChatFactory& ChatFactory::getInst() {
    static ChatFactory instance;
    return instance;
}

Session* ChatFactory::newInst() {
    TRACE(TRACE_DEBUG, "ChatFactory::newInst()");
    ChatSession* s = new (std::nothrow) ChatSession;
    if (!s) return nullptr;
    s->initBuffer(kSendBufSize, kRecvBufSize, 1, 1);
    applySettings(s);
    Metrics::add(Metrics::getInst().connectionsAccepted);
    return s;
}

void ChatFactory::releaseInst(Session* s) {
    if (s) s->destroy();
}
