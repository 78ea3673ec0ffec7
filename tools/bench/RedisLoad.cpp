#include "bench/RedisLoad.h"

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>

#include "bench/BenchConnection.h"
#include "bench/BenchUtil.h"
#include "bench/DeliveryLedger.h"
#include "bench/RespCodec.h"

namespace bench {

namespace {

using Clock = BenchConnection::Clock;

constexpr auto kSetupTimeout = std::chrono::seconds(5);
constexpr auto kMaxWait = std::chrono::milliseconds(100);
constexpr size_t kMaxPacedInFlight = 1000;  // as for tolvexd: skip, do not pile up

std::string channelOf(const room_plan_t& room) { return "room:" + std::to_string(room.roomId); }

// One connection with its reply stream.
struct link_t {
    BenchConnection conn;
    RespReader reader;
    size_t room = 0;
    size_t member = 0;
    bool alive = true;
    bool watchingWrite = false;
    // Publishing connections only: replies come back in request order.
    struct pending_t {
        uint32_t msgNum;
        Clock::time_point sentAt;
    };
    std::deque<pending_t> inFlight;
    Clock::time_point nextDue;

    bool read() {
        return conn.readRaw([this](const char* data, size_t size) { reader.feed(data, size); });
    }
    // The next reply; a malformed or oversized one closes the connection.
    std::optional<resp_value_t> nextReply() {
        resp_value_t value;
        switch (reader.next(&value)) {
            case RespReader::Event::kValue:
                return value;
            case RespReader::Event::kError:
                conn.close("reply: " + reader.error());
                break;
            case RespReader::Event::kNone:
                break;
        }
        return std::nullopt;
    }
};

// Blocks until link's next reply, for the set-up phase.
std::optional<resp_value_t> waitReply(link_t& link, Clock::time_point deadline, std::string* why) {
    for (;;) {
        if (auto reply = link.nextReply()) return reply;
        if (link.conn.failed()) {
            *why = link.conn.failReason();
            return std::nullopt;
        }
        if (link.conn.wantsWrite()) link.conn.flush();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd pfd{link.conn.fd(), static_cast<short>(POLLIN | (link.conn.wantsWrite() ? POLLOUT : 0)), 0};
        int rc;
        do {
            rc = ::poll(&pfd, 1, static_cast<int>(std::clamp<int64_t>(left, 0, 60000)));
        } while (rc < 0 && errno == EINTR);
        if (rc <= 0) {
            *why = rc == 0 ? "no reply in time" : std::string("poll: ") + std::strerror(errno);
            return std::nullopt;
        }
        link.read();
    }
}

bool isSubscribeConfirm(const resp_value_t& v, const std::string& channel) {
    return v.type == resp_value_t::Type::kArray && v.items.size() == 3 && v.items[0].text == "subscribe" &&
           v.items[1].text == channel;
}

class RedisRunner {
public:
    RedisRunner(const bench_options_t& options, std::vector<room_plan_t> rooms)
        : m_options(options), m_rooms(std::move(rooms)), m_ledger(m_rooms), m_roomCounters(m_rooms.size(), 0) {
        m_report.options = options;
    }
    RedisRunner(const RedisRunner&) = delete;
    RedisRunner& operator=(const RedisRunner&) = delete;
    ~RedisRunner() {
        if (m_epoll >= 0) ::close(m_epoll);
    }

    std::string setUp();
    bench_report_t run();

private:
    std::string openLink(size_t room, size_t member, bool subscribe, Clock::time_point deadline);
    void watch(size_t index);
    void updateWriteInterest(size_t index);
    void markDead(link_t& l, const char* kind);
    void pumpPublisher(link_t& l, Clock::time_point now);
    void publish(link_t& l, Clock::time_point now);
    void handleReadable(size_t index);
    void onPublishReply(link_t& l, const resp_value_t& reply);
    void onDelivery(link_t& l, const resp_value_t& push);
    bool settled() const;
    int waitMillis(Clock::time_point now, Clock::time_point sendEnd) const;
    void loop(Clock::time_point sendEnd, Clock::time_point drainEnd);
    void dispatch(const epoll_event& ev);
    void printProgress(Clock::time_point now);
    void finishReport();
    uint64_t sinceEpochNs(Clock::time_point t) const {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(t - m_epoch).count());
    }

