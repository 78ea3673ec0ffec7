#pragma once
// Mobile push for the members a message reached on no mobile: selects the
// candidates that may be pushed (per-member limit, last device used),
// counts each push and hands the requests for them to push jobs, one job
// per request body. Stateless (the counts live in the rooms); event-loop
// thread.

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "tolvex/util/ChatTypes.h"

class ChatSession;
class OutPacket;

// The recipients of one message's push.
struct push_data {
    std::string fromId;                // the sender
    std::vector<std::string> userIds;  // the selected members, in candidate order

    // The ids separated by ",", without a trailing one.
    std::string joinedIds() const;
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
    // The push jobs' inputs: every body holds every field, and the
    // recipients are spread over as many bodies as it takes to fit each in
    // kPushBodyCapacity. Empty when not even the fields without recipients
    // fit; an id that cannot fit a body on its own is left out (logged).
    static std::vector<OutPacket> makeNpushPackets(const msg_info& msg, const push_data& data);

    // A member who joins from a mobile may be pushed again up to the limit.
    static void resetPushCount(uint32_t roomId, const std::string& userId, uint16_t osType);

private:
    static void callNPushPage(const msg_info& msg, const push_data& data, ChatSession* session);
    // Recipient texts of at most budget bytes each, ids whole.
    static std::vector<std::string> splitRecipients(const push_data& data, size_t budget);
};
