#pragma once
// Base of the per-packet command handlers. ChatSession makes one for each
// request it dispatches, calls eventHandle once and deletes it; handlers
// hold no state between packets. Event-loop thread only.

class ChatSession;
class P2PPacket;

class ChatEventHandler {
public:
    ChatEventHandler() = default;
    ChatEventHandler(const ChatEventHandler&) = delete;
    ChatEventHandler& operator=(const ChatEventHandler&) = delete;
    virtual ~ChatEventHandler() = default;

    // Handles one request of session: replies, closes, and catches its own
    // exceptions. pk and its body are valid only during the call.
    virtual void eventHandle(const P2PPacket* /*pk*/, ChatSession* /*session*/) {}
};
