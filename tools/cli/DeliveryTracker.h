#pragma once
// What became of the messages and file notices this client sent: the
// daemon's acceptance (MSG_ACK / ATTACH_ACK, matched by the body trid) and
// each recipient's outcome from the MSG_RESULT notices. A sent item is
// settled once it was accepted and every member it went to has an outcome.
// A value owned by the session; one thread.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "client/Replies.h"

namespace cli {

struct outgoing_t {
    uint32_t trid = 0;  // the body trid this client chose
    std::string what;   // the text, or the file name
    bool file = false;  // a file notice (ATTACH) rather than a message
    bool accepted = false;
    uint32_t msgNum = 0;
    uint32_t acceptedAt = 0;              // the daemon's time, UTC seconds
    std::vector<std::string> recipients;  // who is expected to get an outcome
    std::map<std::string, client::result_entry_t> outcomes;  // latest per recipient
};

class DeliveryTracker {
public:
    // Registers an item about to be sent; returns its trid.
    uint32_t add(std::string what, std::vector<std::string> recipients, bool file = false);
    // The acknowledged item, or nothing for an ACK of an item not sent here.
    const outgoing_t* accept(const client::MsgAck& ack);
    // Records the notice's outcomes; the item, or nothing for a report of a
    // message this client did not send (or whose ACK it has not read).
    const outgoing_t* report(const client::MsgResult& result);

    const outgoing_t* find(uint32_t trid) const;
    bool settled(uint32_t trid) const;
    bool allSettled() const;
    // Recipients of trid without an outcome yet.
    std::vector<std::string> missing(uint32_t trid) const;

private:
    outgoing_t* lookup(uint32_t trid);

    uint32_t m_nextTrid = 1;
    std::map<uint32_t, outgoing_t> m_items;  // by trid
};

}  // namespace cli
