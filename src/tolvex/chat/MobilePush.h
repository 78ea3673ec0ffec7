#pragma once
// Mobile push for the members a message reached on no mobile: selects the
// candidates that may be pushed (per-member limit, last device used),
// counts each push and hands one request for all of them to the push job.
// Stateless (the counts live in the rooms); event-loop thread.

#include <cstdint>
#include <list>
#include <string>

#include "tolvex/util/ChatTypes.h"

class ChatSession;
class OutPacket;

// The recipients of one push request.
struct push_data {
    std::string fromId;    // the sender
    std::string nPushIds;  // the selected user ids, comma-separated, no trailing comma

    // Appends userId to the list.
    void append(const std::string& userId) {
        if (!nPushIds.empty()) nPushIds += ',';
        nPushIds += userId;
    }
};

class MobilePush {
public:
    static constexpr int kPushBodyCapacity = 40959;

    // Asks for push for the selected members of pushUserIds; nothing when
    // none may be pushed.
    static void pushToMobile(const msg_info* msg, const std::list<std::string>& pushUserIds, ChatSession* session);
    // Fills out with the candidates to push, raising each one's push count
    // and logging it; true when at least one was selected.
    static bool reSelectPushUsers(uint32_t roomId, uint32_t msgNum, const std::string& fromId,
                                  const std::list<std::string>& pushUserIds, push_data* out);
    // The push job's input; a field that does not fit ends it.
    static OutPacket makeNpushPacket(const msg_info& msg, const push_data& data);

    // A member who joins from a mobile may be pushed again up to the limit.
    static void resetPushCount(uint32_t roomId, const std::string& userId, uint16_t osType);

private:
    static void callNPushPage(const msg_info& msg, const push_data& data, ChatSession* session);
};
