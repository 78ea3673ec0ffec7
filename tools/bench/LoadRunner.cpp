#include "bench/LoadRunner.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bench/BenchUtil.h"
#include "client/Protocol.h"
#include "client/Replies.h"
#include "client/Requests.h"

namespace bench {

namespace {

constexpr size_t kStampDigits = 16;
constexpr auto kMaxWait = std::chrono::milliseconds(100);

}  // namespace

LoadRunner::LoadRunner(bench_options_t options, std::vector<room_plan_t> rooms,
                       std::vector<std::vector<std::unique_ptr<BenchConnection>>> conns,
                       std::vector<std::unique_ptr<BenchConnection>> idle)
    : m_options(std::move(options)), m_rooms(std::move(rooms)), m_ledger(m_rooms) {
    m_report.options = m_options;
    for (size_t r = 0; r < conns.size() && r < m_rooms.size(); ++r) {
        for (size_t m = 0; m < conns[r].size() && m < m_rooms[r].members.size(); ++m) {
            peer_t p;
            p.conn = std::move(conns[r][m]);
            p.room = r;
            p.member = m;
            p.plan = &m_rooms[r].members[m];
            p.stalled = p.plan->stalled;
            if (p.plan->sender) m_senders.push_back(m_peers.size());
            if (p.stalled) m_stalled.push_back(m_peers.size());
            m_peers.push_back(std::move(p));
        }
    }
    for (auto& conn : idle) m_idle.push_back({std::move(conn), true});
    m_report.senders = static_cast<int>(m_senders.size());
    m_report.connections = static_cast<int>(m_peers.size());
}

LoadRunner::~LoadRunner() {
    if (m_epoll >= 0) ::close(m_epoll);
}

std::string LoadRunner::messageText(uint64_t sentNs, size_t size) {
    char stamp[kStampDigits + 1];
    std::snprintf(stamp, sizeof stamp, "%016llx", static_cast<unsigned long long>(sentNs));
    std::string text(stamp, kStampDigits);
    text.resize(std::max(size, kStampDigits), 'x');
    return text;
}

bool LoadRunner::parseMessageText(const std::string& text, uint64_t* sentNs) {
    return parseHex(text, 0, kStampDigits, sentNs);
}

uint64_t LoadRunner::sinceEpochNs(Clock::time_point t) const {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(t - m_epoch).count());
}

void LoadRunner::watch(int fd, uint64_t tag, peer_t* peer) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = tag;
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev) == 0) return;
    if (peer) markDead(*peer, "epoll");
    else ++m_report.errors["epoll"];
}

void LoadRunner::setInterest(size_t index) {
    peer_t& p = m_peers[index];
    epoll_event ev{};
    // A paused receiver is not read at all, so the daemon's output for it
    // piles up; errors and hang-ups are reported all the same.
    ev.events = (p.paused ? 0u : EPOLLIN) | (p.watchingWrite ? EPOLLOUT : 0u);
    ev.data.u64 = index;
    epoll_ctl(m_epoll, EPOLL_CTL_MOD, p.conn->fd(), &ev);
}

void LoadRunner::updateWriteInterest(size_t index) {
    peer_t& p = m_peers[index];
    if (!p.alive || p.watchingWrite == p.conn->wantsWrite()) return;
    p.watchingWrite = p.conn->wantsWrite();
    setInterest(index);
}

void LoadRunner::pauseStalled(bool paused) {
    for (size_t index : m_stalled) {
        peer_t& p = m_peers[index];
        if (!p.alive) continue;
        p.paused = paused;
        setInterest(index);
    }
    if (m_options.progress)
        std::fprintf(stderr, "tolvex-bench: stall %s: %s %s\n", paused ? "begins" : "ends",
                     counted(m_stalled.size(), "receiver", "receivers").c_str(),
                     paused ? "no longer read" : "read again");
}

void LoadRunner::advanceStall(Clock::time_point now) {
    if (m_stalled.empty()) return;
    if (m_stallPhase == StallPhase::kBefore && now >= m_stallStart) {
        m_stallPhase = StallPhase::kDuring;
        pauseStalled(true);
    }
    if (m_stallPhase == StallPhase::kDuring && now >= m_stallEnd) {
        m_stallPhase = StallPhase::kAfter;
        pauseStalled(false);
    }
}

void LoadRunner::recordStallPhase(uint64_t sentNs, uint64_t latencyUs) {
    stall_report_t& s = m_report.stall;
    const uint64_t startNs = sinceEpochNs(m_stallStart);
    const uint64_t endNs = sinceEpochNs(m_stallEnd);
    (sentNs < startNs ? s.before : sentNs < endNs ? s.during : s.after).record(latencyUs);
}

