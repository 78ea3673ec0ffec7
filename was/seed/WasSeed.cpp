// tolvex-was-seed: writes rooms that have not ended, with their members,
// straight into a tolvex-was database, so the daemon's start-up room loading
// can be measured with many rooms without saving a message in each through
// the WAS first. The file and its tables are created as tolvex-was creates
// them; everything lands in one transaction or not at all.
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>

#include "was/FieldLimits.h"
#include "was/SqliteDb.h"
#include "was/SqliteStatement.h"
#include "was/WasSchema.h"
#include "was/WasText.h"

#include "TolvexVersion.h"

namespace {

const char* const kUsage =
    "usage: tolvex-was-seed --db PATH --rooms N [--members M] [--first-room ID]\n"
    "                       [--tenant T]\n"
    "       tolvex-was-seed --help | --version\n"
    "Adds N rooms that have not ended, of M members each (default 5), to the\n"
    "tolvex-was database at PATH (created when missing). Room ids run from ID\n"
    "(default 1); member k of room r is u<r>-<k>@m.<T>, whose tenant is T\n"
    "(default example.com), with join sequence k. Rooms already stored under\n"
    "one of those ids make the whole run fail and add nothing.\n";

// The daemon takes ids longer than this for an attack; the seeded ids must
// stay below it whatever the room number.
constexpr size_t kLongestIdPrefix = sizeof "u4294967295-10000@m." - 1;

struct seed_settings_t {
    std::string dbPath;
    uint32_t rooms = 0;
    bool roomsGiven = false;
    uint32_t members = 5;
    uint32_t firstRoom = 1;
    std::string tenant = "example.com";
};

enum class Command { Run, Help, Version, Bad };

template <typename Number>
bool parseNumber(const std::string& text, Number min, Number max, Number& out) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && out >= min && out <= max;
}

bool takeOption(const std::string& name, const std::string& value, seed_settings_t& s) {
    if (name == "--db") return s.dbPath = value, !value.empty();
    if (name == "--tenant") return s.tenant = value, true;
    if (name == "--members") return parseNumber(value, 1u, 10000u, s.members);
    if (name == "--first-room") return parseNumber(value, 1u, UINT32_MAX, s.firstRoom);
    if (name == "--rooms") return s.roomsGiven = true, parseNumber(value, 0u, 10000000u, s.rooms);
    return false;
}

bool valid(const seed_settings_t& s) {
    if (s.dbPath.empty() || !s.roomsGiven) return false;
    if (s.tenant.empty() || s.tenant.size() > kMaxUserId - kLongestIdPrefix) return false;
    return s.rooms == 0 || s.firstRoom <= UINT32_MAX - (s.rooms - 1);
}

Command parseArgs(int argc, char** argv, seed_settings_t& s) {
    for (int i = 1; i < argc; i += 2) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h") return Command::Help;
        if (name == "--version") return Command::Version;
        if (i + 1 >= argc || !takeOption(name, argv[i + 1], s)) return Command::Bad;
    }
    return valid(s) ? Command::Run : Command::Bad;
}

void appendNumber(std::string& out, uint32_t value) {
    char digits[16];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, end);
}

// The prepared inserts, bound and run once per row.
class Seeder {
public:
    Seeder(SqliteDb& db, const seed_settings_t& s)
        : m_settings(s),
          m_tenant(tenantOf("u@m." + s.tenant)),
          m_now(nowSeconds()),
          m_room(db.handle(),
                 "INSERT INTO rooms(room_id, tenant_id, room_type, max_msg_seq, last_activity) "
                 "VALUES(?1, ?2, ?3, ?4, ?5)"),
          m_member(db.handle(),
                   "INSERT INTO members(room_id, tenant_id, user_id, name, join_seq) "
                   "VALUES(?1, ?2, ?3, ?4, ?5)") {}

    void addRoom(uint32_t room) {
        // Each room has seen some messages; group rooms are typed as the
        // save page types them.
        m_room.bind(1, room).bindText(2, m_tenant).bind(3, m_settings.members > 2 ? 10 : 1);
        m_room.bind(4, 1 + room % 500).bind(5, m_now).run();
        m_room.reset();
        for (uint32_t k = 1; k <= m_settings.members; ++k) addMember(room, k);
    }

private:
    void addMember(uint32_t room, uint32_t k) {
        m_id.assign("u");
        appendNumber(m_id, room);
        m_id += '-';
        appendNumber(m_id, k);
        m_name.assign("User ").append(m_id, 1);
        m_id.append("@m.").append(m_settings.tenant);
        m_member.bind(1, room).bindText(2, m_tenant).bindText(3, m_id).bindText(4, m_name);
        m_member.bind(5, k).run();
        m_member.reset();
    }

    const seed_settings_t& m_settings;
    const std::string m_tenant;  // as the daemon derives it from every seeded id
    const uint32_t m_now;
    SqliteStatement m_room;
    SqliteStatement m_member;
    std::string m_id;
    std::string m_name;
};

void seed(const seed_settings_t& s) {
    SqliteDb db(s.dbPath, SqliteDb::Mode::ReadWrite);
    SqliteTransaction tx(db);
    createWasSchema(db);
    {
        Seeder seeder(db, s);
        for (uint32_t i = 0; i < s.rooms; ++i) seeder.addRoom(s.firstRoom + i);
    }  // statements end before the commit, so none holds the write open
    tx.commit();
}

}  // namespace

int main(int argc, char** argv) {
    seed_settings_t s;
    switch (parseArgs(argc, argv, s)) {
    case Command::Run:
        break;
    case Command::Help:
        fputs(kUsage, stdout);
        return 0;
    case Command::Version:
        printf("tolvex-was-seed %s\n", TOLVEX_VERSION);
        return 0;
    case Command::Bad:
        fputs(kUsage, stderr);
        return 2;
    }
    auto start = std::chrono::steady_clock::now();
    try {
        seed(s);
    } catch (const std::exception& e) {
        fprintf(stderr, "tolvex-was-seed: %s\n", e.what());
        return 1;
    }
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    printf("tolvex-was-seed: %u rooms x %u members (%llu rows) into %s in %.2f s\n", s.rooms,
           s.members, static_cast<unsigned long long>(s.rooms) * s.members, s.dbPath.c_str(),
           took.count());
    return 0;
}
