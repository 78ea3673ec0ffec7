#pragma once
// The WAS job that asks for a member to be invited again (page
// was_invite_request), in its stand-in form: it logs the request it would
// send. Owns itself: made with new by CommonHandler::retryInvite, deleted by
// doit(). Event-loop thread.

#include "tolvex/chat/JobHandler.h"

class QuillonRequestInviteHandler : public JobHandler {
public:
    QuillonRequestInviteHandler() = default;

protected:
    ~QuillonRequestInviteHandler() override = default;
    const char* jobName() const override { return "QuillonRequestInviteHandler"; }
    std::string describeInput(const P2PPacket* pk) const override;
    bool releasesCompanion() const override { return true; }
};
