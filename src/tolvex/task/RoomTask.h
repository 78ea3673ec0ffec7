#pragma once
// The idle-room timeout thread: after a first wait it looks once a second
// at the rooms that may have come due and picks those idle longer than
// their tenant's timeout with no session; the event loop then closes them
// (checking again), drops their ACK and session entries and tells the WAS.
// A singleton; start(), stop() and the setters from the main thread,
// iterateRooms() from the task's thread (or a test), closeIdleRoom() on the
// loop.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tolvex/task/PeriodicWorker.h"
#include "tolvex/util/ChatTypes.h"

class RoomTask {
public:
    static constexpr int kDefaultTimeoutMinute = 10080;  // 7 days
    // Test runs of the real binary shorten the first wait and the length of
    // an idle minute with these; read once by start().
    static constexpr const char* kFirstPassEnv = "TOLVEXD_TEST_ROOM_FIRST_PASS_SEC";
    static constexpr const char* kMinuteEnv = "TOLVEXD_TEST_ROOM_MINUTE_SEC";

    static RoomTask& getInstance();

    RoomTask(const RoomTask&) = delete;
    RoomTask& operator=(const RoomTask&) = delete;
    virtual ~RoomTask();

    // The first entry for a tenant counts. A timeout of 0 or less never
    // closes that tenant's rooms. Every room is looked at again at the next
    // pass when the timeouts change.
    void setTimeoutMinute(const std::string& tenantId, int minutes);
    int getTimeoutMinute(const std::string& tenantId) const;

    // Starts the thread; false (and "RoomTask thread start fail !!!!!!")
    // when it cannot. Starting a running task does nothing.
    bool start();
    // Wakes the thread, even in its first wait, and joins it. Stopping a
    // stopped task does nothing.
    void stop();
    bool isRunning() const;

    // One pass as of now over the rooms due by then: the keys of those found
    // idle and without a session, whose closing was handed to the loop.
    std::vector<room_key> iterateRooms(uint32_t now);
    // Loop thread: closes the room of key if it is still there, still idle
    // at now and without a session; true when it did.
    bool closeIdleRoom(const room_key& key, uint32_t now);

    // Seams for tests; set them while the task is stopped. The defaults:
    // UTC seconds, 180 s, 1 s, 60 s a minute; an empty clock or 0 seconds a
    // minute restores the default.
    void setNowFunction(std::function<uint32_t()> now);
    void setFirstPassDelay(std::chrono::milliseconds delay);
    void setCycleInterval(std::chrono::milliseconds interval);
    void setMinuteSeconds(uint32_t seconds);
    // Forgets every tenant timeout (tests).
    void clearTimeouts();

private:
    using timeout_map_t = std::map<std::string, int, std::less<>>;
    static constexpr uint32_t kNever = UINT32_MAX;

    RoomTask() = default;
    void run();
    void applyEnvironment();
    uint32_t now() const;
    uint32_t minuteSec() const;
    uint64_t timeoutVersion() const;
    // Whole idle minutes of a room last active at lastActionTime.
    uint32_t idleMinutes(uint32_t lastActionTime, uint32_t now) const;
    // Idle for timeout minutes or more; never for a timeout below 1.
    bool isOld(int timeout, uint32_t lastActionTime, uint32_t now) const;
    // The first second at which isOld holds (kNever for a timeout below 1).
    uint32_t dueTime(int timeout, uint32_t lastActionTime) const;
    void postClosing(std::vector<room_key> keys);
    static void clearRelations(const room_key& key);

    PeriodicWorker m_worker{"RoomTask"};

    mutable std::mutex m_timeoutMutex;
    timeout_map_t m_timeoutList;  // guarded by m_timeoutMutex
    uint64_t m_timeoutVersion = 0;  // guarded by m_timeoutMutex; counts changes to m_timeoutList

    // Set while stopped, read by the thread.
    std::chrono::milliseconds m_firstPassDelay{std::chrono::seconds(180)};
    uint32_t m_minuteSec = 60;
};
