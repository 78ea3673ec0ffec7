#pragma once
// The WAS job that asks for a member to be invited again (page
// was_invite_request), one attempt; the reply is ignored.
// Owns itself: made with new by CommonHandler::retryInvite and started with doit();
// done() releases the companion (when given) and deletes it. Event-loop thread.

#include "tolvex/chat/JobHandler.h"
#include "tolvex/chat/QuillonJob.h"

class QuillonRequestInviteHandler : public JobHandler {
public:
    QuillonRequestInviteHandler() = default;

    void doit(ChatSession* pFrom, const P2PPacket* pk) override;

protected:
    ~QuillonRequestInviteHandler() override = default;
    bool waitsWhenBehind() const override { return false; }
    int getWASInfo(const P2PPacket* pk, std::string* page, URLEncode* form) override;
    void processP2PPacket(const char*, int) override {}
    void done(uint16_t rescode) override;

private:
};
