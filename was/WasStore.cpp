#include "was/WasStore.h"

#include <stdexcept>

#include "was/SqliteStore.h"

bool isPostgresLocation(const std::string& db) {
    return db.starts_with("postgresql://") || db.starts_with("postgres://") ||
           db.find('=') != std::string::npos;
}

std::unique_ptr<WasStore> openWasStore(const std::string& db, const store_settings_t& settings) {
    if (isPostgresLocation(db)) throw std::runtime_error("PostgreSQL store not built yet");
    return std::make_unique<SqliteStore>(db, settings.commit);
}
