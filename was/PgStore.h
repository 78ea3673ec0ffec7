#pragma once
// The store in a PostgreSQL database, which WAS processes on several
// machines may share. Each call runs as one transaction on a pooled
// connection and returns once committed; a transaction that loses a
// serialization or deadlock race is run again from the start, a few times.
// Writes to one room take their row locks in one order (room, then members
// and recipients by user id), so concurrent saves wait for each other
// rather than deadlock. Any thread; the pool bounds how many run at once.
// Engine errors throw PgError.

#include <functional>
#include <string>

#include "was/PgPool.h"
#include "was/WasStore.h"

class PgStore : public WasStore {
public:
    // Connects and creates or migrates the schema; throws PgError when the
    // server cannot be reached or the schema is newer than this program.
    PgStore(const std::string& location, size_t connections);
    PgStore(const PgStore&) = delete;
    PgStore& operator=(const PgStore&) = delete;

    void saveMessage(const saved_message_t& message) override;
    void updateSendState(const send_state_t& state) override;
    void leave(const leave_t& leave) override;
    void endRoom(uint32_t roomId, const std::string& tenantId, uint32_t time) override;
    void notEndedRooms(uint32_t startAfter, std::optional<uint32_t> pageRooms,
                       const daemon_address_t& daemon, const RoomRowVisitor& visit) override;
    void roomRows(uint32_t roomId, const std::string& tenantId, const daemon_address_t& daemon,
                  const RoomRowVisitor& visit) override;
    std::optional<std::vector<fail_row_t>> failedRecipients(uint32_t roomId,
                                                            const std::string& tenantId,
                                                            uint32_t msgSeq) override;
    std::vector<push_result_t> recordPush(const push_request_t& push) override;
    void recordInvite(const invite_t& invite) override;
    void setNoDevice(const std::string& userId, bool noDevice) override;
    std::optional<room_directory_t> directory(uint32_t roomId,
                                              const std::string& tenantId) override;
    uint64_t releaseDaemon(const daemon_address_t& daemon) override;
    void dump(std::ostream& out) override;

    // BEGIN commands of the isolation levels the calls use.
    static const char* const kReadCommitted;
    static const char* const kRepeatableRead;
    static const char* const kReadOnlySnapshot;

private:
    using Work = std::function<void(PgConnection& conn)>;
    // How a call runs its work, and when it may run it again.
    struct run_rules_t {
        // The BEGIN command; none when the work is one statement, or sends
        // its own BEGIN and COMMIT.
        const char* begin = nullptr;
        // Running the work twice does what running it once does, so it may
        // run again after a connection lost midway, committed or not.
        bool repeatable = false;
        // Holds the lock that orders the daemons' room lists (see PgStore.cpp).
        bool takesRooms = false;
        // Once *handedOn, the caller has been handed results: not run again.
        const bool* handedOn = nullptr;
    };
    // Runs work on a pooled connection, in a transaction when rules.begin
    // says so, and commits it. A serialization failure or deadlock runs it
    // again from the start, a few times, as does a pooled connection found
    // dead before anything was done.
    void transact(const run_rules_t& rules, const Work& work);

    PgPool m_pool;
};

// Prints what the database at location holds, as --dump does for SQLite,
// without creating or changing anything; throws PgError when the database
// holds no schema of this program's version.
void dumpPgDatabase(const std::string& location, std::ostream& out);
