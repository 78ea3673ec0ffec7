#pragma once
// The WAS's durable state: rooms, members, messages with per-recipient
// delivery, push and invite outboxes, and which daemon holds each room. Two
// engines keep it: an embedded SQLite file (SqliteStore) for one machine,
// and a PostgreSQL database (PgStore) that WAS processes on many machines
// share. Every page answers the same bytes on either.
// Any thread: each call's effect is whole or nothing and is committed when
// it returns. Errors throw RequestError, or std::runtime_error for the
// engine's own failures.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "was/GroupCommitter.h"
#include "was/WasRecords.h"

class WasStore {
public:
    virtual ~WasStore() = default;

    // Stores the message, its room, members and recipients. Saving the same
    // message again changes nothing; the same sequence number with other
    // content is refused with WAS_CONFLICT. A room that no daemon holds is
    // taken by message.daemon when known.
    virtual void saveMessage(const saved_message_t& message) = 0;
    // Marks the listed recipients delivered (or not); rows that the save has
    // not brought yet are created, so the two requests may arrive in any order.
    virtual void updateSendState(const send_state_t& state) = 0;
    // Marks the member left. A leave for an older membership than the one
    // stored (the member came back since) is ignored.
    virtual void leave(const leave_t& leave) = 0;
    // WAS_NOT_FOUND when the room is not stored.
    virtual void endRoom(uint32_t roomId, const std::string& tenantId, uint32_t time) = 0;

    // Takes room rows one at a time, in order; a row lives only for the call.
    // A list may hold a row per member of every room, so none is kept.
    using RoomRowVisitor = std::function<void(const room_row_t&)>;
    // Member rows of the rooms not ended with ids above startAfter, ordered by
    // room id; at most pageRooms room ids when given. With a known daemon the
    // rows are only those of rooms it holds or that no daemon holds, and the
    // latter are taken by it before they are read, in one step, so that two
    // daemons never both list a room. An unknown daemon lists every room.
    virtual void notEndedRooms(uint32_t startAfter, std::optional<uint32_t> pageRooms,
                               const daemon_address_t& daemon, const RoomRowVisitor& visit) = 0;
    // Member rows of one room, ended or not. A known daemon takes the room
    // when no daemon holds it; a room held by another daemon is refused with
    // WAS_CONFLICT and no rows.
    virtual void roomRows(uint32_t roomId, const std::string& tenantId,
                          const daemon_address_t& daemon, const RoomRowVisitor& visit) = 0;
    // Recipients of the message, sender excluded, not marked delivered;
    // nothing when the message is not stored.
    virtual std::optional<std::vector<fail_row_t>> failedRecipients(uint32_t roomId,
                                                                    const std::string& tenantId,
                                                                    uint32_t msgSeq) = 0;

    // One outcome per recipient, in request order: recorded in the outbox,
    // or refused for a recipient registered as having no device.
    virtual std::vector<push_result_t> recordPush(const push_request_t& push) = 0;
    virtual void recordInvite(const invite_t& invite) = 0;
    virtual void setNoDevice(const std::string& userId, bool noDevice) = 0;

    // Which daemon holds the room; nothing when the room is not stored.
    virtual std::optional<room_directory_t> directory(uint32_t roomId,
                                                      const std::string& tenantId) = 0;
    // The operator's way to move rooms off a daemon that is gone for good:
    // every room it holds is held by none, to be taken by the next daemon
    // that loads or reloads it. Returns how many rooms were released.
    virtual uint64_t releaseDaemon(const daemon_address_t& daemon) = 0;

    // The operator's view of everything stored (see WasDump.h).
    virtual void dump(std::ostream& out) = 0;
};

// Chooses the engine by the --db text: "postgresql://...", "postgres://..."
// or a libpq "key=value" connection string opens PostgreSQL; anything else
// is the path of an SQLite file, created when missing.
bool isPostgresLocation(const std::string& db);

struct store_settings_t {
    commit_settings_t commit;  // SQLite's batched commits
    size_t pgConnections = 8;  // PostgreSQL's connection pool
};

// Opens the store, creating or migrating its schema.
std::unique_ptr<WasStore> openWasStore(const std::string& db,
                                       const store_settings_t& settings = store_settings_t());
