#include "was/WasStore.h"

#include "was/PgStore.h"
#include "was/SqliteStore.h"

bool isPostgresLocation(const std::string& db) {
    return db.starts_with("postgresql://") || db.starts_with("postgres://") ||
           db.find('=') != std::string::npos;
}

std::unique_ptr<WasStore> openWasStore(const std::string& db, const store_settings_t& settings) {
    if (isPostgresLocation(db)) return std::make_unique<PgStore>(db, settings.pgConnections);
    return std::make_unique<SqliteStore>(db, settings.commit);
}