void LoadRunner::drop(peer_t& p, const char* why) {
    p.alive = false;
    if (m_epoll >= 0 && p.conn->fd() >= 0) epoll_ctl(m_epoll, EPOLL_CTL_DEL, p.conn->fd(), nullptr);
    if (m_options.progress)
        std::fprintf(stderr, "tolvex-bench: %s: %s: %s\n", p.plan->userId.c_str(), why,
                     p.conn->failReason().c_str());
}

void LoadRunner::markDead(peer_t& p, const char* kind) {
    if (!p.alive) return;
    ++m_report.errors[kind];
    drop(p, kind);
}

// A daemon may close a receiver that stopped reading once its queued output
// reaches send_buffer_max: that is what a stall is there to show, not an
// error. The relays still owed to it can no longer come, and stop being owed.
void LoadRunner::markFailed(peer_t& p, const char* kind, bool byServer) {
    if (!p.alive) return;
    if (!byServer || !p.stalled || m_stallPhase == StallPhase::kBefore) {
        markDead(p, kind);
        return;
    }
    ++m_report.stall.closedByServer;
    m_ledger.departed(p.room, p.member);
    drop(p, "stalled receiver");
}

void LoadRunner::sendMessage(peer_t& p, Clock::time_point now) {
    client::MsgRequest msg;
    msg.roomId = m_rooms[p.room].roomId;
    msg.fromId = p.plan->userId;
    msg.fromName = p.plan->nameInfo;
    msg.fromOsType = p.plan->osType;
    msg.msg = messageText(sinceEpochNs(now), static_cast<size_t>(m_options.messageSize));
    msg.trid = ++p.nextTrid;
    if (!p.conn->send(client::MSG, client::encode(msg))) {
        markDead(p, "send");
        return;
    }
    p.inFlight.emplace(msg.trid, now);
    ++m_report.sent;
}

void LoadRunner::pumpSender(peer_t& p, Clock::time_point now) {
    if (!m_sending || !p.alive) return;
    if (m_options.rate <= 0) {
        while (p.alive && p.inFlight.size() < static_cast<size_t>(m_options.window)) sendMessage(p, now);
        return;
    }
    const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / m_options.rate));
    while (p.alive && p.nextDue <= now) {
        // Open-loop pacing: a stalled daemon makes us skip, not pile up.
        if (p.inFlight.size() < kMaxPacedInFlight) sendMessage(p, now);
        else ++m_report.skipped;
        p.nextDue += interval;
    }
}

void LoadRunner::handleReadable(size_t index) {
    peer_t& p = m_peers[index];
    const bool open = p.conn->readAvailable();
    while (p.alive) {
        auto packet = p.conn->nextPacket();
        if (!packet) break;
        handlePacket(p, *packet);
    }
    if (!p.conn->failed()) return;
    // Reading can fail on a write too (a pong the socket refused): that is
    // the daemon gone, not bad framing.
    if (!open) markFailed(p, "closed", true);
    else if (p.conn->sendFailed()) markFailed(p, "send", true);
    else markDead(p, "framing");
}

// Idle members only see the join notices of their room; anything that
// belongs to the load, or the daemon dropping them, is counted.
void LoadRunner::handleIdle(size_t index) {
    idle_peer_t& idle = m_idle[index];
    const bool open = idle.conn->readAvailable();
    while (auto packet = idle.conn->nextPacket()) {
        if (packet->code == client::MSG_RELAY || packet->code == client::MSG_RESULT) ++m_report.errors["idle_traffic"];
    }
    if (!idle.conn->failed()) return;
    idle.alive = false;
    ++m_report.errors[open ? "idle_framing" : "idle_closed"];
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, idle.conn->fd(), nullptr);
    if (m_options.progress)
        std::fprintf(stderr, "tolvex-bench: idle connection %zu: %s\n", index, idle.conn->failReason().c_str());
}

void LoadRunner::handlePacket(peer_t& p, const client::Packet& packet) {
    switch (packet.code) {
        case client::MSG_ACK:
            onMsgAck(p, packet);
            return;
        case client::MSG_RELAY:
            onRelay(p, packet);
            return;
        case client::MSG_RESULT:
            onResult(p, packet);
            return;
        case client::SESSION_CLOSE:
            ++m_report.errors["session_close"];
            return;
        default:
            break;
    }
    if (client::decodeInvalidCommand(packet)) ++m_report.errors["refused"];
    // Join and leave notices of the set-up phase are expected and ignored.
}

void LoadRunner::onMsgAck(peer_t& p, const client::Packet& packet) {
    const auto ack = client::decodeMsgAck(packet);
    if (!ack) {
        ++m_report.errors["decode"];
        return;
    }
    const auto it = p.inFlight.find(ack->trid);
    if (it == p.inFlight.end() || ack->roomId != m_rooms[p.room].roomId) {
        ++m_report.errors["unmatched_ack"];
        return;
    }
    const Clock::time_point now = Clock::now();
    m_report.ackLatency.record(micros(now - it->second));
    p.inFlight.erase(it);
    ++m_report.accepted;
    m_ledger.accepted(p.room, ack->msgNum, p.member);
    m_lastAck = now;
    pumpSender(p, now);
}

