#pragma once
// The room loading thread: until the registry says loading is complete, it
// asks the event loop to start the next room-list job as soon as the page
// before is stored, or to ask again for a page whose job failed (after
// was_timeout_sec + 5 s; it looks once a second).
// A singleton; start() and stop() from the main thread. Jobs are created
// and started on the event-loop thread only (callRoomInfo()).

#include <atomic>
#include <functional>

#include "tolvex/task/PeriodicWorker.h"

class RoomInitTask {
public:
    static RoomInitTask& getInstance();

    RoomInitTask(const RoomInitTask&) = delete;
    RoomInitTask& operator=(const RoomInitTask&) = delete;
    virtual ~RoomInitTask();

    // Starts the thread; false (and a log line) when it cannot. Starting a
    // running task does nothing. The thread ends by itself once loading is
    // complete.
    bool start();
    // Wakes the thread and joins it. Stopping a stopped task does nothing.
    void stop();
    bool isRunning() const;
    // True once the thread has seen loading complete and ended by itself.
    bool finished() const { return m_finished.load(); }

    // Starts one room-list job with its RoomInitial companion. Event-loop
    // thread (the task posts it there).
    static void callRoomInfo();
    // A page was stored and the next one is wanted: wakes the thread now
    // rather than at its next look. Any thread.
    void pageStored();

    // Seams for tests; set them while the task is stopped. Empty functions
    // restore the defaults: post callRoomInfo() to the loop, a one-second
    // sleep per tick (the sleeper stands for it and returns false to end the
    // thread), was_timeout_sec from the daemon's settings (20 without one).
    void setJobStarter(std::function<void()> starter);
    void setSleeper(std::function<bool()> sleepOneTick);
    void setWasTimeoutFunction(std::function<int()> wasTimeoutSec);

private:
    RoomInitTask() = default;
    void run();
    // Sleeps one tick; false when stop() was called meanwhile.
    bool sleepTick();
    void startJob();
    int retryTicks() const;

    PeriodicWorker m_worker{"RoomInitTask"};
    std::atomic<bool> m_finished{false};
    std::function<void()> m_starter;       // set while stopped
    std::function<bool()> m_sleeper;       // set while stopped
    std::function<int()> m_wasTimeoutSec;  // set while stopped
};
