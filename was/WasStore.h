#pragma once
// The WAS's durable state in one SQLite file: rooms, members, messages with
// per-recipient delivery, push and invite outboxes. Owned by main or a test.
// Any thread: writes go to one write connection, which commits them in
// batches (see GroupCommitter), and return once committed; reads use pooled
// read-only connections. Each request's effect is whole or nothing. Errors
// throw RequestError or SqliteError.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "was/GroupCommitter.h"
#include "was/SqliteReaderPool.h"
#include "was/WasRecords.h"

class WasStore {
public:
    // Creates the file and its tables when missing.
    explicit WasStore(const std::string& path,
                      const commit_settings_t& commit = commit_settings_t());
    WasStore(const WasStore&) = delete;
    WasStore& operator=(const WasStore&) = delete;

    // Stores the message, its room, members and recipients. Saving the same
    // message again changes nothing; the same sequence number with other
    // content is refused with WAS_CONFLICT.
    void saveMessage(const saved_message_t& message);
    // Marks the listed recipients delivered (or not); rows that the save has
    // not brought yet are created, so the two requests may arrive in any order.
    void updateSendState(const send_state_t& state);
    // Marks the member left. A leave for an older membership than the one
    // stored (the member came back since) is ignored.
    void leave(const leave_t& leave);
    // WAS_NOT_FOUND when the room is not stored.
    void endRoom(uint32_t roomId, const std::string& tenantId, uint32_t time);

    // Takes room rows one at a time, in order; a row lives only for the call.
    // A list may hold a row per member of every room, so none is kept.
    using RoomRowVisitor = std::function<void(const room_row_t&)>;
    // Member rows of the rooms not ended with ids above startAfter, ordered by
    // room id; at most pageRooms room ids when given.
    void notEndedRooms(uint32_t startAfter, std::optional<uint32_t> pageRooms,
                       const RoomRowVisitor& visit);
    // Member rows of one room, ended or not.
    void roomRows(uint32_t roomId, const std::string& tenantId, const RoomRowVisitor& visit);
    // Recipients of the message, sender excluded, not marked delivered;
    // nothing when the message is not stored.
    std::optional<std::vector<fail_row_t>> failedRecipients(uint32_t roomId,
                                                            const std::string& tenantId,
                                                            uint32_t msgSeq);

    // One outcome per recipient, in request order: recorded in the outbox,
    // or refused for a recipient registered as having no device.
    std::vector<push_result_t> recordPush(const push_request_t& push);
    void recordInvite(const invite_t& invite);
    void setNoDevice(const std::string& userId, bool noDevice);

    // The operator's view of everything stored (see WasDump.h).
    void dump(std::ostream& out);

private:
    GroupCommitter m_writer;
    SqliteReaderPool m_readers;
};
