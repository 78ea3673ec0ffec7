#pragma once
// The WAS job that asks which members missed a resent message (page
// was_sendfailuser_request), in its stand-in form: it logs the request it
// would send and releases the message's dummy session, so nothing is
// resent until the reply path exists. Owns itself: made with new by
// MsgEventHandler::requestFailUserInfo, deleted by doit(). Event-loop thread.

#include "tolvex/chat/JobHandler.h"

class QuillonRequestFailUserHandler : public JobHandler {
public:
    QuillonRequestFailUserHandler() = default;

protected:
    ~QuillonRequestFailUserHandler() override = default;
    const char* jobName() const override { return "QuillonRequestFailUserHandler"; }
    std::string describeInput(const P2PPacket* pk) const override;
    // Without a reply to hand the dummy on to, the job ends it.
    bool releasesCompanion() const override { return true; }
};
