#pragma once
// The WAS job that records a leave (page was_leave), retried once on the
// next server; the reply is ignored.
// Owns itself: made with new by the leave handling and started with doit();
// done() releases the companion (a dummy session) and deletes it. Event-loop thread.

#include "tolvex/chat/JobHandler.h"
#include "tolvex/chat/QuillonJob.h"

class QuillonLeaveHandler : public JobHandler {
public:
    QuillonLeaveHandler() = default;

    void doit(ChatSession* pFrom, const P2PPacket* pk) override;

protected:
    ~QuillonLeaveHandler() override = default;
    bool journaled() const override { return true; }
    int getWASInfo(const P2PPacket* pk, std::string* page, URLEncode* form) override;
    void processP2PPacket(const char*, int) override {}
    void done(uint16_t rescode) override;

private:
};