void LoadRunner::onRelay(peer_t& p, const client::Packet& packet) {
    const auto relay = client::decodeMsgRelay(packet);
    uint64_t sentNs = 0;
    if (!relay || !parseMessageText(relay->msg, &sentNs)) {
        ++m_report.errors["decode"];
        return;
    }
    const Clock::time_point now = Clock::now();
    const uint64_t nowNs = sinceEpochNs(now);
    const uint64_t latencyUs = nowNs > sentNs ? (nowNs - sentNs) / 1000 : 0;
    m_report.relayLatency.record(latencyUs);
    if (!m_stalled.empty() && !p.stalled) recordStallPhase(sentNs, latencyUs);
    ++m_report.relays;
    m_lastRelay = now;
    // Each member has one connection: its own message never comes back to it.
    if (relay->roomId != m_rooms[p.room].roomId || relay->fromId == p.plan->userId)
        ++m_report.errors["misdirected_relay"];
    else if (m_ledger.relayed(p.room, relay->msgNum, p.member) == DeliveryLedger::Mark::kStranger)
        ++m_report.errors["misdirected_relay"];
    if (!m_options.relayAck) return;
    client::RelayAck ack;
    ack.roomId = relay->roomId;
    ack.msgSeq = relay->msgNum;
    ack.userId = p.plan->userId;
    ack.trid = relay->trid;
    ack.osType = p.plan->osType;
    if (!p.conn->send(client::MSG_RELAY_ACK, client::encode(ack))) {
        markFailed(p, "send", p.conn->sendFailed());
        return;
    }
    ++m_report.relayAcks;
}

void LoadRunner::onResult(peer_t& p, const client::Packet& packet) {
    const auto result = client::decodeMsgResult(packet);
    if (!result) {
        ++m_report.errors["decode"];
        return;
    }
    ++m_report.resultNotices;
    const bool ours = result->roomId == m_rooms[p.room].roomId;
    for (const client::result_entry_t& entry : result->results) {
        ++m_report.outcomes[entry.code];
        // The sender itself or somebody outside the room has no outcome to report.
        if (!ours || m_ledger.reported(p.room, result->msgNum, entry.userId) == DeliveryLedger::Mark::kStranger)
            ++m_report.errors["misdirected_report"];
    }
    // A real client confirms every result notice, or the daemon keeps it.
    client::ResultAck ack;
    ack.roomId = result->roomId;
    ack.msgSeq = result->msgNum;
    ack.trid = result->trid;
    ack.osType = p.plan->osType;
    ack.resultSeq = result->resultSeq;
    if (!p.conn->send(client::MSG_RESULT_ACK, client::encode(ack))) markFailed(p, "send", p.conn->sendFailed());
}

bool LoadRunner::settled() const {
    if (m_ledger.lostRelays() > 0 || m_ledger.completeReports() < m_ledger.acceptedMessages()) return false;
    for (size_t s : m_senders) {
        const peer_t& p = m_peers[s];
        if (p.alive && !p.inFlight.empty()) return false;
    }
    return true;
}

int LoadRunner::waitMillis(Clock::time_point now, Clock::time_point sendEnd) const {
    Clock::time_point wake = now + kMaxWait;
    if (m_stallPhase == StallPhase::kBefore && !m_stalled.empty()) wake = std::min(wake, m_stallStart);
    if (m_stallPhase == StallPhase::kDuring) wake = std::min(wake, m_stallEnd);
    if (m_sending) {
        wake = std::min(wake, sendEnd);
        if (m_options.rate > 0) {
            for (size_t s : m_senders) {
                const peer_t& p = m_peers[s];
                if (p.alive && p.inFlight.size() < kMaxPacedInFlight) wake = std::min(wake, p.nextDue);
            }
        }
    }
    if (wake <= now) return 0;
    // Round up: waking a little late is better than spinning on 0 ms.
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(wake - now).count();
    return static_cast<int>((us + 999) / 1000);
}

