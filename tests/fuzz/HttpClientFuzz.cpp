// libFuzzer target: arbitrary server bytes through the HTTP client's reply
// reader. An HttpClientSession from the factory owns one end of a
// socketpair; the reply is written into the other end in pieces whose sizes
// the input chooses, with one loop pass after each, then the server hangs
// up. Input: a flags byte (bit 0: stream the body to a sink; the next bits:
// after how many pieces the sink stops), a count n and n piece sizes, then
// the reply. Besides the sanitizers it checks that the handler hears
// exactly once, and that the body it gets is exactly the bytes after the
// header block (whole when kept, a prefix when streamed).

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "net/HttpClientSession.h"
#include "poller/Poller.h"
#include "tolvex/util/Globals.h"

namespace {

constexpr int kMaxPasses = 20000;

void require(bool holds) {
    if (!holds) std::abort();
}

Poller& loop() {
    static std::unique_ptr<Poller> poller = [] {
        std::unique_ptr<Poller> p = createPoller("epoll");
        if (!p || p->init() != 0 || p->initWakeUpPipe() != 0) std::abort();
        g_pPoller = p.get();
        return p;
    }();
    return *poller;
}

// What the reader must make of the bytes: where the body starts, or
// nothing when the status line or a header line is unusable or unfinished.
std::optional<size_t> bodyStart(std::string_view reply) {
    const auto maxLine = static_cast<size_t>(HttpClientSession::kMaxLineBytes);
    size_t at = 0;
    for (bool status = true;; status = false) {
        const size_t newline = reply.find('\n', at);
        if (newline == std::string_view::npos) return std::nullopt;
        const size_t len = newline - at + 1;
        if (len > maxLine || (status && len < 15)) return std::nullopt;
        const char first = reply[at];
        at = newline + 1;
        if (!status && (first == '\r' || first == '\n')) return at;
    }
}

// Hears the one outcome of the request, and takes a streamed body.
class Observer : public Session::EventHandler, public HttpBodySink {
public:
    explicit Observer(int stopAfter) : m_stopAfter(stopAfter) {}

    void connectEvent(Session*, bool*) override {}
    void reqRecvEvent(Session*, const Packet*, bool*) override {}
    void resRecvEvent(Session*, const Packet* p, bool*) override {
        ++outcomes;
        const auto* res = dynamic_cast<const HttpResPacket*>(p);
        require(res != nullptr);
        replied = true;
        streamedReply = res->m_streamed;
        if (res->m_body) body.assign(res->m_body, static_cast<size_t>(res->m_bodylen));
        else require(res->m_bodylen == 0);
    }
    void errorEvent(Session*, bool*) override { ++outcomes; }
    bool compareKey(Session*, const Packet*) override { return false; }
    bool bodyBytes(const char* data, size_t len) override {
        require(len > 0);
        streamed.append(data, len);
        return ++m_pieces != m_stopAfter;
    }

    int outcomes = 0;
    bool replied = false;
    bool streamedReply = false;
    std::string body;
    std::string streamed;

private:
    int m_stopAfter;
    int m_pieces = 0;
};

struct GoneTracker : SessionTracker {
    void sessionGone(Session*) override { gone = true; }
    bool gone = false;
};

void writeInPieces(int fd, std::string_view reply, const uint8_t* sizes, size_t count) {
    size_t sent = 0;
    for (int pass = 0; sent < reply.size() && pass < kMaxPasses; ++pass) {
        const size_t piece = count ? 1 + sizes[pass % count] * 8 % 1500 : reply.size();
        const size_t n = std::min(piece, reply.size() - sent);
        const ssize_t w = ::send(fd, reply.data() + sent, n, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (w > 0) sent += static_cast<size_t>(w);
        else if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;  // the client gave up
        loop().waitAndDispatchEvents(0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    loop();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t flags = data[0];
    const size_t count = std::min<size_t>(data[1] % 16, size - 2);
    const uint8_t* sizes = data + 2;
    const std::string_view reply(reinterpret_cast<const char*>(data + 2 + count), size - 2 - count);

    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    HttpClientSession* session = HttpClientFactory::getInst()->newInst();
    if (!session || !session->import(sv[0])) std::abort();
    Observer observer(flags >> 1);
    GoneTracker gone;
    session->setTracker(&gone);
    const bool streaming = flags & 1;
    if (streaming) session->streamBodyTo(&observer, 1 + flags % 4 * 700);
    session->addEH(&observer);

    writeInPieces(sv[1], reply, sizes, count);
    ::shutdown(sv[1], SHUT_WR);
    for (int pass = 0; !gone.gone; ++pass) {
        require(pass < kMaxPasses);  // a session that never goes away
        loop().waitAndDispatchEvents(0);
    }
    ::close(sv[1]);

    require(observer.outcomes == 1);
    const std::optional<size_t> start = bodyStart(reply);
    require(observer.replied == start.has_value());
    if (!start) return 0;
    const std::string_view expected = reply.substr(*start);
    require(observer.streamedReply == streaming);
    if (streaming) require(expected.substr(0, observer.streamed.size()) == observer.streamed);
    else if (expected.size() > static_cast<size_t>(HttpClientSession::kMaxBodyBytes)) require(observer.body.empty());
    else require(observer.body == expected);
    return 0;
}
