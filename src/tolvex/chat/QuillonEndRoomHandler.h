#pragma once
// The WAS job that ends an idle room (page was_endroom), retried up to five
// times on the next servers; the reply is ignored.
// Owns itself: made with new by the room timeout work through a RoomEndSession and started with doit();
// done() logs, releases the companion (the dummy session) and deletes it. Event-loop thread.

#include "tolvex/chat/JobHandler.h"
#include "tolvex/chat/QuillonJob.h"

class QuillonEndRoomHandler : public JobHandler {
public:
    QuillonEndRoomHandler() = default;

    void doit(ChatSession* pFrom, const P2PPacket* pk) override;

protected:
    ~QuillonEndRoomHandler() override = default;
    bool journaled() const override { return true; }
    int getWASInfo(const P2PPacket* pk, std::string* page, URLEncode* form) override;
    void processP2PPacket(const char*, int) override {}
    void done(uint16_t rescode) override;

private:
};
