#include "tolvex/session/ChatSessionDummy.h"

ChatSessionDummy* ChatSessionDummy::create() {
    return new ChatSessionDummy;
}

ChatSessionDummy* ChatSessionDummy::create(const msg_info& msgInfo) {
    ChatSessionDummy* dummy = create();
    dummy->setMsgInfo(msgInfo);
    return dummy;
}

void ChatSessionDummy::setExpired() {
    delete this;
}
