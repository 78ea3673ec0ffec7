#pragma once
// A session without a socket that carries a message record through a WAS
// job. Heap-only (create() or new): it owns itself and deletes itself in
// setExpired(), which whoever finishes with it (the job) calls once.
// Event-loop thread only.

#include "tolvex/session/ChatSession.h"
#include "tolvex/util/ChatTypes.h"

class ChatSessionDummy : public ChatSession {
public:
    static ChatSessionDummy* create();
    static ChatSessionDummy* create(const msg_info& msgInfo);
    ChatSessionDummy() = default;

    void setMsgInfo(const msg_info& msgInfo) { m_msgInfo = msgInfo; }
    msg_info getMsgInfo() const { return m_msgInfo; }

    // Deletes this: nothing may use the dummy afterwards.
    void setExpired() override;

protected:
    // Only setExpired() deletes a dummy.
    ~ChatSessionDummy() override = default;

private:
    msg_info m_msgInfo;
};
