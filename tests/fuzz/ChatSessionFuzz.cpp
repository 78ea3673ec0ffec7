// libFuzzer target: arbitrary client bytes through a real ChatSession. Each
// input is written, in chunks whose size the first byte chooses, into one
// end of a socketpair whose other end a ChatSession from the factory owns,
// with the event loop run between writes; then the client hangs up and the
// loop runs until the session has been destroyed. So the framing state
// machine, the command dispatch and the room handlers all see the bytes,
// and a session that never goes away is reported as a crash.

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "net/Session.h"
#include "poller/Poller.h"
#include "tolvex/util/Globals.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/ChatFactory.h"
#include "tolvex/session/ChatSession.h"
#include "tolvex/session/SessionContainer.h"

namespace {

constexpr int kMaxPasses = 20000;

Poller& loop() {
    static std::unique_ptr<Poller> poller = [] {
        std::unique_ptr<Poller> p = createPoller("epoll");
        if (!p || p->init() != 0 || p->initWakeUpPipe() != 0) std::abort();
        g_pPoller = p.get();
        return p;
    }();
    return *poller;
}

// Whatever the session answered; the replies themselves are not checked.
void discardReplies(int fd) {
    char buf[4096];
    while (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

void writeAll(int fd, const uint8_t* data, size_t size, size_t chunk) {
    size_t sent = 0;
    for (int pass = 0; sent < size && pass < kMaxPasses; ++pass) {
        const size_t n = std::min(chunk, size - sent);
        const ssize_t w = ::send(fd, data + sent, n, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (w > 0) sent += static_cast<size_t>(w);
        else if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;  // the session hung up
        loop().waitAndDispatchEvents(0);
        discardReplies(fd);
    }
}

// Rooms and entries the input made stay for this input only.
void forgetRooms() {
    for (const room_key& key : RoomManager::getInst().getRoomList()) SessionContainer::getInstance().clearRoom(key);
    RoomManager::getInst().removeAllRooms();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    loop();
    RoomManager::getInst().setRoomInitComplete();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int baseline = Session::s_counts.load();
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    Session* session = ChatFactory::getInst().newInst();
    if (!session || !session->import(sv[0])) std::abort();

    // The first byte picks the chunk size, so splits at every offset occur.
    const size_t chunk = size > 0 ? 1 + data[0] % 64 * 17 : 1;
    writeAll(sv[1], data, size, chunk);
    ::shutdown(sv[1], SHUT_WR);
    int pass = 0;
    while (Session::s_counts.load() != baseline) {
        if (++pass > kMaxPasses) std::abort();  // the session never went away
        loop().waitAndDispatchEvents(1);
        discardReplies(sv[1]);
    }
    ::close(sv[1]);
    forgetRooms();
    return 0;
}
