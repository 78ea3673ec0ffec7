#include "tolvex/task/RoomInitTask.h"

#include <chrono>

#include "tolvex/util/ChatContext.h"
#include "tolvex/util/Globals.h"
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
    if (m_worker.isRunning()) return true;
    m_finished = false;
    return m_worker.start([this] { run(); });
}

void RoomInitTask::stop() {
    m_worker.stop();
}

bool RoomInitTask::isRunning() const {
    return m_worker.isRunning();
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
    if (m_sleeper) return m_sleeper() && !m_worker.stopping();
    return m_worker.waitFor(std::chrono::seconds(1));
}

void RoomInitTask::pageStored() {
    m_worker.wake();
}

void RoomInitTask::startJob() {
    // The job itself clears the flag only once the loop has run it; clearing
    // it here keeps the next tick from asking for the same page twice.
    RoomManager::getInst().setCallNextRoomListAvailable(false);
    m_worker.runCycle([this] {
        if (m_starter)
            m_starter();
        else
            LoopPost::toLoop([] { callRoomInfo(); });
    });
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
