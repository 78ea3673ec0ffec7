#pragma once
// The WAS job that asks which members missed a resent message (page
// was_sendfailuser_request), one attempt. Its reply resends the message,
// carried by the companion dummy session, to the members listed. Owns
// itself and that dummy: made with new by MsgEventHandler::requestFailUserInfo
// and started with doit(); done() releases the dummy if the reply did not
// and deletes the job. Event-loop thread.

#include "tolvex/chat/JobHandler.h"
#include "tolvex/chat/QuillonJob.h"

class QuillonRequestFailUserHandler : public JobHandler {
public:
    QuillonRequestFailUserHandler() = default;

    void doit(ChatSession* pFrom, const P2PPacket* pk) override;

protected:
    ~QuillonRequestFailUserHandler() override = default;
    int getWASInfo(const P2PPacket* pk, std::string* page, URLEncode* form) override;
    void processP2PPacket(const char* body, int blen) override;
    void done(uint16_t rescode) override;

private:
};