    bench_options_t m_options;
    std::vector<room_plan_t> m_rooms;
    DeliveryLedger m_ledger;
    std::vector<uint32_t> m_roomCounters;  // last message number per room
    std::vector<std::unique_ptr<link_t>> m_links;  // members, then publishers
    std::vector<size_t> m_publishers;              // indexes into m_links
    int m_epoll = -1;
    bool m_sending = false;
    Clock::time_point m_epoch, m_lastAck, m_lastRelay, m_lastTick;
    uint64_t m_tickRelays = 0;
    bench_report_t m_report;
};

std::string RedisRunner::openLink(size_t room, size_t member, bool subscribe, Clock::time_point deadline) {
    auto link = std::make_unique<link_t>();
    link->room = room;
    link->member = member;
    const std::string who = m_rooms[room].members[member].userId;
    if (m_options.tls) link->conn.useTls({.caFile = m_options.caFile, .hostName = m_options.host});
    if (const int err = link->conn.connect(m_options.host, m_options.port, deadline); err != 0)
        return who + ": connect: " + link->conn.connectError(err);
    if (subscribe) {
        const std::string channel = channelOf(m_rooms[room]);
        std::string why;
        link->conn.sendRaw(encodeRespCommand({"SUBSCRIBE", channel}));
        const auto reply = waitReply(*link, deadline, &why);
        if (!reply) return who + ": SUBSCRIBE: " + why;
        if (!isSubscribeConfirm(*reply, channel))
            return who + ": SUBSCRIBE: unexpected reply" + (reply->text.empty() ? "" : " '" + reply->text + "'");
    }
    if (!subscribe) m_publishers.push_back(m_links.size());
    m_links.push_back(std::move(link));
    return "";
}

std::string RedisRunner::setUp() {
    const Clock::time_point deadline = Clock::now() + kSetupTimeout;
    for (size_t r = 0; r < m_rooms.size(); ++r)
        for (size_t m = 0; m < m_rooms[r].members.size(); ++m)
            if (std::string err = openLink(r, m, true, deadline); !err.empty()) return err;
    for (size_t r = 0; r < m_rooms.size(); ++r)
        for (size_t m = 0; m < m_rooms[r].members.size(); ++m)
            if (m_rooms[r].members[m].sender)
                if (std::string err = openLink(r, m, false, deadline); !err.empty()) return err;
    m_report.senders = static_cast<int>(m_publishers.size());
    m_report.connections = static_cast<int>(m_links.size());
    return "";
}

void RedisRunner::watch(size_t index) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = index;
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_links[index]->conn.fd(), &ev) != 0) markDead(*m_links[index], "epoll");
}

void RedisRunner::updateWriteInterest(size_t index) {
    link_t& l = *m_links[index];
    if (!l.alive || l.watchingWrite == l.conn.wantsWrite()) return;
    l.watchingWrite = l.conn.wantsWrite();
    epoll_event ev{};
    ev.events = EPOLLIN | (l.watchingWrite ? EPOLLOUT : 0u);
    ev.data.u64 = index;
    epoll_ctl(m_epoll, EPOLL_CTL_MOD, l.conn.fd(), &ev);
}

void RedisRunner::markDead(link_t& l, const char* kind) {
    if (!l.alive) return;
    l.alive = false;
    ++m_report.errors[kind];
    if (m_epoll >= 0 && l.conn.fd() >= 0) epoll_ctl(m_epoll, EPOLL_CTL_DEL, l.conn.fd(), nullptr);
    if (m_options.progress)
        std::fprintf(stderr, "tolvex-bench: %s: %s: %s\n", m_rooms[l.room].members[l.member].userId.c_str(), kind,
                     l.conn.failReason().c_str());
}

void RedisRunner::publish(link_t& l, Clock::time_point now) {
    const uint32_t msgNum = ++m_roomCounters[l.room];
    const std::string payload =
        redisPayload(sinceEpochNs(now), l.member, msgNum, static_cast<size_t>(m_options.messageSize));
    if (!l.conn.sendRaw(encodeRespCommand({"PUBLISH", channelOf(m_rooms[l.room]), payload}))) {
        markDead(l, "send");
        return;
    }
    l.inFlight.push_back({msgNum, now});
    ++m_report.sent;
}

void RedisRunner::pumpPublisher(link_t& l, Clock::time_point now) {
    if (!m_sending || !l.alive) return;
    if (m_options.rate <= 0) {
        while (l.alive && l.inFlight.size() < static_cast<size_t>(m_options.window)) publish(l, now);
        return;
    }
    const auto interval = toDuration(1.0 / m_options.rate);
    while (l.alive && l.nextDue <= now) {
        if (l.inFlight.size() < kMaxPacedInFlight) publish(l, now);
        else ++m_report.skipped;
        l.nextDue += interval;
    }
}