void LoadRunner::printProgress(Clock::time_point now) {
    const double span = seconds(now - m_lastTick);
    if (span <= 0) return;
    const double accepted = static_cast<double>(m_report.accepted - m_tickAccepted) / span;
    const double relays = static_cast<double>(m_report.relays - m_tickRelays) / span;
    std::fprintf(stderr,
                 "[%5.1fs] sent %llu accepted %llu (%.0f/s) relays %llu (%.0f/s) ack p50 %s ms relay p50 %s ms "
                 "fully reported %llu errors %llu%s\n",
                 seconds(now - m_epoch), static_cast<unsigned long long>(m_report.sent),
                 static_cast<unsigned long long>(m_report.accepted), accepted,
                 static_cast<unsigned long long>(m_report.relays), relays,
                 millisText(static_cast<double>(m_report.ackLatency.percentile(50))).c_str(),
                 millisText(static_cast<double>(m_report.relayLatency.percentile(50))).c_str(),
                 static_cast<unsigned long long>(m_ledger.completeReports()),
                 static_cast<unsigned long long>(m_report.errorCount()),
                 m_stallPhase == StallPhase::kDuring ? " [stall]" : "");
    m_lastTick = now;
    m_tickAccepted = m_report.accepted;
    m_tickRelays = m_report.relays;
}

bench_report_t LoadRunner::run() {
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    if (m_epoll < 0) {
        m_report.setupError = std::string("epoll_create1: ") + std::strerror(errno);
        return m_report;
    }
    for (size_t i = 0; i < m_peers.size(); ++i) watch(m_peers[i].conn->fd(), i, &m_peers[i]);
    for (size_t i = 0; i < m_idle.size(); ++i) watch(m_idle[i].conn->fd(), kIdleTag | i, nullptr);

    m_epoch = Clock::now();
    m_lastAck = m_lastRelay = m_lastTick = m_epoch;
    const Clock::time_point sendEnd = m_epoch + toDuration(m_options.durationSec);
    const Clock::time_point drainEnd = sendEnd + toDuration(m_options.drainSec);
    m_stallStart = m_epoch + toDuration(m_options.stallAtSec);
    m_stallEnd = m_stallStart + toDuration(m_options.stallForSec);
    // Paced senders start spread over one interval, not all at once.
    for (size_t k = 0; k < m_senders.size(); ++k) {
        const double offset = m_options.rate > 0 ? static_cast<double>(k) / static_cast<double>(m_senders.size()) /
                                                       m_options.rate
                                                 : 0;
        m_peers[m_senders[k]].nextDue = m_epoch + toDuration(offset);
    }
    m_sending = true;

    std::vector<epoll_event> events(256);
    for (;;) {
        Clock::time_point now = Clock::now();
        if (m_sending && now >= sendEnd) m_sending = false;
        advanceStall(now);
        if (!m_sending && (now >= drainEnd || settled())) {
            m_report.settleSec = seconds(std::min(now, drainEnd) - sendEnd);
            break;
        }
        if (m_sending)
            for (size_t s : m_senders) pumpSender(m_peers[s], now);
        for (size_t s : m_senders) updateWriteInterest(s);

        const int n = epoll_wait(m_epoll, events.data(), static_cast<int>(events.size()), waitMillis(now, sendEnd));
        if (n < 0 && errno != EINTR) {
            ++m_report.errors["epoll"];
            break;
        }
        for (int i = 0; i < n; ++i) {
            const uint64_t tag = events[static_cast<size_t>(i)].data.u64;
            if (tag & kIdleTag) {
                const auto idle = static_cast<size_t>(tag & ~kIdleTag);
                if (m_idle[idle].alive) handleIdle(idle);
                continue;
            }
            const auto index = static_cast<size_t>(tag);
            peer_t& p = m_peers[index];
            if (!p.alive) continue;
            if (events[static_cast<size_t>(i)].events & EPOLLOUT) {
                if (!p.conn->flush()) markFailed(p, "send", p.conn->sendFailed());
            }
            // An error or hang-up ends a paused receiver too: reading it
            // now tells what happened and keeps epoll from repeating it.
            if (p.alive && (events[static_cast<size_t>(i)].events & (EPOLLIN | EPOLLERR | EPOLLHUP)))
                handleReadable(index);
            updateWriteInterest(index);
        }
        now = Clock::now();
        if (m_options.progress && now - m_lastTick >= std::chrono::seconds(1)) printProgress(now);
    }
    m_report.ackSpanSec = seconds(m_lastAck - m_epoch);
    m_report.relaySpanSec = seconds(m_lastRelay - m_epoch);
    finishReport();
    return m_report;
}

void LoadRunner::finishReport() {
    m_report.expectedRelays = m_ledger.expectedRelays();
    m_report.lostRelays = m_ledger.lostRelays();
    m_report.stall.owedToClosed = m_ledger.departedRelays();
    m_report.duplicateRelays = m_ledger.duplicateRelays();
    m_report.orphanRelays = m_ledger.orphanRelays();
    m_report.reportedMessages = m_ledger.completeReports();
    m_report.duplicateReports = m_ledger.duplicateReports();
    m_report.orphanReports = m_ledger.orphanReports();
    for (size_t s : m_senders) m_report.unacknowledged += m_peers[s].inFlight.size();
    for (const idle_peer_t& idle : m_idle) m_report.idleOpenAtEnd += idle.alive ? 1 : 0;
}

}  // namespace bench
