#pragma once
// The store in one SQLite file, for a WAS on one machine. Writes go to one
// write connection, which commits them in batches (see GroupCommitter), and
// return once committed; reads use pooled read-only connections. SQLite
// errors throw SqliteError.

#include <string>

#include "was/GroupCommitter.h"
#include "was/SqliteReaderPool.h"
#include "was/WasStore.h"

class SqliteStore : public WasStore {
public:
    // Creates the file and its tables when missing; brings an older file's
    // tables up to date.
    explicit SqliteStore(const std::string& path,
                         const commit_settings_t& commit = commit_settings_t());
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

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

private:
    GroupCommitter m_writer;
    SqliteReaderPool m_readers;
};
