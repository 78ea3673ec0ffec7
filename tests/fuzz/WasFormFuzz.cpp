// libFuzzer target: tolvex-was's form parser and the field checks of every
// page, on a real SQLite store in a temporary file (no batching, so each
// write commits on its own and the run stays fast), made afresh every few
// thousand inputs. The first byte picks the page, the rest is the form body. Besides the sanitizers it checks that
// every answer starts with a whole result header, and that no input gets
// past the field checks to a storage error: the store is healthy, so a
// refusal there means a check let bad data through.

#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "was/MessagePages.h"
#include "was/RequestError.h"
#include "was/RoomPages.h"
#include "was/SqliteStore.h"
#include "was/WasReply.h"

namespace {

// Inputs between two fresh stores; keeps the lists the pages read short
// (a not-ended list in "all" mode reads every room saved so far).
constexpr int kInputsPerStore = 5000;

std::string dbPath() {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/tolvex-form-fuzz-" + std::to_string(getpid()) + ".db";
}

void removeDb() {
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((dbPath() + suffix).c_str());
}

struct Pages {
    Pages() {
        removeDb();
        commit_settings_t commit;
        commit.window = std::chrono::microseconds(0);
        store = std::make_unique<SqliteStore>(dbPath(), commit);
        messages = std::make_unique<MessagePages>(*store);
        rooms = std::make_unique<RoomPages>(*store, 3);
    }
    std::unique_ptr<SqliteStore> store;
    std::unique_ptr<MessagePages> messages;
    std::unique_ptr<RoomPages> rooms;
};

std::unique_ptr<Pages> s_pages;
int s_inputs = 0;

Pages& pages() {
    if (!s_pages || ++s_inputs % kInputsPerStore == 0) {
        s_pages.reset();
        s_pages = std::make_unique<Pages>();
    }
    return *s_pages;
}

void requireSoundAnswer(std::string_view reply) {
    const bool whole = reply.size() >= 4 && static_cast<uint8_t>(reply[0]) == 0xFE &&
                       4u + static_cast<uint8_t>(reply[3]) <= reply.size() && static_cast<uint8_t>(reply[3]) <= 254;
    if (!whole) std::abort();
    const uint16_t code = static_cast<uint8_t>(reply[1]) | static_cast<uint8_t>(reply[2]) << 8;
    if (code == WAS_STORAGE_ERROR) {
        std::fprintf(stderr, "storage error: %.*s\n", static_cast<int>(reply[3]) & 0xFF, reply.data() + 4);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::atexit([] {
        s_pages.reset();
        removeDb();
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
    Pages& p = pages();
    MessagePages& m = *p.messages;
    RoomPages& r = *p.rooms;
    switch (data[0] % 11) {
    case 0: requireSoundAnswer(m.saveMessage(body)); break;
    case 1: requireSoundAnswer(m.updateSendState(body)); break;
    case 2: requireSoundAnswer(m.sendFailUsers(body)); break;
    case 3: requireSoundAnswer(m.mobilePush(body)); break;
    case 4: requireSoundAnswer(m.inviteRequest(body)); break;
    case 5: requireSoundAnswer(m.noDevice(body)); break;
    case 6: requireSoundAnswer(r.leave(body)); break;
    case 7: requireSoundAnswer(r.endRoom(body)); break;
    case 8: requireSoundAnswer(r.notEndedRooms(body).from(0)); break;
    case 9: requireSoundAnswer(r.loadRoom(body)); break;
    default: requireSoundAnswer(r.directory(body)); break;
    }
    return 0;
}
