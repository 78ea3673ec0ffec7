#pragma once
// Makes the ChatSessions of accepted client connections. One per process
// (getInst), used by the listener on the event-loop thread; the sessions it
// makes own themselves and are released through releaseInst or their own
// release path.

#include "net/Session.h"

class ChatFactory : public SessionFactory {
public:
    static constexpr int kSendBufSize = 1024;
    static constexpr int kRecvBufSize = 1024;

    static ChatFactory& getInst();

    // A ChatSession with 1 KiB buffers and the configured send buffer limit;
    // null when none can be made.
    Session* newInst() override;
    void releaseInst(Session* s) override;

private:
    ChatFactory() = default;
};
