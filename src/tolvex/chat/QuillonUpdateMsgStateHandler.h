#pragma once
// The WAS job that reports which members a message reached (page
// was_update_msgsend), retried once on the next server; reply ignored.
// Owns itself: made with new by the send-state work and started with doit();
// done() releases the companion (a dummy session, when given) and deletes it. Event-loop thread.

#include "tolvex/chat/JobHandler.h"
#include "tolvex/chat/QuillonJob.h"

class QuillonUpdateMsgStateHandler : public JobHandler {
public:
    QuillonUpdateMsgStateHandler() = default;

    void doit(ChatSession* pFrom, const P2PPacket* pk) override;

protected:
    ~QuillonUpdateMsgStateHandler() override = default;
    bool journaled() const override { return true; }
    int getWASInfo(const P2PPacket* pk, std::string* page, URLEncode* form) override;
    void processP2PPacket(const char*, int) override {}
    void done(uint16_t rescode) override;

private:
};
