#include "tolvex/task/RoomTask.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <system_error>
#include <utility>

#include "tolvex/util/Globals.h"
#include "tolvex/ack/AckManager.h"
#include "tolvex/room/RoomEndSession.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/session/SessionContainer.h"
#include "tolvex/task/LoopPost.h"
#include "tolvex/util/ChatUtil.h"

namespace {

constexpr uint32_t kDefaultMinuteSec = 60;

// A whole number of seconds from the environment variable name, or -1 when
// it is unset or not such a number (then logged).
long long envSeconds(const char* name, long long min) {
    const char* text = std::getenv(name);
    if (!text || !*text) return -1;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > 86400LL * 365) {
        g_Logger.log("RoomTask: ignored %s=%s", name, text);
        errno = 0;
        return -1;
    }
    return value;
}

}  // namespace

RoomTask& RoomTask::getInstance() {
    static RoomTask instance;
    return instance;
}

RoomTask::~RoomTask() {
    stop();
}

void RoomTask::setTimeoutMinute(const std::string& tenantId, int minutes) {
    {
        std::lock_guard<std::mutex> lock(m_timeoutMutex);
        if (!m_timeoutList.emplace(tenantId, minutes).second) return;
        ++m_timeoutVersion;
    }
    // Rooms of that tenant are filed under the default timeout's times.
    RoomManager::getInst().recheckAllRooms();
}

int RoomTask::getTimeoutMinute(const std::string& tenantId) const {
    std::lock_guard<std::mutex> lock(m_timeoutMutex);
    auto it = m_timeoutList.find(tenantId);
    return it == m_timeoutList.end() ? kDefaultTimeoutMinute : it->second;
}

uint64_t RoomTask::timeoutVersion() const {
    std::lock_guard<std::mutex> lock(m_timeoutMutex);
    return m_timeoutVersion;
}

void RoomTask::clearTimeouts() {
    {
        std::lock_guard<std::mutex> lock(m_timeoutMutex);
        m_timeoutList.clear();
        ++m_timeoutVersion;
    }
    RoomManager::getInst().recheckAllRooms();
}

bool RoomTask::start() {
    if (m_worker.isRunning()) return true;
    applyEnvironment();
    return m_worker.start([this] { run(); });
}

void RoomTask::applyEnvironment() {
    if (const long long sec = envSeconds(kFirstPassEnv, 0); sec >= 0) {
        m_firstPassDelay = std::chrono::seconds(sec);
        g_Logger.log("RoomTask: first pass after %lld s (%s)", sec, kFirstPassEnv);
    }
    if (const long long sec = envSeconds(kMinuteEnv, 1); sec >= 1) {
        setMinuteSeconds(static_cast<uint32_t>(sec));
        g_Logger.log("RoomTask: an idle minute lasts %lld s (%s)", sec, kMinuteEnv);
    }
}

void RoomTask::stop() {
    m_worker.stop();
}

bool RoomTask::isRunning() const {
    return m_worker.isRunning();
}

void RoomTask::run() {
    // Rooms loaded at start carry their last activity from the WAS; the
    // first wait lets their members reconnect before any of them is judged.
    if (!m_worker.waitFor(m_firstPassDelay)) return;
    do {
        m_worker.runCycle([this] { iterateRooms(now()); });
    } while (m_worker.waitCycle());
}

