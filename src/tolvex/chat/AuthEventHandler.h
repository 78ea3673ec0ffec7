#pragma once
// AUTH: the connection presents a join token once, before it joins. An
// accepted token binds the connection to the token's user (and room and
// device kind where it names them, see SessionGuard::admitsJoin); any other
// outcome is answered with its result code and closes the connection, so a
// client cannot try tokens one after another on it. Made per request by
// ChatSession; event-loop thread only.

#include "tolvex/session/ChatEventHandler.h"

class AuthEventHandler : public ChatEventHandler {
public:
    void eventHandle(const P2PPacket* pk, ChatSession* session) override;
};
