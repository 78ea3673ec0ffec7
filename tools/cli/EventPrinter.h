#pragma once
// Turns what the daemon sends into the lines a person reads: messages and
// file notices with sender and local time, joins, leaves, removals, typing,
// delivery outcomes and refusals. Text that came from other users is shown
// with its control characters escaped, so it cannot move the cursor or
// fake a line of its own. Pure functions over values; any thread (local
// time comes from localtime_r).

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "cli/DeliveryTracker.h"
#include "cli/Roster.h"
#include "client/Replies.h"

namespace cli {

// "14:03:07" in local time.
std::string clockText(time_t t);
// Bytes as they may go to a terminal: control characters (C0, DEL and the
// UTF-8 encoded C1 range) become \n, \t, \r or \xNN escapes.
std::string displayText(std::string_view bytes);
// "Bob (bob@corp.example.com)", or the id alone when the name is empty or the id.
std::string who(const std::string& userId, const std::string& name);
// What a join result means, for the message of a refused join.
std::string joinResultText(uint16_t result);
// One recipient's outcome in words.
std::string outcomeText(uint32_t code, uint16_t osType);

class EventPrinter {
public:
    explicit EventPrinter(const Roster& roster) : m_roster(roster) {}

    std::string message(const client::MsgRelay& m) const;
    std::string attachment(const client::AttachAlarmRelay& a) const;
    // Joins, leaves and invitations show the roster's member count, so call
    // them once the roster holds the change. The notices' own counts leave
    // out members whose connection ended, and a leave's is from before it.
    std::string joined(const client::UserJoinAlarm& j) const;
    std::string left(const client::UserLeaveAlarm& l) const;
    std::string invitationDone(time_t now) const;
    // USER_FORCE_LEAVE_ALARM: this client's user was removed.
    std::string removedBy(const client::ForceLeaveNotice& f, time_t now) const;
    // The force-leave reply: this client removed someone.
    std::string removed(const client::ForceLeaveNotice& f, time_t now) const;
    std::string sessionClosed(const client::SessionClose& s, time_t now) const;
    std::string typing(const client::TypingAlarm& t, time_t now) const;
    // This client's own item, once the daemon accepted it.
    std::string accepted(const outgoing_t& item) const;
    std::string outcome(const outgoing_t& item, const client::result_entry_t& r, time_t now) const;
    // An outcome of a message this user sent over an earlier connection of
    // the same device kind: the daemon reports to the newest one.
    std::string earlierOutcome(uint32_t msgNum, const client::result_entry_t& r, time_t now) const;
    // The roster, headed by the room and (when known) its kind.
    std::string members(uint32_t roomId, uint16_t roomKind, time_t now) const;
    // The closing line of a one-shot delivery report.
    std::string reportSummary(const outgoing_t& item, const DeliveryTracker& tracker, double timeoutSec) const;

private:
    // "Bob (bob)" with the name this client knows when the packet has none.
    std::string member(const std::string& userId, const std::string& name) const;

    const Roster& m_roster;
};

}  // namespace cli