std::vector<room_key> RoomTask::iterateRooms(uint32_t now) {
    timeout_map_t timeouts;
    uint64_t version = 0;
    {
        std::lock_guard<std::mutex> lock(m_timeoutMutex);
        timeouts = m_timeoutList;
        version = m_timeoutVersion;
    }
    // Only rooms that may be due are looked at. The registry's lock is a
    // leaf: under it only plain values are read and no other lock is taken.
    std::vector<room_key> idle;
    RoomManager::getInst().recheckDueRooms(now, [&](const Room& room) {
        auto it = timeouts.find(room.getTenantId());
        const int timeout = it == timeouts.end() ? kDefaultTimeoutMinute : it->second;
        const uint32_t due = dueTime(timeout, room.getLastActionTime());
        if (due > now) return due;
        idle.push_back({room.getRoomId(), room.getTenantId()});
        // Looked at again next pass, in case a session keeps it open.
        return now + 1;
    });
    // A timeout added meanwhile may make rooms due earlier than this pass
    // filed them.
    if (timeoutVersion() != version) RoomManager::getInst().recheckAllRooms();
    // Handed over in key order, whatever order they came due in.
    std::sort(idle.begin(), idle.end());
    std::vector<room_key> closing;
    for (room_key& key : idle)
        if (SessionContainer::getInstance().getSessionCount(key) == 0) closing.push_back(std::move(key));
    if (!closing.empty()) postClosing(closing);
    return closing;
}

void RoomTask::postClosing(std::vector<room_key> keys) {
    // The loop owns the rooms: it looks each one up again and decides anew,
    // since a member may have come back since this pass looked.
    LoopPost::toLoop([this, keys = std::move(keys)] {
        for (const room_key& key : keys) {
            try {
                closeIdleRoom(key, now());
            } catch (const std::exception& e) {
                logErrno("RoomTask closeIdleRoom Exception", std::string(" ") + e.what());
            }
        }
    });
}

bool RoomTask::closeIdleRoom(const room_key& key, uint32_t now) {
    RoomManager& rooms = RoomManager::getInst();
    const Room* room = rooms.getRoom(key);
    if (!room) return false;
    const uint32_t lastAction = room->getLastActionTime();
    if (!isOld(getTimeoutMinute(key.tenantId), lastAction, now)) return false;
    if (SessionContainer::getInstance().getSessionCount(key) != 0) return false;
    const std::string reason = "OLD," + std::to_string(idleMinutes(lastAction, now));
    // The room is gone from here on; only its key is used.
    if (!rooms.closeRoom(key, reason)) return false;
    g_Logger.log("ROOM_CLOSE:%u,%s,%s", key.roomId, key.tenantId.c_str(), reason.c_str());
    clearRelations(key);
    return true;
}

void RoomTask::clearRelations(const room_key& key) {
    AckManager::getInstance().clearAckExpectRoom(key.roomId, key.tenantId);
    SessionContainer::getInstance().clearRoom(key);
    // The end-room job owns its companion from here on.
    (new RoomEndSession())->callEndRoomPage(key.roomId, key.tenantId);
}

uint32_t RoomTask::now() const {
    return m_worker.now();
}

uint32_t RoomTask::minuteSec() const {
    return m_minuteSec ? m_minuteSec : kDefaultMinuteSec;
}

uint32_t RoomTask::idleMinutes(uint32_t lastActionTime, uint32_t now) const {
    return now > lastActionTime ? (now - lastActionTime) / minuteSec() : 0;
}

bool RoomTask::isOld(int timeout, uint32_t lastActionTime, uint32_t now) const {
    return timeout >= 1 && idleMinutes(lastActionTime, now) >= static_cast<uint32_t>(timeout);
}

uint32_t RoomTask::dueTime(int timeout, uint32_t lastActionTime) const {
    if (timeout < 1) return kNever;
    const uint64_t due = uint64_t{lastActionTime} + uint64_t(timeout) * minuteSec();
    return due < kNever ? static_cast<uint32_t>(due) : kNever;
}

void RoomTask::setNowFunction(std::function<uint32_t()> now) {
    m_worker.setNowFunction(std::move(now));
}

void RoomTask::setFirstPassDelay(std::chrono::milliseconds delay) {
    m_firstPassDelay = delay;
}

void RoomTask::setCycleInterval(std::chrono::milliseconds interval) {
    m_worker.setCycleInterval(interval);
}

void RoomTask::setMinuteSeconds(uint32_t seconds) {
    m_minuteSec = seconds ? seconds : kDefaultMinuteSec;
    RoomManager::getInst().recheckAllRooms();
}
