#pragma once
// The WAS job that asks for mobile push notifications (page
// was_mobile_push), one attempt. The request carries a 20-character preview
// encrypted with the sender's key; the reply's results become relay ACKs on
// the recipients' behalf, for the recipients this request named only. Owns
// itself: made with new by MobilePush and started with doit(); done()
// releases a companion if given and deletes it. Event-loop thread.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "tolvex/chat/JobHandler.h"
#include "tolvex/chat/QuillonJob.h"
#include "tolvex/chat/WasXmlReader.h"

class QuillonNPushHandler : public JobHandler {
public:
    // Characters of the message a push shows before "...".
    static constexpr int kPreviewChars = 20;

    QuillonNPushHandler() = default;

    void doit(ChatSession* pFrom, const P2PPacket* pk) override;

    // The first kPreviewChars UTF-8 characters of text, followed by "..."
    // when there are more; a byte that is no lead byte counts as one
    // character.
    static std::string makePreview(const std::string& text);
    // Turns each outcome into a relay ACK (push result 1 or 20); results 1
    // to 299 are skipped, failures are logged.
    static void makeRelayAck(const std::vector<npush_result>& outcomes);

protected:
    ~QuillonNPushHandler() override = default;
    bool waitsWhenBehind() const override { return false; }
    int getWASInfo(const P2PPacket* pk, std::string* page, URLEncode* form) override;
    void processP2PPacket(const char* body, int blen) override;
    void done(uint16_t rescode) override;

private:
    // The message the client sent, re-encrypted as its preview; empty when
    // it cannot be decrypted.
    static std::string encryptedPreview(const std::string& msg, const std::string& senderId);
    void rememberRequest(uint32_t roomId, uint32_t msgNum, const std::string& recipients);
    // The outcomes about this request's message and recipients; the others
    // are logged and dropped, so one request's reply never answers for
    // another request's recipients.
    std::vector<npush_result> ownOutcomes(const std::vector<npush_result>& outcomes) const;

    // What the request asked for, set by getWASInfo.
    uint32_t m_roomId = 0;
    uint32_t m_msgNum = 0;
    std::set<std::string> m_recipients;
};