void RedisRunner::handleReadable(size_t index) {
    link_t& l = *m_links[index];
    const bool open = l.read();
    const bool publisher = index >= m_rooms.size() * static_cast<size_t>(m_options.members);
    while (l.alive) {
        auto reply = l.nextReply();
        if (!reply) break;
        if (publisher) onPublishReply(l, *reply);
        else onDelivery(l, *reply);
    }
    if (l.conn.failed()) markDead(l, open ? "framing" : "closed");
}

void RedisRunner::onPublishReply(link_t& l, const resp_value_t& reply) {
    if (l.inFlight.empty()) {
        ++m_report.errors["unmatched_ack"];
        return;
    }
    const link_t::pending_t sent = l.inFlight.front();
    l.inFlight.pop_front();
    if (reply.type != resp_value_t::Type::kInteger) {
        ++m_report.errors[reply.type == resp_value_t::Type::kError ? "refused" : "decode"];
        return;
    }
    // Every member connection of the room, the sender's own included, is subscribed.
    if (reply.integer != static_cast<int64_t>(m_rooms[l.room].members.size())) ++m_report.errors["short_publish"];
    const Clock::time_point now = Clock::now();
    m_report.ackLatency.record(micros(now - sent.sentAt));
    ++m_report.accepted;
    m_ledger.accepted(l.room, sent.msgNum, l.member);
    m_lastAck = now;
    pumpPublisher(l, now);
}

void RedisRunner::onDelivery(link_t& l, const resp_value_t& push) {
    uint64_t sentNs = 0;
    size_t from = 0;
    uint32_t msgNum = 0;
    if (push.type != resp_value_t::Type::kArray || push.items.size() != 3 || push.items[0].text != "message" ||
        !parseRedisPayload(push.items[2].text, &sentNs, &from, &msgNum)) {
        ++m_report.errors["decode"];
        return;
    }
    if (push.items[1].text != channelOf(m_rooms[l.room])) {
        ++m_report.errors["misdirected_relay"];
        return;
    }
    if (from == l.member) return;  // our own message, which a tolvexd client never gets back
    const Clock::time_point now = Clock::now();
    const uint64_t nowNs = sinceEpochNs(now);
    m_report.relayLatency.record(nowNs > sentNs ? (nowNs - sentNs) / 1000 : 0);
    ++m_report.relays;
    m_lastRelay = now;
    if (m_ledger.relayed(l.room, msgNum, l.member) == DeliveryLedger::Mark::kStranger)
        ++m_report.errors["misdirected_relay"];
}

bool RedisRunner::settled() const {
    if (m_ledger.lostRelays() > 0) return false;
    for (size_t p : m_publishers)
        if (m_links[p]->alive && !m_links[p]->inFlight.empty()) return false;
    return true;
}

int RedisRunner::waitMillis(Clock::time_point now, Clock::time_point sendEnd) const {
    Clock::time_point wake = now + kMaxWait;
    if (m_sending) {
        wake = std::min(wake, sendEnd);
        if (m_options.rate > 0)
            for (size_t p : m_publishers)
                if (m_links[p]->alive && m_links[p]->inFlight.size() < kMaxPacedInFlight)
                    wake = std::min(wake, m_links[p]->nextDue);
    }
    if (wake <= now) return 0;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(wake - now).count();
    return static_cast<int>((us + 999) / 1000);
}

void RedisRunner::printProgress(Clock::time_point now) {
    const double span = seconds(now - m_lastTick);
    if (span <= 0) return;
    std::fprintf(stderr, "[%5.1fs] redis: published %llu acknowledged %llu deliveries %llu (%.0f/s) p50 %s ms errors %llu\n",
                 seconds(now - m_epoch), static_cast<unsigned long long>(m_report.sent),
                 static_cast<unsigned long long>(m_report.accepted), static_cast<unsigned long long>(m_report.relays),
                 static_cast<double>(m_report.relays - m_tickRelays) / span,
                 millisText(static_cast<double>(m_report.relayLatency.percentile(50))).c_str(),
                 static_cast<unsigned long long>(m_report.errorCount()));
    m_lastTick = now;
    m_tickRelays = m_report.relays;
}

void RedisRunner::dispatch(const epoll_event& ev) {
    const auto index = static_cast<size_t>(ev.data.u64);
    link_t& l = *m_links[index];
    if (!l.alive) return;
    if ((ev.events & EPOLLOUT) && !l.conn.flush()) markDead(l, "send");
    if (l.alive && (ev.events & (EPOLLIN | EPOLLERR | EPOLLHUP))) handleReadable(index);
    updateWriteInterest(index);
}

