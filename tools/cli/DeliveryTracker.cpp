#include "cli/DeliveryTracker.h"

namespace cli {

uint32_t DeliveryTracker::add(std::string what, std::vector<std::string> recipients, bool file) {
    const uint32_t trid = m_nextTrid++;
    outgoing_t& item = m_items[trid];
    item.trid = trid;
    item.what = std::move(what);
    item.file = file;
    item.recipients = std::move(recipients);
    return trid;
}

outgoing_t* DeliveryTracker::lookup(uint32_t trid) {
    const auto it = m_items.find(trid);
    return it == m_items.end() ? nullptr : &it->second;
}

const outgoing_t* DeliveryTracker::find(uint32_t trid) const {
    const auto it = m_items.find(trid);
    return it == m_items.end() ? nullptr : &it->second;
}

const outgoing_t* DeliveryTracker::accept(const client::MsgAck& ack) {
    outgoing_t* item = lookup(ack.trid);
    if (!item) return nullptr;
    item->accepted = true;
    item->msgNum = ack.msgNum;
    item->acceptedAt = ack.msgTime;
    return item;
}

const outgoing_t* DeliveryTracker::report(const client::MsgResult& result) {
    outgoing_t* item = lookup(result.trid);
    // The trid alone does not make a report ours: every connection counts
    // its trids from 1, and the daemon reports the messages of an earlier
    // connection of this user and device kind to this one. The number the
    // ACK gave decides; the ACK always comes first on the connection.
    if (!item || !item->accepted || item->msgNum != result.msgNum) return nullptr;
    for (const client::result_entry_t& r : result.results) item->outcomes[r.userId] = r;
    return item;
}

std::vector<std::string> DeliveryTracker::missing(uint32_t trid) const {
    std::vector<std::string> ids;
    const outgoing_t* item = find(trid);
    if (!item) return ids;
    for (const std::string& id : item->recipients)
        if (!item->outcomes.count(id)) ids.push_back(id);
    return ids;
}

bool DeliveryTracker::settled(uint32_t trid) const {
    const outgoing_t* item = find(trid);
    return item && item->accepted && missing(trid).empty();
}

bool DeliveryTracker::allSettled() const {
    for (const auto& [trid, item] : m_items)
        if (!settled(trid)) return false;
    return true;
}

}  // namespace cli
