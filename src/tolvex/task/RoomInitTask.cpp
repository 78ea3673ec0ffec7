#include "tolvex/task/RoomInitTask.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <system_error>

#include "tolvex/ChatApp.h"
#include "tolvex/Globals.h"
#include "tolvex/chat/JournalReplay.h"
#include "tolvex/chat/QuillonNotEndRoomListHandler.h"
#include "tolvex/room/RoomInitial.h"
#include "tolvex/room/RoomManager.h"
#include "tolvex/task/LoopPost.h"

namespace {

constexpr int kDefaultWasTimeoutSec = 20;
// A page whose job failed is asked for again this long after the WAS wait.
constexpr int kRetryGraceSec = 5;

}  // namespace

RoomInitTask& RoomInitTask::getInstance() {
    static RoomInitTask instance;
    return instance;
}

RoomInitTask::~RoomInitTask() {
    stop();
}

bool RoomInitTask::start() {
    if (m_initThread.joinable()) return true;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = false;
    }
    m_finished = false;
    try {
        m_initThread = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        g_Logger.log("RoomInitTask thread start fail !!!!!! %s", e.what());
        return false;
    }
    return true;
}

void RoomInitTask::stop() {
    if (!m_initThread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    try {
        m_initThread.join();
    } catch (const std::system_error& e) {
        g_Logger.log("RoomInitTask thread join failed. %s", e.what());
    }
}

bool RoomInitTask::isRunning() const {
    return m_initThread.joinable();
}

void RoomInitTask::run() {
    RoomManager& rooms = RoomManager::getInst();
    int slept = 0;
    while (!rooms.isRoomInitComplete()) {
        if (rooms.getCallNextRoomListAvailable() || slept >= retryTicks()) {
            startJob();
            slept = 0;
        }
        if (!sleepTick()) return;
        ++slept;
    }
    m_finished = true;
}

bool RoomInitTask::sleepTick() {
    if (m_sleeper && !m_sleeper()) return false;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_sleeper) m_wake.wait_for(lock, std::chrono::seconds(1), [this] { return m_stop || m_pageStored; });
    m_pageStored = false;
    return !m_stop;
}

void RoomInitTask::pageStored() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pageStored = true;
    }
    m_wake.notify_all();
}

void RoomInitTask::startJob() {
    // The job itself clears the flag only once the loop has run it; clearing
    // it here keeps the next tick from asking for the same page twice.
    RoomManager::getInst().setCallNextRoomListAvailable(false);
    try {
        if (m_starter)
            m_starter();
        else
            LoopPost::toLoop([] { callRoomInfo(); });
    } catch (const std::exception& e) {
        logErrno("RoomInitTask Exception", std::string(" ") + e.what());
    }
}

int RoomInitTask::retryTicks() const {
    int waitSec = kDefaultWasTimeoutSec;
    if (m_wasTimeoutSec)
        waitSec = m_wasTimeoutSec();
    else if (g_pApp)
        waitSec = g_pApp->config().wasTimeoutSec();
    return waitSec + kRetryGraceSec;
}

void RoomInitTask::callRoomInfo() {
    // Rooms load with the highest message numbers the WAS holds: the saves
    // an earlier run left in the journal must reach it first, or numbers
    // acknowledged before a crash would be given out again.
    if (!JournalReplay::getInst().caughtUp()) {
        RoomManager::getInst().setCallNextRoomListAvailable(true);
        return;
    }
    g_Logger.log("Call GetNotEndRoom.php");
    (new QuillonNotEndRoomListHandler([] { getInstance().pageStored(); }))->doit(new RoomInitial(), nullptr);
}

void RoomInitTask::setJobStarter(std::function<void()> starter) {
    m_starter = std::move(starter);
}

void RoomInitTask::setSleeper(std::function<bool()> sleepOneTick) {
    m_sleeper = std::move(sleepOneTick);
}

void RoomInitTask::setWasTimeoutFunction(std::function<int()> wasTimeoutSec) {
    m_wasTimeoutSec = std::move(wasTimeoutSec);
}