void RedisRunner::loop(Clock::time_point sendEnd, Clock::time_point drainEnd) {
    std::vector<epoll_event> events(256);
    for (;;) {
        Clock::time_point now = Clock::now();
        if (m_sending && now >= sendEnd) m_sending = false;
        if (!m_sending && (now >= drainEnd || settled())) {
            m_report.settleSec = seconds(std::min(now, drainEnd) - sendEnd);
            return;
        }
        for (size_t p : m_publishers) {
            pumpPublisher(*m_links[p], now);
            updateWriteInterest(p);
        }
        const int n = epoll_wait(m_epoll, events.data(), static_cast<int>(events.size()), waitMillis(now, sendEnd));
        if (n < 0 && errno != EINTR) {
            ++m_report.errors["epoll"];
            return;
        }
        for (int i = 0; i < n; ++i) dispatch(events[static_cast<size_t>(i)]);
        now = Clock::now();
        if (m_options.progress && now - m_lastTick >= std::chrono::seconds(1)) printProgress(now);
    }
}

bench_report_t RedisRunner::run() {
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    if (m_epoll < 0) {
        m_report.setupError = std::string("epoll_create1: ") + std::strerror(errno);
        return m_report;
    }
    for (size_t i = 0; i < m_links.size(); ++i) watch(i);
    m_epoch = m_lastAck = m_lastRelay = m_lastTick = Clock::now();
    const Clock::time_point sendEnd = m_epoch + toDuration(m_options.durationSec);
    const Clock::time_point drainEnd = sendEnd + toDuration(m_options.drainSec);
    // Paced senders start spread over one interval, not all at once.
    for (size_t k = 0; k < m_publishers.size(); ++k) {
        const double offset = m_options.rate > 0 ? static_cast<double>(k) /
                                                       static_cast<double>(m_publishers.size()) / m_options.rate
                                                 : 0;
        m_links[m_publishers[k]]->nextDue = m_epoch + toDuration(offset);
    }
    m_sending = true;
    loop(sendEnd, drainEnd);
    m_report.ackSpanSec = seconds(m_lastAck - m_epoch);
    m_report.relaySpanSec = seconds(m_lastRelay - m_epoch);
    finishReport();
    return m_report;
}

void RedisRunner::finishReport() {
    m_report.expectedRelays = m_ledger.expectedRelays();
    m_report.lostRelays = m_ledger.lostRelays();
    m_report.duplicateRelays = m_ledger.duplicateRelays();
    m_report.orphanRelays = m_ledger.orphanRelays();
    for (size_t p : m_publishers) m_report.unacknowledged += m_links[p]->inFlight.size();
}

}  // namespace

std::string redisPayload(uint64_t sentNs, size_t member, uint32_t msgNum, size_t size) {
    char stamp[kMinRedisMessageSize + 1];
    std::snprintf(stamp, sizeof stamp, "%016llx%04x%08x", static_cast<unsigned long long>(sentNs),
                  static_cast<unsigned>(member & 0xFFFF), static_cast<unsigned>(msgNum));
    std::string text(stamp, kMinRedisMessageSize);
    text.resize(std::max(size, static_cast<size_t>(kMinRedisMessageSize)), 'x');
    return text;
}

bool parseRedisPayload(const std::string& text, uint64_t* sentNs, size_t* member, uint32_t* msgNum) {
    uint64_t who = 0;
    uint64_t num = 0;
    if (text.size() < static_cast<size_t>(kMinRedisMessageSize) || !parseHex(text, 0, 16, sentNs) ||
        !parseHex(text, 16, 4, &who) || !parseHex(text, 20, 8, &num))
        return false;
    *member = static_cast<size_t>(who);
    *msgNum = static_cast<uint32_t>(num);
    return true;
}

bench_report_t runRedisLoad(const bench_options_t& options, std::vector<room_plan_t> rooms) {
    const auto start = Clock::now();
    RedisRunner runner(options, std::move(rooms));
    const std::string err = runner.setUp();
    const double setupSec = seconds(Clock::now() - start);
    if (options.progress && err.empty())
        std::fprintf(stderr, "tolvex-bench: redis: %s of %d members subscribed in %.2f s\n",
                     counted(static_cast<uint64_t>(options.rooms), "room", "rooms").c_str(), options.members, setupSec);
    bench_report_t report;
    if (err.empty()) {
        report = runner.run();
    } else {
        report.options = options;
        report.setupError = err;
    }
    report.setupSec = setupSec;
    return report;
}

}  // namespace bench
